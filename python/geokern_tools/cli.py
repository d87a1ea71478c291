"""The `geokern` command: coordinate files, footprints, normals, build
information and a demonstration.

Exit status: 0 on success; 1 for data that cannot be read, converted or
written (one line on standard error naming the file and line, row or row
group); 2 for bad usage; 130 after Ctrl-C (SIGINT), 143 after SIGTERM and
129 after SIGHUP, with every output left as it was before the run.
"""
from __future__ import annotations

import os
import sys

# Only what main() needs to take over the signals is imported up front, so
# that the window in which Ctrl-C still meets Python's start-up is short.
from geokern_tools._errors import DataError, UsageError
from geokern_tools._signals import exit_status, handled, lost_status

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse
    from collections.abc import Callable, Generator, Sequence
    from pathlib import Path
    from typing import Any

    from geokern_tools._footprint import Up


def _crs(text: str) -> str:
    """The text of a supported reference system, checked."""
    import argparse

    from geokern_tools._crs import crs_name

    try:
        crs_name(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None
    return text.strip()


def _scheduler(text: str) -> str:
    """"local", "local:N" or the address of a running Dask scheduler."""
    import argparse

    from geokern_tools._scheduler import local_workers

    try:
        if local_workers(text) is not None:
            return text
    except ValueError:
        pass
    if text.startswith("local") or ":" not in text:
        raise argparse.ArgumentTypeError(
            f"{text!r}: expected local, local:N (N > 0) or a scheduler address host:port")
    return text


def _at(text: str) -> tuple[float, float, float]:
    import argparse

    from geokern_tools._city import parse_at

    try:
        return parse_at(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def _note(text: str) -> None:
    """One line on standard error (when there is one)."""
    if sys.stderr is not None:
        line = " ".join(part.strip() for part in text.splitlines() if part.strip())
        print(f"geokern: {line}", file=sys.stderr, flush=True)


def _import_dask() -> Any:
    import logging

    # The command reports a failed task in one line.  Dask's own logs of it
    # (a traceback from every worker process; the scheduler's and asyncio's
    # complaints when Ctrl-C stops a cluster that is starting) stay quiet:
    # in the worker processes unless the environment asks for them.
    os.environ.setdefault("DASK_LOGGING__DISTRIBUTED", "critical")
    logging.disable(logging.CRITICAL)
    try:
        import geokern_tools.dask as gk_dask
    except ImportError as exc:
        raise UsageError(f"--scheduler needs geokern_tools.dask and Dask ({exc})") from None
    return gk_dask


# ---------------------------------------------------------------------------
# Subcommands


def _cmd_convert(args: argparse.Namespace) -> int:
    from geokern_tools._coordinate_columns import parse_columns
    from geokern_tools._crs import crs_name
    from geokern_tools._files import convert_files

    columns = parse_columns(args.columns)
    inputs = args.inputs or ["-"]
    if args.wkt is not None and args.columns is not None:
        raise UsageError("--wkt and --columns exclude each other: a run converts a WKT column "
                         "or coordinate columns")
    if args.scheduler:
        if args.output in (None, "-"):
            raise UsageError("--scheduler writes a Parquet dataset: give its folder with -o")
        if args.src is None:
            raise UsageError("--scheduler converts coordinate columns: give --from")
        if args.wkt is not None or args.china_inverse is not None:
            raise UsageError("--wkt and --china-inverse do not apply to --scheduler")
        convert_dataset = _import_dask().convert_parquet_dataset
        convert_dataset(inputs, args.output, crs_name(args.src), crs_name(args.dst), columns,
                        args.scheduler)
        return 0
    if inputs.count("-") > 1:
        raise UsageError("standard input can be read only once")
    if "-" in inputs and sys.stdin is None:
        raise DataError("<stdin>: standard input is closed")
    convert_files(inputs, args.output, args.src, args.dst, columns,
                  args.china_inverse or "iterative", args.wkt)
    return 0


def _per_model(function: Callable[[Any], Any], paths: Sequence[Any], jobs: int,
               scheduler: str | None) -> Generator[Any, None, None]:
    """function(path) of every path, in order: in this process, in `jobs`
    worker processes or on a Dask cluster.  `function` must pickle."""
    if scheduler:
        gk_dask = _import_dask()
        with gk_dask.client_for(scheduler) as client:
            outcomes: list[Any] = gk_dask.per_model(paths, function).compute(scheduler=client)
        yield from outcomes
    elif jobs > 1 and len(paths) > 1:
        yield from _in_processes(function, paths, jobs)
    else:
        for path in paths:
            yield function(path)


def _worker_start() -> None:
    """Worker processes leave Ctrl-C, SIGTERM and SIGHUP to the command,
    which stops them."""
    import signal

    from geokern_tools._signals import EXIT_STATUS

    for signum in EXIT_STATUS:
        signal.signal(signum, signal.SIG_IGN)
    signal.pthread_sigmask(signal.SIG_UNBLOCK, EXIT_STATUS)


def _in_processes(function: Callable[[Any], Any], paths: Sequence[Any], jobs: int
                  ) -> Generator[Any, None, None]:
    """function(path) of every path, in order, in `jobs` forked worker
    processes.  Forked rather than started afresh: a new interpreter (or
    the fork server) that meets Ctrl-C while it starts dies with a
    traceback.  The workers are forked with the interrupting signals
    blocked and ignore them from then on; when the command is interrupted
    or fails, they are killed."""
    import multiprocessing
    import signal
    from concurrent.futures import ProcessPoolExecutor

    from geokern_tools._signals import EXIT_STATUS

    workers = min(jobs, len(paths))
    chunk = max(1, min(16, len(paths) // (4 * workers)))
    mask = signal.pthread_sigmask(signal.SIG_BLOCK, EXIT_STATUS)
    try:
        pool = ProcessPoolExecutor(workers, mp_context=multiprocessing.get_context("fork"),
                                   initializer=_worker_start)
        try:
            results = pool.map(function, paths, chunksize=chunk)  # forks the workers
        except BaseException:
            _kill(pool)
            raise
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, mask)
    try:
        yield from results
    except BaseException:
        _kill(pool)
        raise
    pool.shutdown()


def _kill(pool: Any) -> None:
    """Kills the pool's workers and waits until they are gone, so that none
    writes into a folder that is about to be removed."""
    import multiprocessing

    pool.kill_workers()
    for child in multiprocessing.active_children():
        child.join()


def _anchors(args: argparse.Namespace, paths: list[str]) -> list[Any]:
    """The anchors of --at (every model at one place) or --anchors."""
    import math

    from geokern_tools._city import Anchor, read_anchors

    if args.anchors is not None:
        if paths:
            raise UsageError("--anchors names the models: give no MODEL arguments with it")
        return read_anchors(args.anchors)
    if args.heading is not None and not math.isfinite(args.heading):
        raise UsageError("--heading must be finite")
    lon, lat, h = args.at
    return [Anchor(path, path, lon, lat, h, args.heading or 0.0) for path in paths]


def _cmd_footprint(args: argparse.Namespace) -> int:
    import contextlib
    from functools import partial

    from geokern_tools._city import error_text, footprint_outcome, model_paths
    from geokern_tools._output import output_file

    if args.jobs < 1:
        raise UsageError("--jobs must be at least 1")
    placed = args.at is not None or args.anchors is not None
    if args.geojson and not placed:
        raise UsageError("--geojson needs --at or --anchors: GeoJSON holds longitude and "
                         "latitude, and the models are in local metres")
    if args.heading is not None and args.at is None:
        raise UsageError("--heading applies to --at only (an anchors file has its own column)")
    if placed:
        anchors = _anchors(args, model_paths(args.models))
        paths = [anchor.path for anchor in anchors]
    elif not args.models:
        raise UsageError("give the models, or --anchors with a file naming them")
    else:
        paths = model_paths(args.models)
    outcomes = _per_model(partial(footprint_outcome, up=args.up), paths, args.jobs,
                          args.scheduler)
    status = 0
    read, footprints = [], []
    with contextlib.closing(outcomes):  # stops the workers on Ctrl-C
        for number, (result, error) in enumerate(outcomes):
            if error is not None:
                _note(error_text(error))
                status = 1
                continue
            footprint, notes = result
            for note in notes:
                _note(note)
            read.append(number)
            footprints.append(footprint)
    with output_file(None) as stream:
        _write_footprints(stream, args, [anchors[i] for i in read] if placed else
                          [paths[i] for i in read], footprints)
    return status


def _write_footprints(stream: Any, args: argparse.Namespace, places: list[Any],
                      footprints: list[Any]) -> None:
    """WKT lines (local metres without an anchor, else lon/lat) or GeoJSON."""
    from geokern_tools._city import (footprint_properties, placed_rings, ring_polygons,
                                     ring_wkt)

    if args.at is None and args.anchors is None:
        stream.write("".join(f"{fp.wkt or 'POLYGON EMPTY'}\n" for fp in footprints).encode())
        return
    rings = placed_rings(footprints, places)
    if not args.geojson:
        stream.write("".join(f"{ring_wkt(ring)}\n" for ring in rings).encode())
        return
    from geokern_tools._geojson import GeoJSONWriter

    with GeoJSONWriter(stream) as writer:
        writer.write_features(ring_polygons(rings), [
            footprint_properties(anchor, fp) for anchor, fp in zip(places, footprints)])


def _cmd_tiles(args: argparse.Namespace) -> int:
    import contextlib
    from functools import partial

    from geokern_tools._city import (distinct_paths, error_text, model_paths, piece_outcome,
                                     write_city_tileset, written_piece_outcome)

    if args.jobs < 1:
        raise UsageError("--jobs must be at least 1")
    if (args.at is None) == (args.anchors is None):
        raise UsageError("place the models with --at LON,LAT[,H] or --anchors FILE.csv")
    if args.heading is not None and args.at is None:
        raise UsageError("--heading applies to --at only (an anchors file has its own column)")
    if not 0.0 <= args.angle <= 180.0:
        raise UsageError("--angle must lie in 0..180 degrees")
    if args.at is not None and not args.models:
        raise UsageError("give the models (OBJ files or folders of them)")
    anchors = _anchors(args, model_paths(args.models))
    paths = distinct_paths(anchors)

    def pieces(folder: Path, names: list[str]) -> Generator[Any, None, None]:
        # Without Dask, the workers write the GLB files into the folder.
        if args.scheduler:
            outcomes = _per_model(partial(piece_outcome, up=args.up, angle=args.angle),
                                  paths, 1, args.scheduler)
        else:
            jobs = [(path, os.path.join(folder, name)) for path, name in zip(paths, names)]
            outcomes = _per_model(partial(written_piece_outcome, up=args.up, angle=args.angle),
                                  jobs, args.jobs, None)
        with contextlib.closing(outcomes):  # stops the workers first on a failure
            for piece, error in outcomes:
                if error is not None:
                    raise DataError(error_text(error))
                for note in piece.notes:
                    _note(note)
                yield piece

    inputs = paths + ([args.anchors] if args.anchors else [])
    write_city_tileset(args.output, anchors, pieces, inputs)
    return 0


def _cmd_normals(args: argparse.Namespace) -> int:
    import warnings

    from geokern_tools._model_files import obj_to_glb, obj_with_normals
    from geokern_tools._obj import ObjError, read_obj_model
    from geokern_tools._output import output_file

    kind = ".obj" if args.output == "-" else os.path.splitext(args.output)[1].lower()
    if kind not in (".obj", ".glb"):
        raise UsageError(f"{args.output}: the output's suffix must be .obj or .glb")
    if args.angle is not None and args.mode != "crease":
        raise UsageError("--angle applies to --mode crease only")
    if args.up is not None and kind != ".glb":
        raise UsageError("--up applies to .glb output only (OBJ output keeps the model's axes)")
    try:
        model = read_obj_model(args.input)
    except ObjError as exc:
        raise DataError(str(exc)) from None
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            with output_file(args.output, [args.input]) as stream:
                if kind == ".glb":
                    obj_to_glb(model, stream, mode=args.mode, angle=args.angle,
                               up=args.up or "y")
                else:
                    obj_with_normals(model, stream, mode=args.mode, angle=args.angle)
        except (ValueError, IndexError) as exc:  # checks of the mesh, e.g. coordinates too large
            raise DataError(f"{args.input}: {exc}") from None
    for warning in caught:
        _note(str(warning.message))
    if len(model.triangles) == 0:
        _note(f"{args.input}: no faces")
    return 0


def _cmd_view(args: argparse.Namespace) -> int:
    from geokern_tools._viewer import serve

    def announce(url: str) -> None:
        print(url, flush=True)
        _note(f"showing {args.tiles} at {url} (Ctrl-C stops)")

    serve(args.tiles, args.port, args.cesium, announce)
    return 0


def _port(text: str) -> int:
    import argparse

    try:
        port = int(text)
    except ValueError:
        port = -1
    if not 0 <= port <= 65535:
        raise argparse.ArgumentTypeError(f"{text!r}: expected a port number 0..65535")
    return port


def _cmd_info(args: argparse.Namespace) -> int:
    import platform

    import numpy as np

    import geokern
    from geokern_tools import __version__

    print(f"geokern {geokern.__version__} (geokern_tools {__version__})")
    try:
        from geokern_tools._native import (  # type: ignore[import-not-found, unused-ignore]
            build_info)

        info: dict[str, object] = dict(build_info())
    except ImportError:
        info = {}
    print(f"compiler: {info.get('compiler', 'unknown (native helper not built)')}")
    print(f"SIMD: {info.get('simd', 'unknown')}")
    print(f"vector path: {info.get('vector_path', 'unknown')}")
    print(f"OpenMP threads: {info.get('openmp_threads', 'unknown')}")
    print(f"Python {platform.python_version()}")
    print(f"numpy {np.__version__}")
    try:
        import pyarrow
        print(f"pyarrow {pyarrow.__version__}")
    except ImportError:
        print("pyarrow: not installed (needed for CSV and Parquet files)")
    return 0


def _cmd_demo(args: argparse.Namespace) -> int:
    from geokern_tools._demo import run_demo

    run_demo(args.out)
    return 0


# ---------------------------------------------------------------------------
# Parser


def _add_scheduler(parser: argparse.ArgumentParser, job: str) -> None:
    parser.add_argument("--scheduler", metavar="ADDRESS|local[:N]", type=_scheduler,
                        help=f"{job}: local (one worker per core), local:N or the address of "
                        "a running scheduler")


def _add_placement(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--at", type=_at, metavar="LON,LAT[,H]",
                        help="place every model's origin here (degrees; H metres above the "
                        "WGS 84 ellipsoid, default 0)")
    parser.add_argument("--heading", type=float, metavar="DEG",
                        help="with --at: turn the models clockwise from north (default 0)")
    parser.add_argument("--anchors", metavar="FILE.csv",
                        help="CSV with the columns model,lon,lat[,h][,heading], one model per "
                        "row (paths relative to the file)")
    parser.add_argument("--up", choices=("y", "z"), default="y",
                        help="the models' up axis: y (x east, -z north; the default) or z "
                        "(x east, y north)")


def build_parser() -> argparse.ArgumentParser:
    import argparse

    from geokern_tools import __version__
    from geokern_tools._crs import supported_text

    crs_help = f"one of {supported_text()}"

    parser = argparse.ArgumentParser(
        prog="geokern",
        description="Fast geodetic conversions, footprints and mesh normals on files.")
    parser.add_argument("--version", action="version", version=f"geokern {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    p = sub.add_parser("convert", help="convert coordinate and geometry files between "
                       "reference systems",
                       description="Convert coordinates in CSV or blank-separated text "
                       "(header optional), Parquet or .npy files, and geometries in GeoParquet, "
                       "GeoJSON (.geojson, .json), WKT (.wkt, one geometry a line) and the "
                       "vector files pyogrio reads (.shp, .gpkg, .fgb, ...), between reference "
                       "systems. Without INPUT, reads standard input; without -o, writes "
                       "standard output in the input's kind. Other columns pass through "
                       "unchanged.")
    p.add_argument("--from", dest="src", type=_crs, metavar="CRS",
                   help=f"{crs_help}; may be left out for geometry files that state their "
                   "own (GeoParquet, GeoJSON, a Shapefile's .prj, WKT with SRID=)")
    p.add_argument("--to", dest="dst", required=True, type=_crs, metavar="CRS", help=crs_help)
    p.add_argument("inputs", nargs="*", metavar="INPUT",
                   help="input files ('-' for standard input)")
    p.add_argument("-o", "--output", metavar="OUTPUT",
                   help="output file; its suffix (.csv, .txt, .tsv, .parquet, .npy; .parquet, "
                   ".geojson, .json, .wkt for geometries) picks the kind")
    p.add_argument("--columns", metavar="NAMES",
                   help="the two or three coordinate columns, by name or 1-based number "
                   "(default: lon,lat,h / x,y,z and similar headers, else the first three)")
    p.add_argument("--wkt", metavar="COLUMN",
                   help="convert the WKT geometries of this text column (name or 1-based "
                   "number) of a CSV, text or Parquet table instead of coordinate columns")
    p.add_argument("--china-inverse", choices=("iterative", "one-step"),
                   help="out of gcj02 and bd09: iterative (the default, within 1e-9 degrees "
                   "of the forward conversion) or one-step (geokern's own inverse)")
    _add_scheduler(p, "convert a Parquet dataset (folder or glob) on a Dask cluster into the "
                   "dataset folder -o")
    p.set_defaults(run=_cmd_convert)

    p = sub.add_parser("footprint", help="footprint boxes of OBJ models",
                       description="Print the 2-D oriented footprint box of each OBJ model "
                       "as one WKT line (in the model's metres, or in longitude and latitude "
                       "when the models are placed with --at or --anchors), or, for placed "
                       "models, all of them as a GeoJSON FeatureCollection. A folder stands "
                       "for its *.obj files. A model without faces gives POLYGON EMPTY and a "
                       "note; a model that cannot be read gives no output, an error line and "
                       "exit status 1.")
    p.add_argument("models", nargs="*", metavar="MODEL_OR_DIR")
    p.add_argument("--geojson", action="store_true",
                   help="write a GeoJSON FeatureCollection (needs --at or --anchors)")
    _add_placement(p)
    p.add_argument("--jobs", type=int, default=1, metavar="N", help="worker processes (default 1)")
    _add_scheduler(p, "footprint the models on a Dask cluster")
    p.set_defaults(run=_cmd_footprint)

    p = sub.add_parser("tiles", help="place OBJ models on the globe as a 3D Tiles tileset",
                       description="Place OBJ building models (in local metres) on the globe "
                       "and write OUTDIR/tileset.json (3D Tiles 1.1), one GLB per model file "
                       "with crease-split normals, and OUTDIR/footprints.geojson (each model's "
                       "footprint box in longitude and latitude, with its height and area). "
                       "A folder stands for its *.obj files. OUTDIR appears whole or not at "
                       "all; a model that cannot be read stops the run with exit status 1.")
    p.add_argument("models", nargs="*", metavar="MODEL_OR_DIR")
    _add_placement(p)
    p.add_argument("--angle", type=float, default=30.0, metavar="DEG",
                   help="crease angle in degrees (default 30)")
    p.add_argument("--jobs", type=int, default=1, metavar="N", help="worker processes (default 1)")
    _add_scheduler(p, "make the models' GLB files on a Dask cluster")
    p.add_argument("-o", "--output", required=True, metavar="OUTDIR",
                   help="the tileset folder (replaced whole when it holds a tileset)")
    p.set_defaults(run=_cmd_tiles)

    p = sub.add_parser("normals", help="add vertex normals to an OBJ mesh (OBJ or GLB out)",
                       description="Read an OBJ mesh, compute vertex normals and write it as "
                       "OBJ (vn lines, f v//vn or v/vt/vn faces; texture coordinates and the "
                       "mtllib, usemtl, o, g, s lines kept) or as glTF binary (.glb: positions "
                       "about the model's centre, normals, texture coordinates and the "
                       "materials' colours and textures). The output's suffix picks the kind.")
    p.add_argument("input", metavar="IN.obj")
    p.add_argument("output", metavar="OUT.obj|OUT.glb",
                   help="the output ('-' for OBJ on standard output)")
    p.add_argument("--mode", choices=("smooth", "flat", "crease"), required=True,
                   help="smooth: shared area-weighted normals; flat: one normal per face; "
                   "crease: split vertices where faces meet at more than --angle")
    p.add_argument("--angle", type=float, metavar="DEG", help="crease angle in degrees "
                   "(default 60)")
    p.add_argument("--up", choices=("y", "z"), help="the model's up axis for GLB output: y "
                   "(the default, glTF's own) or z (turned to glTF's y-up)")
    p.set_defaults(run=_cmd_normals)

    p = sub.add_parser("view", help="show a tileset on a globe in the browser",
                       description="Serve a 3D Tiles folder and a page that shows it on a "
                       "plain globe (CesiumJS, no imagery or terrain) on 127.0.0.1, and print "
                       "the page's URL. Ctrl-C stops.")
    p.add_argument("tiles", metavar="OUTDIR", help="folder holding tileset.json")
    p.add_argument("--port", type=_port, default=8000, metavar="N",
                   help="port to serve on (default 8000; 0 picks a free one)")
    p.add_argument("--cesium", metavar="DIR", help="the npm package cesium or its Build/Cesium "
                   "folder (default: $GEOKERN_CESIUM, the cesium package under $GEOKERN_NPM, "
                   "$NODE_PATH or ./node_modules)")
    p.set_defaults(run=_cmd_view)

    p = sub.add_parser("info", help="versions and build details",
                       description="Print the versions of geokern, numpy and pyarrow and "
                       "how geokern was built.")
    p.set_defaults(run=_cmd_info)

    p = sub.add_parser("demo", help="run every job on the bundled samples",
                       description="Convert the bundled positions, footprint and shade the "
                       "bundled city block, and draw the footprints into a PNG picture.")
    p.add_argument("--out", metavar="DIR", default=".",
                   help="folder for the picture and the shaded mesh (default: current folder)")
    p.set_defaults(run=_cmd_demo)
    return parser


def _occupy_closed_descriptors() -> None:
    """Puts /dev/null on standard input, output or error where the caller
    closed them, so that no file this run opens takes their number (and
    receives what is meant for them); sys.stdin, sys.stdout and sys.stderr
    stay None, and the command refuses to use them."""
    for fd in (0, 1, 2):
        try:
            os.fstat(fd)
        except OSError:
            null = os.open(os.devnull, os.O_RDWR)
            if null != fd:  # the lower numbers are taken, so it took this one
                os.dup2(null, fd)
                os.close(null)


def _run(parser: argparse.ArgumentParser, argv: Sequence[str] | None) -> int:
    args = parser.parse_args(argv)
    run: Callable[[argparse.Namespace], int] = args.run
    try:
        return run(args)
    except UsageError as exc:
        parser.error(str(exc))
    except (DataError, ValueError, TypeError) as exc:
        _note(str(exc))
    except BrokenPipeError:
        # The reader went away (`| head`): stop quietly.
        os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
    except OSError as exc:
        _note(f"{exc.filename}: {exc.strerror}" if exc.filename else str(exc))
    except MemoryError:
        _note("out of memory")
    return 1


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command; returns its exit status.  Without `argv` (the
    process's own command line) a signal after the run no longer changes
    that status."""
    _occupy_closed_descriptors()
    with handled(restore=argv is not None):
        try:
            return lost_status(_run(build_parser(), argv))
        except KeyboardInterrupt as exc:
            return exit_status(exc)
        except ModuleNotFoundError as exc:  # an optional package the job needs
            _note(f"{exc} (pip install 'geokern[tools]' brings the command's packages)")
            return 1
        except Exception as exc:  # a fault of the command itself: still one line
            _note(f"unexpected {type(exc).__name__}: {exc}")
            return 1


if __name__ == "__main__":
    sys.exit(main())
