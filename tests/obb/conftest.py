"""The OBJ footprint box read line by line in plain Python: the reference
that the native reader must match value for value and error for error."""

import numpy as np
import pytest

import geokern


def _unpack_error(count):
    return ValueError(f"need more than {count} value{'' if count == 1 else 's'} to unpack")


def read_obj_lines(path):
    """The used footprint points of an OBJ file, or None when no face line."""
    vertices = []
    indices = set()
    with open(path, "r", encoding="utf-8") as f:
        while True:
            line = f.readline()
            if not line:
                break
            if line.startswith("v "):
                tokens = line.strip().split(" ")
                if len(tokens) > 4:
                    raise ValueError("too many values to unpack (expected 4)")
                if len(tokens) < 4:
                    raise _unpack_error(len(tokens))
                _, x, _, z = tokens
                vertices.append((float(x), -float(z)))
            elif line.startswith("f "):
                tokens = line.strip().split(" ")
                if len(tokens) < 4:
                    raise _unpack_error(len(tokens))
                _, a, b, c, *_ = tokens
                if "/" in a:
                    for ref in (a, b, c):
                        indices.add(int(ref.split("/")[0]) - 1)
                else:
                    for ref in (a, b, c):
                        indices.add(int(ref) - 1)
    if not indices:
        return None
    return [vertices[i] for i in indices]


def reference_box(path):
    selection = read_obj_lines(path)
    if selection is None:
        return None
    return geokern.generate_obb_2d_from_points(np.array(selection, dtype=np.float64))


def outcome(fn, *args):
    """('ok', result) or (exception type, message)."""
    try:
        return "ok", fn(*args)
    except Exception as e:  # noqa: BLE001 - any exception is an outcome to compare
        return type(e), str(e)


@pytest.fixture(scope="session")
def same_as_reference(tmp_path_factory):
    """Writes `data` (bytes) to a file; asserts the native and the reference
    outcomes agree and returns the native one."""
    folder = tmp_path_factory.mktemp("objs")
    counter = iter(range(10**9))

    def check(data):
        path = folder / f"{next(counter)}.obj"
        path.write_bytes(data)
        native = outcome(geokern.generate_obb_2d_from_obj_file, str(path))
        expected = outcome(reference_box, str(path))
        assert native == expected, data
        return native

    return check
