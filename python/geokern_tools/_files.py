"""Converting coordinate files: picks the reader and writer for each kind,
streams the batches through the conversion, and writes the output beside its
final place, renaming it only when everything has succeeded."""
from __future__ import annotations

import contextlib
import os
import sys
import tempfile
from collections.abc import Iterator
from concurrent.futures import Future, ThreadPoolExecutor
from typing import IO, Any

from geokern_tools._columnar import NpyReader, NpyWriter, ParquetReader, ParquetWriter
from geokern_tools._columns import convert_table, output_names, pick_columns
from geokern_tools._errors import DataError, UsageError
from geokern_tools._input import open_input
from geokern_tools._text import WHITESPACE, TextReader, TextWriter

#: Block size of text reads and row count of Parquet and .npy batches; the
#: environment variables exist to test the batching on small files.
BATCH_BYTES = int(os.environ.get("GEOKERN_BATCH_BYTES", 1 << 20))
BATCH_ROWS = int(os.environ.get("GEOKERN_BATCH_ROWS", 1 << 18))
PROGRESS_BYTES = 64 << 20

_SUFFIXES = {".csv": "csv", ".parquet": "parquet", ".pq": "parquet", ".npy": "npy",
             ".txt": "text", ".xyz": "text", ".dat": "text", ".tsv": "tsv"}


def kind_of_path(path: str) -> str | None:
    return _SUFFIXES.get(os.path.splitext(path)[1].lower())


@contextlib.contextmanager
def atomic_output(path: str | None, binary_ok: bool = True) -> Iterator[IO[bytes]]:
    """A stream for the output: a temporary file renamed over `path` on
    success and removed on failure, or standard output for None or "-"."""
    if path is None or path == "-":
        yield sys.stdout.buffer
        sys.stdout.buffer.flush()
        return
    folder = os.path.dirname(os.path.abspath(path))
    fd, temporary = tempfile.mkstemp(dir=folder, prefix=f".{os.path.basename(path)}.",
                                     suffix=".part")
    try:
        with os.fdopen(fd, "wb") as f:
            yield f
        os.chmod(temporary, 0o666 & ~_umask())
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def _progress(inputs: list[str]) -> Any:
    """A tqdm bar on standard error for large inputs when it is a terminal."""
    sizes = [os.path.getsize(p) for p in inputs if p != "-" and os.path.isfile(p)]
    if not sys.stderr.isatty() or sum(sizes) < PROGRESS_BYTES:
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm(total=sum(sizes), unit="B", unit_scale=True, file=sys.stderr, leave=False)


def _reader(name: str, source: Any, kind: str, columns: list[str] | None) -> Any:
    def choose(names: list[str]) -> list[int]:
        return pick_columns(names, columns, name)

    if kind == "parquet":
        return ParquetReader(name, source, BATCH_ROWS, choose)
    if kind == "npy":
        return NpyReader(name, source, BATCH_ROWS, choose)
    return TextReader(name, source, BATCH_BYTES, choose)


def _writer(stream: IO[bytes], kind: str, reader: Any, names: list[str]) -> Any:
    if kind == "parquet":
        return ParquetWriter(stream, names)
    if kind == "npy":
        return NpyWriter(stream, names)
    if kind == "csv":
        delimiter = b","
    elif kind == "tsv":
        delimiter = b"\t"
    elif isinstance(reader, TextReader):
        delimiter = reader.delimiter
    else:
        delimiter = WHITESPACE
    return TextWriter(stream, delimiter, names if reader.header else None)


class _BackgroundWriter:
    """Writes each converted batch on a second thread while the next one is
    read and converted (Arrow's parsing, formatting and writing release the
    interpreter lock); at most one batch waits, so memory stays bounded."""

    def __init__(self) -> None:
        self.pool = ThreadPoolExecutor(1)
        self.pending: Future[None] | None = None
        self.name = ""

    def submit(self, writer: Any, table: Any, name: str) -> None:
        self.wait()
        self.name = name
        self.pending = self.pool.submit(writer.write, table)

    def wait(self) -> None:
        if self.pending is not None:
            pending, self.pending = self.pending, None
            try:
                pending.result()
            except DataError as exc:
                raise DataError(f"{self.name}: {exc}") from None

    def close(self) -> None:
        self.pool.shutdown(wait=True)


def _convert_into(stream: IO[bytes], inputs: list[str], out_kind: str | None, src: str, dst: str,
                  columns: list[str] | None, background: _BackgroundWriter, progress: Any) -> int:
    rows = 0
    writer = None
    first_names: list[str] | None = None
    for path in inputs:
        with open_input(path) as (name, source, kind):
            reader = _reader(name, source, kind, columns)
            names = output_names(reader.names, reader.picked, src, dst, reader.header)
            if writer is None:
                first_names = names
                writer = _writer(stream, out_kind or kind, reader, names)
            elif names != first_names:
                raise DataError(f"{name}: columns {names} differ from those of the "
                                f"first input {first_names}")
            if isinstance(reader, TextReader):
                reader.write_to(writer)
            for table, first, size in reader.batches():
                try:
                    table = convert_table(table, reader.picked, reader.names, src, dst,
                                          name, first)
                except (ValueError, TypeError) as exc:
                    raise DataError(f"{name}:{first}: {exc}") from None
                background.submit(writer, table, name)
                rows += table.num_rows
                if progress is not None:
                    progress.update(size)
            background.wait()
    if writer is not None:
        writer.close()
    return rows


def convert_files(inputs: list[str], output: str | None, src: str, dst: str,
                  columns: list[str] | None) -> int:
    """Converts the inputs into one output; returns the number of rows."""
    out_kind = kind_of_path(output) if output not in (None, "-") else None
    progress = _progress(inputs)
    background = _BackgroundWriter()
    try:
        with atomic_output(output) as stream:
            try:
                rows = _convert_into(stream, inputs, out_kind, src, dst, columns, background,
                                     progress)
            finally:
                background.close()  # no write may outlive the output file
    finally:
        if progress is not None:
            progress.close()
    return rows


def check_output(output: str | None, inputs: list[str]) -> None:
    if output not in (None, "-") and any(os.path.abspath(p) == os.path.abspath(str(output))
                                         for p in inputs if p != "-"):
        raise UsageError("the output must not be one of the inputs")
