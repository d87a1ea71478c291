"""The two builds of the batch kernels against each other.

Each parallel batch of bench_ecef, in child processes that alternate between
the AVX-512 build and the AVX2 build (forced with the glibc tunable that
hides AVX-512), best of every run of each; printed as AVX2 time / AVX-512
time, with one thread and with all.  On 2 000 000 points, as a user calls
them; and on 16 384 points with the previous result kept alive, so that
the allocator hands out pages already touched and the time is the kernels'
arithmetic (on this machine the first touch of a fresh page costs about
10 us, which is most of a large batch's time).  The list batch is left out:
converting its list of lists is most of its time.
"""
import json
import os
import pathlib
import subprocess
import sys

ROUNDS = 3
FORCE_AVX2 = {"GLIBC_TUNABLES": "glibc.cpu.hwcaps=-AVX512F"}

CHILD = """
import json
import bench_ecef
from timing import best_time
from geokern_tools import _native
n, number = {n}, {number}
calls = bench_ecef.batches(bench_ecef.inputs(n))
del calls["ecef2geodetic_list_cy"]
kept = []
def keeping(call):
    def run():
        kept[:] = [call()]   # the previous result is freed after the new one is made
    return run
print(json.dumps([_native.build_info()["vector_path"],
                  {{name: best_time(keeping(call), 7, number) for name, call in calls.items()}}]))
"""


def child(env_update, n, number):
    env = dict(os.environ, **env_update)
    out = subprocess.run([sys.executable, "-c", CHILD.format(n=n, number=number)],
                         cwd=pathlib.Path(__file__).parent, env=env, capture_output=True,
                         text=True, check=True).stdout
    return json.loads(out)


def best_of_rounds(threads, n, number):
    best = {}
    for _ in range(ROUNDS):
        for force in ({}, FORCE_AVX2):
            path, times = child({**force, **threads}, n, number)
            for name, t in times.items():
                best[path, name] = min(best.get((path, name), float("inf")), t)
    return best


def report(title, best):
    print(title)
    for name in sorted({name for _, name in best}):
        wide, narrow = best["avx512", name], best["avx2", name]
        print(f"    {name:42s} {wide * 1e3:8.3f} ms {narrow * 1e3:8.3f} ms   x {narrow / wide:5.2f}")



def main():
    from geokern_tools import _native
    if _native.build_info()["vector_path"] != "avx512":
        print("this processor runs the AVX2 build only; nothing to compare")
        return
    print(f"AVX-512 time, AVX2 time, AVX2 / AVX-512; best of {ROUNDS} runs each "
          f"(load average {os.getloadavg()[0]:.2f})")
    for n, number in ((2_000_000, 1), (16_384, 100)):
        for label, threads in (("1 thread", {"OMP_NUM_THREADS": "1"}), ("all threads", {})):
            report(f"{n} points, {label}", best_of_rounds(threads, n, number))


if __name__ == "__main__":
    main()
