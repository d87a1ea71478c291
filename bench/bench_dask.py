"""geokern_tools.dask on a local cluster of two single-threaded worker
processes against one single-process call (two OpenMP threads).

1. 50 000 000 geodetic positions to ECEF as a Dask array held by the
   workers, in chunks of 1 000 000 and 5 000 000 rows, against
   geokern_tools.convert on the same array in this process.  The cluster
   time is that of persisting the result on the workers: neither side moves
   the data between processes.
2. Scheduling overhead per chunk: many one-row chunks.
3. A 10-file Parquet dataset (10 x 1 000 000 rows) through
   convert_parquet_dataset (what `geokern convert --scheduler` runs), on the
   running cluster and with a cluster started for the job ("local:2"),
   against converting the files one by one in this process.

Printed as times and as ratios single / cluster (above 1: the cluster is
faster; the goal on two cores is 0.8 or more with 1 000 000-row chunks).
"""
import os
import tempfile
import time

import numpy as np

import dask.array as da
from distributed import wait
from geokern_tools import convert
from geokern_tools import dask as gk_dask
from timing import best_time

ROWS = 50_000_000


def persisted(client, darr):
    """Seconds to compute `darr` into worker memory."""
    start = time.perf_counter()
    result = client.persist(darr)
    wait(result)
    seconds = time.perf_counter() - start
    # Forget the result, or the next run would find its keys in memory.
    client.cancel(result)
    time.sleep(0.5)
    return seconds


def array_benchmark(client):
    rng = da.random.default_rng(7)
    for chunk in (1_000_000, 5_000_000):
        lon = rng.uniform(-180, 180, size=(ROWS, 1), chunks=(chunk, 1))
        lat = rng.uniform(-90, 90, size=(ROWS, 1), chunks=(chunk, 1))
        h = rng.uniform(-100, 9000, size=(ROWS, 1), chunks=(chunk, 1))
        darr = client.persist(da.concatenate([lon, lat, h], axis=1).rechunk((chunk, 3)))
        wait(darr)
        if chunk == 1_000_000:
            local = darr.compute()
            single = best_time(lambda: convert(local, "wgs84", "ecef"), repeat=3)
            del local
        cluster = min(persisted(client, gk_dask.convert(darr, "wgs84", "ecef")) for _ in range(3))
        print(f"{ROWS:,} rows, chunks of {chunk:,}: single call {single:.3f} s, "
              f"cluster {cluster:.3f} s, single / cluster = {single / cluster:.2f}")
        del darr


def overhead_benchmark(client):
    chunks = 2_000
    tiny = client.persist(da.zeros((chunks, 3), chunks=(1, 3)))
    wait(tiny)
    seconds = min(persisted(client, gk_dask.convert(tiny, "wgs84", "ecef")) for _ in range(3))
    print(f"scheduling overhead: {seconds / chunks * 1e3:.2f} ms per chunk "
          f"({chunks} one-row chunks in {seconds:.2f} s)")


def parquet_benchmark(client):
    import pyarrow as pa
    import pyarrow.parquet as pq

    with tempfile.TemporaryDirectory() as folder:
        rng = np.random.default_rng(3)
        inputs = []
        for i in range(10):
            n = 1_000_000
            table = pa.table({"id": np.arange(n), "lon": rng.uniform(70, 140, n),
                              "lat": rng.uniform(0, 60, n), "h": rng.uniform(0, 100, n)})
            inputs.append(os.path.join(folder, f"tile{i}.parquet"))
            pq.write_table(table, inputs[-1])
        out = os.path.join(folder, "out")

        def one_by_one():
            os.makedirs(out, exist_ok=True)
            for i, path in enumerate(inputs):
                gk_dask._convert_parquet_file(path, os.path.join(out, f"part-{i}.parquet"),
                                              "wgs84", "ecef", None)

        single = best_time(one_by_one, repeat=3)
        address = client.scheduler.address
        running = best_time(lambda: gk_dask.convert_parquet_dataset(
            inputs, out, "wgs84", "ecef", None, address), repeat=3)
        started = best_time(lambda: gk_dask.convert_parquet_dataset(
            inputs, out, "wgs84", "ecef", None, "local:2"), repeat=1)
        print(f"10 Parquet files x 1,000,000 rows: one by one {single:.2f} s; "
              f"running cluster {running:.2f} s ({single / running:.2f}); "
              f"cluster started for the job {started:.2f} s ({single / started:.2f})")


def main():
    with gk_dask.client_for("local:2") as client:
        client.wait_for_workers(2)
        array_benchmark(client)
        overhead_benchmark(client)
        parquet_benchmark(client)


if __name__ == "__main__":
    main()
