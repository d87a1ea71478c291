"""Delimited text read in blocks and written back: every byte that is not a
converted number passes through, wherever the blocks end."""
import io

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

pa = pytest.importorskip("pyarrow")

from geokern_tools import _text
from geokern_tools._delimited import format_numbers
from geokern_tools._errors import DataError
from geokern_tools._text import TextReader, TextWriter

from .conftest import run_geokern


class ColumnarTarget:
    """Stands for a Parquet or .npy writer: the reader then yields values."""


def read_tables(data, batch=1 << 20, columns=(0, 1), target=None):
    reader = TextReader("in.csv", io.BytesIO(data), batch, lambda names: list(columns))
    reader.write_to(target or ColumnarTarget())
    return reader, [table for table, _, _ in reader.batches()]


def round_trip(data, batch=1 << 20, columns=(0, 1)):
    """The text written back from what was read, coordinates re-formatted."""
    reader = TextReader("in.csv", io.BytesIO(data), batch, lambda names: list(columns))
    out = io.BytesIO()
    writer = TextWriter(out, reader.delimiter, reader.names if reader.header else None)
    reader.write_to(writer)
    for table, _, _ in reader.batches():
        writer.write(table)
    writer.close()
    return out.getvalue()


def shortest(text):
    return format_numbers(np.array([float(text)]))[0].as_py()


# ---------------------------------------------------------------------------
# Generated documents: fields of every awkward kind, any block size.

TEXT = st.text(st.sampled_from(["a", " ", ",", ";", '"', "\n", "\t", "é", "x"]), max_size=6)
NUMBER = st.floats(allow_nan=False, width=64) | st.sampled_from([0.0, -0.0, 1e-7, 1e22])
SPELLING = st.sampled_from(["{}", " {} ", '"{}"', '" {}"', "{}  "])


def csv_field(text, quote_all, encoding):
    raw = text.encode(encoding)
    if quote_all or any(c in text for c in ',"\n\r') or text != text.strip():
        return b'"' + raw.replace(b'"', b'""') + b'"'
    return raw


@st.composite
def documents(draw):
    """(CSV bytes, expected output bytes, coordinate columns)."""
    fields = draw(st.integers(3, 5))
    columns = sorted(draw(st.lists(st.integers(0, fields - 1), min_size=2, max_size=2,
                                   unique=True)))
    if draw(st.booleans()):
        columns.reverse()  # picked in another order than they stand
    end = draw(st.sampled_from([b"\n", b"\r\n"]))
    quote_all = draw(st.booleans())
    encoding = draw(st.sampled_from(["utf-8", "latin-1"]))
    header = [b"h%d" % i for i in range(fields)]
    source, expected = [b",".join(header) + end], [b",".join(header) + end]
    for _ in range(draw(st.integers(0, 12))):
        if draw(st.integers(0, 5)) == 0:
            source.append(end)  # a blank line, left out of the output
        row, out = [], []
        for i in range(fields):
            if i in columns:
                value = draw(NUMBER)
                row.append(draw(SPELLING).format(repr(value)).encode())
                out.append(shortest(repr(value)))
            else:
                text = draw(TEXT)
                field = csv_field(text, quote_all, encoding)
                if draw(st.integers(0, 8)) == 0 and not field.startswith(b'"'):
                    field += b'5\'10"'  # a quote inside an unquoted field is text
                row.append(field)
                out.append(field)
        source.append(b",".join(row) + end)
        expected.append(b",".join(out) + end)
    if len(source) > 1 and draw(st.booleans()):  # no line end after the last line
        source[-1] = source[-1][:-len(end)]
        expected[-1] = expected[-1][:-len(end)]
    return b"".join(source), b"".join(expected), columns


@given(documents(), st.integers(1, 300))
def test_fuzz_everything_but_the_numbers_passes_through(document, batch):
    source, expected, columns = document
    assert round_trip(source, batch, columns) == expected


@pytest.mark.parametrize("data", [
    b"lon lat name\n1 2 \"name\"\n",                         # blank-separated quotes are text
    b"lon  lat name\r\n  1\t2   x  \r\n",                   # blanks and tabs kept as they were
    "lon;lat;nom\r1;2;caf\xe9\r3;4;\xe9t\xe9\r".encode("latin-1"),  # bare CR line ends
    b"\xef\xbb\xbflon,lat\n1,2\n",                           # byte-order mark
    b'lon,lat,"quoted ""name"""\n"1","2",""\n',              # quotes as they were
])
@pytest.mark.parametrize("batch", [1, 7, 1 << 20])
def test_odd_texts_pass_through(data, batch):
    # The numbers are in their shortest form already; quoted ones lose their quotes.
    assert round_trip(data, batch) == data.replace(b'"1","2"', b"1,2")


@pytest.mark.parametrize("data,message", [
    (b"lon,lat\n1,2\n3\n", "in.csv:3: expected 2 fields, found 1"),
    (b'id,lon,lat\n"a\nb",1,2\nc,1,oops\n', "in.csv:4: column 'lat' is not a number: 'oops'"),
    (b"1,2\n3,x\n", "in.csv:2: field 2 is not a number: 'x'"),
    (b"\r\n \nlon,lat\n1,x\n", "in.csv:4: column 'lat' is not a number: 'x'"),
    (b"lon,lat\r\n1,2\r3,4\r\n", "in.csv:2: a carriage return inside a line"),
    (b"lon;lat\r1;2\r3;4\n5;6\r", "in.csv:3: a line feed inside a line"),
    (b'id,lon,lat\n"a,1,2\n', "in.csv:2: a quoted field is not closed"),
    (b"lon,lat\n" + b"1,2\n" * 50 + b"1,\0\n", "in.csv:52: a NUL byte"),
])
@pytest.mark.parametrize("batch", [16, 1 << 20])
def test_bad_text_names_the_line(data, message, batch):
    with pytest.raises(DataError, match=f"^{message}"):
        read_tables(data, batch, columns=(1, 2) if data.startswith(b"id") else (0, 1))


def test_text_not_utf8_into_columnar_output_names_the_line():
    data = "lon,lat,name\n1,2,ok\n3,4,caf\xe9\n".encode("latin-1")
    with pytest.raises(DataError, match=r"^in.csv:3: column 'name' is not UTF-8"):
        read_tables(data, columns=(0, 1))


@pytest.mark.parametrize("limit,data,message", [
    ("MAX_LINE_BYTES", b"lon,lat\n1,2\n" + b"3,4" + b" " * 5000 + b"\n", "in.csv:3: a line longer"),
    ("MAX_LINE_BYTES", b"lon,lat\n" + b"a" * 50000, "in.csv:2: a line longer"),
    ("MAX_FIELDS", b",".join([b"1"] * 5000) + b"\n", "in.csv:1: 5000 fields, more than"),
])
def test_limits_bound_a_line(monkeypatch, limit, data, message):
    monkeypatch.setattr(_text, limit, 1000)
    with pytest.raises(DataError, match=f"^{message}"):
        read_tables(data, batch=64)


@pytest.mark.parametrize("delimiter,row,expected", [
    (b",", [b"a,b", b'say "hi"', b""], b'"a,b","say ""hi""",\n'),
    (b"\t", [b"a,b", b"tab\there", b"x"], b'a,b\t"tab\there"\tx\n'),
    (b" ", [b"a", b'"q"', b"x"], b'a "q" x\n'),
])
def test_values_are_quoted_only_where_needed(delimiter, row, expected):
    out = io.BytesIO()
    table = pa.table({f"c{i}": pa.array([v], pa.binary()) for i, v in enumerate(row)})
    TextWriter(out, delimiter, None).write(table)
    assert out.getvalue() == expected


def test_blank_separated_output_refuses_what_it_cannot_hold():
    table = pa.table({"a": pa.array([b"x", b"two words"], pa.binary())})
    with pytest.raises(DataError, match="^row 2, field 1: a value that is empty or holds a blank"):
        TextWriter(io.BytesIO(), b" ", None).write(table)


@pytest.mark.parametrize("data", [
    # A description spanning lines, across every block boundary.
    b"id,description,lon,lat\n" + b"".join(b'%d,"north\nexit, ""B""",%d.5,1\n' % (i, i % 90)
                                          for i in range(400)),
    "lon,lat,n\xe4me\n1,2,M\xfcnchen\n".encode("latin-1"),  # Latin-1 header and field
    b'lon lat name\n1 2 "name"\n',                             # blank-separated quotes
])
def test_the_command_passes_text_through(tmp_path, data):
    source, out = tmp_path / "in.txt", tmp_path / "out.txt"  # text of the same delimiter
    source.write_bytes(data)
    proc = run_geokern("convert", "--from", "wgs84", "--to", "wgs84", source, "-o", out,
                       env={"GEOKERN_BATCH_BYTES": "100"})
    assert proc.returncode == 0, proc.stderr
    assert out.read_bytes() == data


@pytest.mark.parametrize("data,expected", [
    (b"lon,lat,name\n0,0,a\n", b"X,Y,Z,name\n6378137,0,0,a\n"),
    (b'lon,"n, m",lat\r\n0,"a, b",0\r\n', b'X,"n, m",Y,Z\r\n6378137,"a, b",0,0\r\n'),
    (b"lon  lat n\n0 \t0  b\n", b"X  Y Z n\n6378137 \t0 0  b\n"),
])
def test_a_height_column_is_added_after_the_coordinates(tmp_path, data, expected):
    source = tmp_path / "in.txt"
    source.write_bytes(data)
    proc = run_geokern("convert", "--from", "wgs84", "--to", "ecef", source)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == expected
