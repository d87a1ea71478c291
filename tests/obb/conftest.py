"""The OBJ reader checked against the plain-Python line reader (shared.py)."""

import pytest

import geokern
from shared import reference_box


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
