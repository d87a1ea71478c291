"""Records and fields of delimited text, located in its raw bytes.

A block of text is scanned with numpy, never with a Python loop per line:
the positions of all line ends, delimiters and quotes are taken at once, and
a line end or a delimiter counts only where an even number of quotes precede
it within the block (after an odd number it is text of a quoted field).
Quoting follows the rules that Arrow's CSV reader and Python's csv module
share: a quote opens a quoted field only as the field's first byte, a doubled
quote inside stands for one quote, and anywhere else a quote is an ordinary
byte.  Blocks holding such ordinary quotes are resolved by a loop over their
quotes alone.  Blank-separated text (any run of blanks and tabs separates
fields) has no quoting.

Numbers are parsed by Arrow from the located bytes, and converted numbers are
spliced back between the untouched bytes of their lines (`Layout`), so that
everything else passes through exactly as it was read.
"""
from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np

WHITESPACE = b" "  # blank-separated: any run of blanks and tabs is one separator
LF, CR, QUOTE, BLANK, TAB = 10, 13, 34, 32, 9


@dataclass(frozen=True)
class Dialect:
    delimiter: bytes  # b",", b";", b"\t" or WHITESPACE
    end: int          # the byte that ends a line: LF (also after CR) or a bare CR

    @property
    def quoted(self) -> bool:
        return self.delimiter != WHITESPACE


class ScanError(ValueError):
    """Text that cannot be split into records; `offset` is the byte where
    the trouble is, for the caller to turn into a line number."""

    def __init__(self, offset: int, message: str) -> None:
        super().__init__(message)
        self.offset = offset


def sniff(line: bytes) -> Dialect:
    """The dialect of a text whose first line (with its line end) is given."""
    cr, lf = line.find(b"\r"), line.find(b"\n")
    end = CR if cr >= 0 and (lf < 0 or cr < lf) and line[cr + 1:cr + 2] != b"\n" else LF
    first = line[:min(i for i in (cr, lf, len(line)) if i >= 0)]
    for delimiter in (b",", b";", b"\t"):
        if delimiter in first:
            return Dialect(delimiter, end)
    return Dialect(WHITESPACE, end)


def _real_quotes(a: np.ndarray, quotes: np.ndarray, dialect: Dialect) -> np.ndarray:
    """The quotes that open or close quoted fields (a doubled quote inside one
    counts as a closing and an opening), out of all quote positions."""
    opening = quotes[0::2]
    before = a[np.maximum(opening - 1, 0)]
    at_field_start = ((opening == 0) | (before == dialect.delimiter[0])
                      | (before == dialect.end) | (before == LF))
    doubled = np.zeros(len(opening), dtype=bool)
    doubled[1:] = quotes[1:len(opening) * 2 - 1:2] == opening[1:] - 1
    if (at_field_start | doubled).all():
        return quotes
    # Some quote stands inside an unquoted field: follow the quotes in turn.
    real = []
    inside = False
    positions = quotes.tolist()
    separators = (dialect.delimiter[0], dialect.end, LF)
    i = 0
    while i < len(positions):
        p = positions[i]
        if inside:
            real.append(p)
            if i + 1 < len(positions) and positions[i + 1] == p + 1:  # a doubled quote
                real.append(p + 1)
                i += 1
            else:
                inside = False
        elif p == 0 or a[p - 1] in separators:
            real.append(p)
            inside = True
        i += 1
    return np.array(real, dtype=np.int64)


def _outside(positions: np.ndarray, quotes: np.ndarray | None) -> np.ndarray:
    if quotes is None or not len(positions):
        return positions
    kept: np.ndarray = positions[(np.searchsorted(quotes, positions) & 1) == 0]
    return kept


class Records:
    """The whole records at the start of a block of text, blank lines left
    out.  `size` is the length of the part scanned (whole records only unless
    the block is the last); per record, `starts` and `ends` bound its fields
    (the line end excluded) and `stops` lies after its line end."""

    def __init__(self, block: bytes, dialect: Dialect, final: bool) -> None:
        self.block, self.dialect = block, dialect
        a = np.frombuffer(block, dtype=np.uint8)
        line_ends = np.flatnonzero(a == dialect.end)
        quotes = None
        if dialect.quoted and b'"' in block:
            quotes = _real_quotes(a, np.flatnonzero(a == QUOTE), dialect)
        record_ends = _outside(line_ends, quotes)
        if final:
            size = len(a)
            if quotes is not None and len(quotes) % 2:
                raise ScanError(int(quotes[-1]), "a quoted field is not closed")
            if size and (not len(record_ends) or record_ends[-1] != size - 1):
                record_ends = np.append(record_ends, size)
        else:
            size = int(record_ends[-1]) + 1 if len(record_ends) else 0
        self.size, self.a, self._line_ends = size, a[:size], line_ends
        a = self.a
        self._check_line_ends(quotes, final)
        stops = np.minimum(record_ends + 1, size)
        starts = np.empty_like(stops)
        starts[:1] = 0
        starts[1:] = stops[:-1]
        ends = record_ends
        if dialect.end == LF and size and self.block.find(b"\r", 0, size) >= 0:
            ends = ends - ((ends > starts) & (a[np.maximum(ends - 1, 0)] == CR))
        if dialect.quoted:
            self._delimiters = _outside(np.flatnonzero(a == dialect.delimiter[0]), quotes)
            keep = ends > starts
        else:
            token = (a != BLANK) & (a != TAB) & (a != dialect.end) & (a != CR)
            edges = np.diff(token.view(np.int8), prepend=np.int8(0), append=np.int8(0))
            self._token_starts = np.flatnonzero(edges == 1)
            self._token_ends = np.flatnonzero(edges == -1)
            keep = np.searchsorted(self._token_starts, ends) > np.searchsorted(
                self._token_starts, starts)
        if not keep.all():
            starts, ends, stops = starts[keep], ends[keep], stops[keep]
        self.starts, self.ends, self.stops = starts, ends, stops
        self._first: np.ndarray | None = None
        self._grid: tuple[np.ndarray, np.ndarray] | None = None

    def _check_line_ends(self, quotes: np.ndarray | None, final: bool) -> None:
        """Refuses a line end of the other convention outside quoted fields: a
        bare CR among LF line ends, or an LF among bare CR ones."""
        a = self.a
        if self.dialect.end == LF:
            if self.block.find(b"\r", 0, len(a)) < 0:
                return
            crs = _outside(np.flatnonzero(a == CR), quotes)
            nxt = a[np.minimum(crs + 1, len(a) - 1)]
            bare = crs[(nxt != LF) & ((crs + 1 < len(a)) | (not final))]
            if len(bare):
                raise ScanError(int(bare[0]), "a carriage return inside a line (the lines "
                                "of this input end in a line feed)")
        elif self.block.find(b"\n", 0, len(a)) >= 0:
            lfs = _outside(np.flatnonzero(a == LF), quotes)
            if len(lfs):
                raise ScanError(int(lfs[0]), "a line feed inside a line (the lines of this "
                                "input end in a bare carriage return)")

    def __len__(self) -> int:
        return len(self.starts)

    @property
    def line_ends(self) -> int:
        """The number of line ends in the records."""
        return int(np.searchsorted(self._line_ends, self.size))

    def line(self, record: int) -> int:
        """The number of line ends in the block before a record."""
        return int(np.searchsorted(self._line_ends, self.starts[record]))

    def uniform(self, fields: int) -> bool:
        """Whether every record has `fields` fields.  Checked without a search
        per record: the separators, taken `fields - 1` at a time (the fields'
        starts, `fields` at a time, blank-separated), must each fall within
        their own record."""
        n = len(self)
        if self.dialect.quoted:
            cuts = self._delimiters
            if len(cuts) != n * (fields - 1):
                return False
            if fields == 1:
                self._grid = (cuts.reshape(n, 0), cuts.reshape(n, 0))
                return True
            grid = cuts.reshape(n, fields - 1)
            if not ((grid[:, 0] >= self.starts).all() and (grid[:, -1] < self.ends).all()):
                return False
            self._grid = (grid, grid)
            return True
        if len(self._token_starts) != n * fields:
            return False
        grid_starts = self._token_starts.reshape(n, fields)
        if not ((grid_starts[:, 0] >= self.starts).all()
                and (grid_starts[:, -1] < self.ends).all()):
            return False
        self._grid = (grid_starts, self._token_ends.reshape(n, fields))
        return True

    def _firsts(self) -> np.ndarray:
        if self._first is None:
            cuts = self._delimiters if self.dialect.quoted else self._token_starts
            self._first = np.searchsorted(cuts, self.starts)
        return self._first

    def counts(self) -> np.ndarray:
        """The number of fields of each record."""
        cuts = self._delimiters if self.dialect.quoted else self._token_starts
        counts: np.ndarray = np.searchsorted(cuts, self.ends) - self._firsts()
        return counts + 1 if self.dialect.quoted else counts

    def spans(self, columns: list[int], fields: int) -> tuple[np.ndarray, np.ndarray]:
        """Byte bounds (n, len(columns)) of the given fields, ascending, of
        records that all have `fields` fields."""
        if self._grid is None and not self.uniform(fields):
            raise ValueError("records of unequal field counts")
        assert self._grid is not None
        n = len(self)
        starts = np.empty((n, len(columns)), dtype=np.int64)
        ends = np.empty((n, len(columns)), dtype=np.int64)
        first, last = self._grid
        for k, column in enumerate(columns):
            if self.dialect.quoted:
                starts[:, k] = self.starts if column == 0 else first[:, column - 1] + 1
                ends[:, k] = self.ends if column == fields - 1 else last[:, column]
            else:
                starts[:, k] = first[:, column]
                ends[:, k] = last[:, column]
        return starts, ends

    def fields(self, record: int) -> list[bytes]:
        """The fields of one record as their values (quotes removed)."""
        start, end = int(self.starts[record]), int(self.ends[record])
        first = int(self._firsts()[record])
        if not self.dialect.quoted:
            count = int(np.searchsorted(self._token_starts, end)) - first
            return [self.block[s:e] for s, e in zip(
                self._token_starts[first:first + count].tolist(),
                self._token_ends[first:first + count].tolist())]
        count = int(np.searchsorted(self._delimiters, end)) - first + 1
        cuts = self._delimiters[first:first + count - 1].tolist()
        bounds = zip([start] + [c + 1 for c in cuts], cuts + [end])
        return [unquote(self.block[s:e]) for s, e in bounds]


def unquote(field: bytes) -> bytes:
    """The value of a CSV field: a leading quoted part loses its quotes and
    its doubled quotes become single; what follows it is kept as it is."""
    if not field.startswith(b'"'):
        return field
    out = bytearray()
    i = 1
    while True:
        j = field.find(b'"', i)
        if j < 0:
            return bytes(out + field[i:])
        out += field[i:j]
        if field[j + 1:j + 2] == b'"':
            out += b'"'
            i = j + 2
        else:
            return bytes(out + field[j + 1:])


# ---------------------------------------------------------------------------
# Numbers


class NumberError(ValueError):
    """A field that is not a number; `index` is its place among those given."""

    def __init__(self, index: int) -> None:
        super().__init__(f"value {index} is not a number")
        self.index = index


# Arrow arrays are made from buffers: pa.array() and pa.scalar() import
# pandas, which costs more memory and time than a small conversion.

def _binary_array(data: Any, offsets: np.ndarray) -> Any:
    """Arrow binary values data[offsets[i]:offsets[i + 1]].  Arrow trusts
    offsets it is given; they are checked (ascending, within the data)
    before anything reads through them."""
    import pyarrow as pa

    array = pa.Array.from_buffers(pa.binary(), len(offsets) - 1, [
        None, pa.py_buffer(offsets.astype(np.int32, copy=False)), pa.py_buffer(data)])
    array.validate(full=True)
    return array


def integer_array(values: np.ndarray) -> Any:
    """An Arrow int32 or int64 array over a copy-free view of `values`."""
    import pyarrow as pa

    data = np.ascontiguousarray(values)
    kind = pa.int32() if data.dtype == np.int32 else pa.int64()
    return pa.Array.from_buffers(kind, len(data), [None, pa.py_buffer(data.astype(
        np.int32 if data.dtype == np.int32 else np.int64, copy=False))])


def binary_values(values: list[bytes]) -> Any:
    """An Arrow binary array of the given values."""
    offsets = np.zeros(len(values) + 1, dtype=np.int64)
    np.cumsum([len(v) for v in values], out=offsets[1:])
    return _binary_array(b"".join(values), offsets)


def repeated(value: bytes, count: int) -> Any:
    """An Arrow binary array of `count` times the same value."""
    offsets = np.arange(count + 1, dtype=np.int64) * len(value)
    return _binary_array(value * count, offsets)


# Bytes a field's edge may hold that are not part of its number.
_EDGE_BYTES = np.zeros(256, dtype=bool)
_EDGE_BYTES[[BLANK, TAB, QUOTE]] = True
_evens = np.arange(0, 1 << 17, 2)


def _even_numbers(count: int) -> np.ndarray:
    """0, 2, 4, ... (count of them), from a cached array."""
    global _evens
    if len(_evens) < count:
        _evens = np.arange(0, 2 * count, 2)
    return _evens[:count]


def _trim(a: np.ndarray, starts: np.ndarray, ends: np.ndarray,
          quoted: bool) -> tuple[np.ndarray, np.ndarray]:
    """The bounds moved in past blanks and tabs, and past one pair of
    enclosing quotes when the text is quoted (new arrays where any moved)."""
    if not len(a):
        return starts, ends
    last = len(a) - 1
    edged = np.flatnonzero(_EDGE_BYTES[a[np.minimum(starts, last)]]
                           | _EDGE_BYTES[a[np.maximum(ends - 1, 0)]])
    if not len(edged):
        return starts, ends
    s, e = starts[edged], ends[edged]

    def blanks() -> None:
        for _ in range(last + 1):
            lead = a[np.minimum(s, last)]
            grow = (s < e) & ((lead == BLANK) | (lead == TAB))
            if not grow.any():
                break
            s[grow] += 1
        for _ in range(last + 1):
            trail = a[np.maximum(e - 1, 0)]
            shrink = (s < e) & ((trail == BLANK) | (trail == TAB))
            if not shrink.any():
                break
            e[shrink] -= 1

    blanks()
    if quoted:
        enclosed = ((e - s >= 2) & (a[np.minimum(s, last)] == QUOTE)
                    & (a[np.maximum(e - 1, 0)] == QUOTE))
        if enclosed.any():
            s[enclosed] += 1
            e[enclosed] -= 1
            blanks()
    starts, ends = starts.copy(), ends.copy()
    starts[edged], ends[edged] = s, e
    return starts, ends


def parse_numbers(a: np.ndarray, starts: np.ndarray, ends: np.ndarray,
                  quoted: bool) -> np.ndarray:
    """float64 values of the fields a[starts[i]:ends[i]] (bounds ascending and
    not overlapping), blanks and enclosing quotes aside; NumberError names
    the first field that is not a number."""
    import pyarrow as pa
    import pyarrow.compute as pc

    starts, ends = _trim(a, starts.ravel(), ends.ravel(), quoted)
    count = len(starts)
    if not count:
        return np.empty(0)
    offsets = np.empty(2 * count, dtype=np.int32)
    offsets[0::2], offsets[1::2] = starts, ends
    values = _binary_array(a, offsets).take(integer_array(_even_numbers(count)))
    try:
        numbers = pc.cast(values, pa.float64())
    except pa.ArrowInvalid:
        raise NumberError(_first_bad(values)) from None
    return np.frombuffer(numbers.buffers()[1], dtype=np.float64, count=len(numbers),
                         offset=numbers.offset * 8)


def _first_bad(values: Any) -> int:
    """The index of the first value Arrow cannot read as a number, by halving."""
    import pyarrow as pa
    import pyarrow.compute as pc

    lo, hi = 0, len(values)
    while hi - lo > 1:
        mid = (lo + hi) // 2
        try:
            pc.cast(values.slice(lo, mid - lo), pa.float64())
            lo = mid
        except pa.ArrowInvalid:
            hi = mid
    return lo


def format_numbers(values: np.ndarray) -> Any:
    """Arrow binary array of the shortest text that reads back as each value."""
    import pyarrow as pa
    import pyarrow.compute as pc

    data = np.ascontiguousarray(values, dtype=np.float64).ravel()
    array = pa.Array.from_buffers(pa.float64(), len(data), [None, pa.py_buffer(data)])
    return pc.cast(array, pa.string()).view(pa.binary())


# ---------------------------------------------------------------------------
# Splicing


class Layout:
    """Where a block's records hold their converted fields, for new text to
    be put in place of the fields and every other byte kept."""

    def __init__(self, block: bytes, record_starts: np.ndarray, record_stops: np.ndarray,
                 starts: np.ndarray, ends: np.ndarray, adjacent: bool | None = None) -> None:
        self.block = block
        self.record_starts, self.record_stops, self.starts, self.ends = (
            record_starts, record_stops, starts, ends)
        self.rows, self.fields = starts.shape
        self.adjacent = adjacent  # fields side by side, one separator apart; None: unknown

    def _pieces(self, bounds: list[np.ndarray]) -> Any:
        """The block as an Arrow binary array cut at each record's start, the
        given bounds and its stop; after each record comes the piece up to
        the next record (blank lines, never used)."""
        n, width = self.rows, len(bounds) + 2
        cuts = np.empty(n * width + 1, dtype=np.int32)
        grid = cuts[:-1].reshape(n, width)
        grid[:, 0] = self.record_starts
        for k, bound in enumerate(bounds):
            grid[:, k + 1] = bound
        grid[:, -1] = self.record_stops
        cuts[-1] = len(self.block)
        return _binary_array(self.block, cuts)

    def _adjacent(self, separator: bytes) -> bool:
        """Whether the fields follow each other with just `separator` between."""
        if self.adjacent is not None:
            return self.adjacent
        if self.fields == 1:
            return True
        a = np.frombuffer(self.block, dtype=np.uint8)
        gaps = self.starts[:, 1:] - self.ends[:, :-1]
        return bool((gaps == len(separator)).all()
                    and (len(separator) != 1 or (a[self.ends[:, :-1]] == separator[0]).all()))

    def splice(self, texts: Any, per_row: int, separator: bytes) -> Any:
        """The block's records with their fields replaced by `texts` (binary,
        `per_row` per record, row after row); a text beyond the record's
        fields goes after the last of them, behind `separator`.  Returns an
        Arrow buffer."""
        import pyarrow as pa
        import pyarrow.compute as pc

        n, k = self.rows, self.fields
        assert per_row in (k, k + 1)
        if n == 0:
            return pa.py_buffer(b"")
        if self._adjacent(separator):
            # Fields side by side: each record's new texts joined into one.
            pieces = self._pieces([self.starts[:, 0], self.ends[:, -1]])
            lists = pa.ListArray.from_arrays(
                integer_array(np.arange(0, n * per_row + 1, per_row, dtype=np.int32)), texts)
            texts = pc.binary_join(lists, repeated(separator, n))
            order = np.empty((n, 3), dtype=np.int64)
            order[:, 0] = np.arange(0, 4 * n, 4)
            order[:, 1] = np.arange(len(pieces), len(pieces) + n)
            order[:, 2] = order[:, 0] + 2
            source = pa.concat_arrays([pieces, texts])
        else:
            bounds = [bound for j in range(k) for bound in (self.starts[:, j], self.ends[:, j])]
            pieces = self._pieces(bounds)
            texts_at, separator_at = len(pieces), len(pieces) + len(texts)
            source = pa.concat_arrays([pieces, texts, binary_values([separator])])
            rows = np.arange(n, dtype=np.int64)[:, None]
            gaps = rows * (2 * k + 2) + 2 * np.arange(k + 1)
            numbers = texts_at + rows * per_row + np.arange(per_row)
            order = np.empty((n, 2 * per_row + 1), dtype=np.int64)
            order[:, 0:2 * k:2] = gaps[:, :k]
            order[:, 1:2 * k:2] = numbers[:, :k]
            if per_row > k:
                order[:, 2 * k] = separator_at
                order[:, 2 * k + 1] = numbers[:, k]
            order[:, -1] = gaps[:, k]
        lines = source.take(integer_array(order.ravel()))
        offsets = np.frombuffer(lines.buffers()[1], dtype=np.int32, count=len(lines) + 1,
                                offset=lines.offset * 4)
        return lines.buffers()[2].slice(int(offsets[0]), int(offsets[-1] - offsets[0]))
