"""geokern conversions and footprints on a Dask cluster.

geokern's functions are pure, release the interpreter lock and pickle by
reference, so Dask runs them as they are: every chunk, partition or file
becomes one task that calls `geokern_tools.convert` (or the footprint of
one model) on a worker, and the results are bit for bit those of one
single-process call.

- `convert(darr, src, dst)`: a Dask array of shape (N, 2) or (N, 3),
  chunked along rows.
- `convert_dataframe(ddf, columns, src, dst, out_columns=None)`: the
  coordinate columns of a Dask DataFrame, per partition.
- `footprints(paths)`: WKT footprints of many OBJ models, as a Dask bag.
- `per_model(paths, function)`: any per-model work as a Dask bag; the
  GLB files of `geokern tiles --scheduler` are made this way.
- `convert_parquet_dataset(...)` and `footprint_files(...)`: the jobs of
  `geokern convert --scheduler` and `geokern footprint --scheduler`.
- `client_for(scheduler)`: a client for "local", "local:N" or a scheduler
  address.

Only this module imports Dask; importing `geokern_tools` does not.
"""

from __future__ import annotations

import contextlib
import glob
import os
import warnings
from collections.abc import Callable, Iterator, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

import dask
import dask.array as da
import dask.bag as db

from geokern_tools._convert import CRS, check_points, crs_name, result_columns
from geokern_tools._convert import convert as _convert_points
from geokern_tools._coordinate_columns import convert_table, output_names, pick_columns
from geokern_tools._errors import DataError
from geokern_tools._output import output_file, output_folder
from geokern_tools._parquet import ParquetReader, ParquetWriter, schema_mismatch
from geokern_tools._scheduler import local_workers

if TYPE_CHECKING:
    import pandas as pd
    from distributed import Client

with warnings.catch_warnings():
    # Without dask-expr the classic DataFrame implementation is used, which
    # is all these functions need; its import warns about that.
    warnings.filterwarnings("ignore", message=".*query planning.*", category=FutureWarning)
    import dask.dataframe as dd

__all__ = ["client_for", "convert", "convert_dataframe", "convert_parquet_dataset",
           "footprint_files", "footprints", "per_model"]

# ============================================================================
# Arrays and data frames
# ============================================================================


def convert(darr: da.Array, src: CRS, dst: CRS) -> da.Array:
    """`geokern_tools.convert` over a Dask array of shape (N, 2) or (N, 3).

    Chunks along rows are kept (columns are rechunked to one chunk when
    needed); each chunk is converted on its own, so the result equals the
    single-process conversion bit for bit.  The result is float64, with 3
    columns to or from ECEF and the input's count otherwise.
    """
    src_name, dst_name = crs_name(src), crs_name(dst)
    check_points(darr.dtype, darr.shape, src_name)
    k = darr.shape[1]
    if darr.numblocks[1] != 1:
        darr = darr.rechunk({1: -1})
    out_k = result_columns(src_name, dst_name, k)
    return da.map_blocks(_convert_points, darr, src_name, dst_name, dtype=np.float64,
                         chunks=(darr.chunks[0], (out_k,)),
                         meta=np.empty((0, out_k), dtype=np.float64))


def _convert_frame(frame: pd.DataFrame, columns: list[str], src: str, dst: str,
                   out_columns: list[str]) -> pd.DataFrame:
    """One partition with its coordinates converted: `out_columns` replaced
    (or added at the end), every other column unchanged."""
    points = frame[columns].to_numpy(dtype=np.float64)
    result = _convert_points(points, src, dst)
    frame = frame.copy()
    for name, values in zip(out_columns, result.T):
        frame[name] = values
    return frame


def convert_dataframe(ddf: dd.DataFrame, columns: Sequence[str], src: CRS, dst: CRS,
                      out_columns: Sequence[str] | None = None) -> dd.DataFrame:
    """Converts the coordinate `columns` (two or three names) of a Dask
    DataFrame partition by partition.

    The results go to `out_columns` (default: `columns` themselves, which
    are then replaced); names that do not exist yet are added after the
    others.  When the result has more columns than `columns` (two columns
    to ECEF), `out_columns` must name all three.  The other columns pass
    through unchanged.
    """
    src_name, dst_name = crs_name(src), crs_name(dst)
    columns = list(columns)
    # The coordinate columns as points: their count is what is checked.
    check_points(np.dtype(np.float64), (0, len(columns)), src_name)
    missing = [name for name in columns if name not in ddf.columns]
    if missing:
        raise ValueError(f"no column {missing[0]!r} (columns: {', '.join(map(str, ddf.columns))})")
    out_k = result_columns(src_name, dst_name, len(columns))
    out = list(columns if out_columns is None else out_columns)
    if len(out) != out_k:
        raise ValueError(f"out_columns must name the {out_k} result columns, got {len(out)}")
    meta = _convert_frame(ddf._meta, columns, src_name, dst_name, out)
    return ddf.map_partitions(_convert_frame, columns, src_name, dst_name, out, meta=meta)


# ============================================================================
# Footprints
# ============================================================================


def _footprint_with_note(path: str) -> tuple[str | None, str | None]:
    from geokern_tools._footprint import footprint_with_note

    return footprint_with_note(path)


def footprints(paths: Sequence[str],
               function: Callable[[str], Any] | None = None) -> db.Bag:
    """The footprints of the OBJ models at `paths` as a Dask bag, in path
    order: per model (WKT or None, a note or None), with the tolerant
    fallback of the `geokern footprint` command.  `function` replaces the
    per-model function (it must pickle, e.g. a module-level function)."""
    paths = [os.fspath(p) for p in paths]
    per_model = function or _footprint_with_note
    return db.from_sequence(paths, npartitions=max(1, min(len(paths), 256))).map(per_model)


def per_model(paths: Sequence[str], function: Callable[[str], Any]) -> db.Bag:
    """function(path) of every OBJ model at `paths` as a Dask bag, in path
    order: the per-model work of `geokern tiles --scheduler` (GLB bytes,
    scene box and footprint of each model file) and of `geokern footprint
    --scheduler`.  `function` must pickle (e.g. a module-level function or
    a partial of one) and should return a model's errors rather than raise
    them, so that one bad model does not fail the whole bag."""
    paths = [os.fspath(p) for p in paths]
    return db.from_sequence(paths, npartitions=max(1, min(len(paths), 256))).map(function)


# ============================================================================
# Clients
# ============================================================================


# Worker memory for chunk-sized results.  Dask sets MALLOC_TRIM_THRESHOLD_
# in its workers, which also freezes glibc's mmap threshold at 128 KiB: every
# chunk's result array is then fresh memory from the kernel, faulted in page
# by page.  Arrays up to 64 MiB therefore come from the heap, which keeps up
# to 128 MiB of free memory before trimming (figures in the changelog and
# bench/bench_dask.py).
_WORKER_MALLOC = {
    "distributed.nanny.pre-spawn-environ.MALLOC_MMAP_THRESHOLD_": 64 << 20,
    "distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_": 128 << 20,
}


@contextlib.contextmanager
def client_for(scheduler: str) -> Iterator[Client]:
    """A Dask client for `scheduler`, closed on leaving the block.

    "local" starts a `distributed.LocalCluster` with one single-threaded
    worker process per core, "local:N" with N; it listens on the loopback
    interface only, has no dashboard, keeps chunk-sized arrays on its
    workers' heaps (_WORKER_MALLOC), and is shut down on leaving.  Anything
    else is the address of a running scheduler ("tcp://host:8786").
    """
    from distributed import Client, LocalCluster

    workers = local_workers(scheduler)
    if workers is None:
        with Client(scheduler) as client:
            yield client
        return
    # No dashboard; the scheduler's small HTTP server (health checks) on a
    # free loopback port rather than on 8787.
    with dask.config.set(_WORKER_MALLOC), LocalCluster(
            n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
            dashboard_address=None, scheduler_kwargs={"dashboard_address": "127.0.0.1:0"}
    ) as cluster:
        with Client(cluster) as client:
            yield client


# ============================================================================
# Parquet datasets
# ============================================================================


def parquet_files(inputs: Sequence[str]) -> list[str]:
    """The Parquet files that `inputs` name: files as they are, folders by
    their *.parquet files (recursively, sorted), and glob patterns by their
    matches (sorted).  FileNotFoundError when an input matches nothing."""
    files: list[str] = []
    for item in inputs:
        if os.path.isdir(item):
            found = sorted(glob.glob(os.path.join(glob.escape(item), "**", "*.parquet"),
                                     recursive=True))
        elif os.path.exists(item):
            found = [item]
        else:
            found = sorted(glob.glob(item, recursive=True))
        if not found:
            raise FileNotFoundError(f"{item}: no Parquet file found")
        files.extend(found)
    return files


def _convert_parquet_file(path: str, output: str, src: str, dst: str,
                          columns: Sequence[str] | None) -> tuple[int, Any]:
    """Converts one Parquet file into the file `output`, batch by batch, with
    the column rules of `geokern convert` (geokern_tools._coordinate_columns);
    the number of rows and the output's schema.  The file appears whole or
    not at all (geokern_tools._output), so a task run again after a lost
    worker leaves one complete file, and the temporary of a killed one is
    removed by the next."""
    reader = ParquetReader(path, path, 1 << 16, lambda names: pick_columns(
        names, None if columns is None else list(columns), path))
    if src == "ecef" and len(reader.picked) != 3:
        raise DataError(f"{path}: ecef needs 3 coordinate columns (X, Y, Z), "
                        f"got {len(reader.picked)}")
    out_names = output_names(reader.names, reader.picked, src, dst, True)
    rows = 0
    with output_file(output) as stream:
        writer = ParquetWriter(stream, out_names)
        for table, first_row, _ in reader.batches():
            writer.write(convert_table(table, reader.picked, reader.names, src, dst, path,
                                       first_row))
            rows += table.num_rows
        if writer.schema is None:  # no rows: an empty file of the converted columns
            writer.write(convert_table(reader.schema.empty_table(), reader.picked, reader.names,
                                       src, dst, path, 1))
        writer.close()
    return rows, writer.schema


#: What an existing dataset folder may hold for a new run to replace it.
_DATASET_FILES = ("_SUCCESS", "_metadata", "_common_metadata")


def _dataset_file(relative: str) -> bool:
    name = os.path.basename(relative)
    return name.endswith((".parquet", ".crc")) or name in _DATASET_FILES or (
        name.startswith(".") and ".geokern-" in name)


def _one_schema(files: list[str], schemas: list[Any]) -> None:
    """Refuses parts with a column whose type differs from file to file (a
    column without any value, of type null, fits any): no reader takes
    them as one dataset."""
    import pyarrow as pa

    try:
        pa.unify_schemas(schemas)
    except (pa.ArrowInvalid, pa.ArrowTypeError):
        merged = schemas[0]
        for path, schema in zip(files[1:], schemas[1:]):
            try:
                merged = pa.unify_schemas([merged, schema])
            except (pa.ArrowInvalid, pa.ArrowTypeError) as exc:
                raise DataError(f"{path}: {schema_mismatch(schema, merged)} ({files[0]} and "
                                "the files before); a dataset needs one type per column"
                                ) from exc


def convert_parquet_dataset(inputs: Sequence[str], output: str, src: str | int, dst: str | int,
                            columns: Sequence[str] | None, scheduler: str) -> int:
    """Converts a Parquet dataset on a Dask cluster; the number of rows written.

    `inputs` are files, folders (their *.parquet files) or glob patterns;
    `output` is the dataset folder to write: one file `part-NNNNN.parquet`
    per input file, in input order, each converted batch by batch with the
    column rules of `geokern convert`: `columns` names the coordinate
    columns (names or 1-based numbers; by default a conventional set such as
    lon/lat/h or x/y/z, else the first three), which are renamed after the
    destination's axes unless both systems share them; every other column
    passes through unchanged.  `scheduler` is "local", "local:N" or a
    scheduler address (client_for).

    The dataset is written into a new folder beside `output` and swapped in
    whole when every file is done (geokern_tools._output): a failing job
    leaves an earlier dataset as it was, an output folder that holds an
    input or anything but a dataset's files is refused (UsageError), and a
    second run into the same folder is refused while the first runs.  A task
    that is run again after a lost worker rewrites its own file, so no row
    is lost or written twice; input files whose columns differ raise
    DataError, and so does a file whose workers keep dying.
    """
    from distributed import KilledWorker

    src_name, dst_name = crs_name(src), crs_name(dst)
    files = parquet_files(inputs)
    width = max(5, len(str(len(files) - 1)))
    names = [f"part-{i:0{width}d}.parquet" for i in range(len(files))]
    with output_folder(output, files, _dataset_file) as staging:
        tasks = [dask.delayed(_convert_parquet_file, pure=False)(
            path, os.path.join(staging, name), src_name, dst_name,
            None if columns is None else list(columns),
            dask_key_name=f"geokern-convert-{name}-{os.path.basename(staging)}")
            for path, name in zip(files, names)]
        with client_for(scheduler) as client:
            try:
                results = client.compute(tasks, sync=True)
            except KilledWorker as exc:
                task = str(getattr(exc, "task", None) or (exc.args[0] if exc.args else ""))
                path = next((p for p, n in zip(files, names) if f"-{n}-" in task), task)
                raise DataError(f"{path}: the workers converting it died again and again "
                                "(out of memory?); nothing was written") from exc
        _one_schema(files, [schema for _, schema in results])
    return int(sum(rows for rows, _ in results))


def footprint_files(paths: Sequence[str], scheduler: str) -> list[tuple[str | None, str | None]]:
    """The footprints of many OBJ models on a Dask cluster: per path, in
    order, (WKT or None, a note or None) as `geokern footprint` gives them."""
    with client_for(scheduler) as client:
        result: list[tuple[str | None, str | None]] = footprints(paths).compute(scheduler=client)
    return result
