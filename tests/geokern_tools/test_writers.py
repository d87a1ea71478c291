"""The writers of `geokern convert`: empty outputs of every kind, .npy on
any stream, exact integers, and one-line errors for what a kind cannot
hold or an input that cannot be read."""
import io
import os
import subprocess

import numpy as np
import pytest

from geokern_tools import convert

from .conftest import geokern_command, run_geokern

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

CONVERT = ("convert", "--from", "wgs84", "--to", "ecef")
BIG = 2 ** 53 + 1  # the first integer a float64 cannot hold


def write_input(folder, kind):
    path = folder / f"in.{kind.split()[0]}"
    if kind == "csv empty":
        path.write_bytes(b"")
    elif kind == "csv header":
        path.write_text("lon,lat,h\n")
    elif kind == "parquet":
        pq.write_table(pa.table({"lon": pa.array([], pa.float64()), "lat": pa.array([], pa.float64()),
                                 "id": pa.array([], pa.int64())}), path)
    else:
        np.save(path, np.empty((0, 3)))
    return path


EMPTY = {  # input -> (Parquet columns, .npy shape, text)
    "csv empty": (["X", "Y", "Z"], (0, 3), b""),
    "csv header": (["X", "Y", "Z"], (0, 3), b"X,Y,Z\n"),
    "parquet": (["X", "Y", "Z", "id"], (0, 4), b"X,Y,Z,id\n"),
    "npy": (["X", "Y", "Z"], (0, 3), b""),
}


@pytest.mark.parametrize("kind", EMPTY)
def test_no_rows_give_a_valid_empty_file_of_each_kind(tmp_path, kind):
    source = write_input(tmp_path, kind)
    columns, shape, text = EMPTY[kind]
    for suffix in (".parquet", ".npy", ".csv"):
        out = tmp_path / f"out{suffix}"
        proc = run_geokern(*CONVERT, source, "-o", out)
        assert proc.returncode == 0, proc.stderr
        if suffix == ".parquet":
            table = pq.read_table(out)
            assert table.column_names == columns and table.num_rows == 0
            assert all(pa.types.is_floating(table.schema.field(c).type) for c in "XYZ")
        elif suffix == ".npy":
            got = np.load(out)
            assert got.shape == shape and got.dtype == np.float64
        else:
            assert out.read_bytes() == text


POINTS = np.array([[116.4, 39.9, 44.0], [2.35, 48.85, 35.0]])


@pytest.mark.parametrize("place", ["appended to an empty file", "after other bytes", "a pipe"])
def test_npy_on_standard_output_anywhere(tmp_path, place):
    source = tmp_path / "in.npy"
    np.save(source, POINTS)
    out = tmp_path / "out.npy"
    prefix = b"earlier bytes\n" if place == "after other bytes" else b""
    out.write_bytes(prefix)
    command = [geokern_command(), *CONVERT, str(source)]
    if place == "a pipe":
        data = subprocess.run(command, capture_output=True, check=True).stdout
    else:
        with open(out, "ab") as f:
            subprocess.run(command, stdout=f, check=True)
        data = out.read_bytes()
    assert data.startswith(prefix)
    assert np.array_equal(np.load(io.BytesIO(data[len(prefix):])),
                          convert(POINTS, "wgs84", "ecef"))


def test_integers_beyond_float64_pass_through_exactly(tmp_path):
    table = pa.table({"id": pa.array([BIG, -BIG], pa.int64()), "lon": [1.0, 2.0],
                      "lat": [3.0, 4.0]})
    pq.write_table(table, tmp_path / "in.parquet")
    np.save(tmp_path / "ids.npy", np.array([[1, 3, BIG], [2, 4, 7]], dtype=np.int64))
    proc = run_geokern("convert", "--from", "wgs84", "--to", "gcj02", tmp_path / "in.parquet",
                       "-o", tmp_path / "out.parquet")
    assert proc.returncode == 0, proc.stderr
    assert pq.read_table(tmp_path / "out.parquet").column("id").to_pylist() == [BIG, -BIG]
    proc = run_geokern("convert", "--from", "wgs84", "--to", "gcj02", "--columns", "1,2",
                       tmp_path / "ids.npy", "-o", tmp_path / "out.csv")
    assert proc.returncode == 0, proc.stderr
    assert [line.split(",")[-1] for line in (tmp_path / "out.csv").read_text().splitlines()] \
        == [str(BIG), "7"]


def parquet_input(folder, file_name, **columns):
    path = folder / file_name
    pq.write_table(pa.table({"lon": [1.0, 2.0], "lat": [3.0, 4.0], **columns}), path)
    return path


def corrupt_second_row_group(folder):
    path = folder / "corrupt.parquet"
    pq.write_table(pa.table({"lon": np.arange(2000.0), "lat": np.arange(2000.0)}), path,
                   row_group_size=1000, compression="none")
    meta = pq.ParquetFile(path).metadata.row_group(1).column(0)
    data = bytearray(path.read_bytes())
    start = meta.data_page_offset
    data[start:start + 64] = b"\xff" * 64
    path.write_bytes(bytes(data))
    return path


@pytest.mark.parametrize("case, output, message", [
    ("integer beyond 2**53", ".npy",
     f"{{a}}: row 2: column 'id' holds {BIG}, which a float64 .npy cannot hold exactly"),
    ("types differing between inputs", ".parquet",
     "{b}: column 'id' holds string where the first input holds int64"),
    ("columns differing between inputs", ".parquet", "{b}: columns ["),
    ("a corrupt row group", ".csv", "{c}: row group 1: cannot read it"),
])
def test_what_an_output_cannot_take_is_one_line(tmp_path, case, output, message):
    if case == "integer beyond 2**53":
        inputs = [parquet_input(tmp_path, "a.parquet", id=pa.array([1, BIG], pa.int64()))]
    elif case == "types differing between inputs":
        inputs = [parquet_input(tmp_path, "a.parquet", id=[1, 2]),
                  parquet_input(tmp_path, "b.parquet", id=["x", "y"])]
    elif case == "columns differing between inputs":
        inputs = [parquet_input(tmp_path, "a.parquet", id=[1, 2]),
                  parquet_input(tmp_path, "b.parquet", name=["x", "y"])]
    else:
        inputs = [corrupt_second_row_group(tmp_path)]
    out = tmp_path / f"out{output}"
    proc = run_geokern(*CONVERT, *inputs, "-o", out)
    names = dict(zip("abc", [*inputs, inputs[0], inputs[0]]))
    assert proc.returncode == 1
    assert proc.stderr.startswith("geokern: " + message.format(**names)), proc.stderr
    assert proc.stderr.count("\n") == 1 and not out.exists()
    assert sorted(os.listdir(tmp_path)) == sorted(p.name for p in inputs)


def test_an_all_null_column_takes_the_first_inputs_type(tmp_path):
    first = parquet_input(tmp_path, "a.parquet", note=["x", "y"])
    second = parquet_input(tmp_path, "b.parquet", note=pa.array([None, None], pa.null()))
    proc = run_geokern(*CONVERT, first, second, "-o", tmp_path / "out.parquet")
    assert proc.returncode == 0, proc.stderr
    assert pq.read_table(tmp_path / "out.parquet").column("note").to_pylist() == \
        ["x", "y", None, None]
