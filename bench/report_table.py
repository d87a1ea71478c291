"""The benchmark report's table: measured rows and thread timings in, the
targets judged, and the same figures out as text, JSON and a bar chart.

A row is what timing.row() makes: {"function", "ours", "peers": {name:
seconds}, "copy", "note", "floor"}; a scalar entry point's "floor" is the
time of the empty function with its argument count, and the table gives
ours as a multiple of it where a batch gets ours as a multiple of a copy.
Thread timings map a parallel batch to its best times {"one", "all",
"busy_one", "busy_all"}: OMP_NUM_THREADS=1 and the default thread count,
on a quiet machine and with one core kept busy.  Memory lines are what
bench_memory.rows() makes: each batch's peak extra memory (RSS and
tracemalloc) against its result, judged there against a bound.
"""
import json

# Peer ratios (peer time / ours) to reach: (function, start of the peer's
# name, least ratio).  The ECEF -> geodetic batches include their np.dot.
PEER_TARGETS = [
    ("ecef2geodetic_nparray_cy", "pyproj", 8.0),
    ("ecef2geodetic_list_cy", "pyproj", 8.0),
    ("geodetic2ecef_fast_array", "pyproj", 15.0),
    ("geodetic_to_web_mercator_fast_array", "pyproj", 15.0),
    ("web_mercator_to_geodetic_fast_array", "pyproj", 15.0),
    ("web_mercator_to_ecef_fast_array", "pyproj", 15.0),
    ("generate_obb_2d_from_obj_file", "trimesh.load", 20.0),
    ("calculate_smooth_normals_cy", "open3d", 2.0),
    ("expand_crease_normals_mesh_cy", "trimesh", 60.0),
    ("convert(GeoDataFrame, dst='ecef')", "GeoDataFrame.to_crs", 5.0),
    ("convert(GeoDataFrame, dst=3857)", "GeoDataFrame.to_crs", 3.0),
    ("geokern convert GeoParquet", "GeoPandas", 5.0),
    # Quoted text columns cost the command at most 1.3 times the time.
    ("geokern convert", "geokern, the CSV unquoted", round(1 / 1.3, 2)),
    ("local_to_ecef", "pymap3d", 3.0),
    ("local_to_geodetic", "pymap3d", 3.0),
    ("ecef_to_local", "pymap3d", 3.0),
    ("geodetic_to_local", "pymap3d", 3.0),
    ("geokern normals OBJ to GLB", "obj2gltf", 10.0),
    # The "peer" is the time the goal of 1 000 buildings per second allows.
    ("geokern tiles, 1 core", "goal", 1.0),
    ("geokern tiles, 2 cores", "goal", 1.0),
]
# Our time as a multiple of a plain copy of the input, at most.
COPY_TARGETS = {name: 1.5 for name in (
    "geodetic2ecef_fast_array", "geodetic_to_web_mercator_fast_array",
    "web_mercator_to_geodetic_fast_array", "web_mercator_to_ecef_fast_array")}
# Time on one thread / time on all threads, at least (two cores).
THREAD_SPEEDUP = 1.8
MiB = 1 << 20


def _verdict(met):
    return "met" if met else "NOT MET"


def _peer_target(function, peer):
    for name, prefix, least in PEER_TARGETS:
        if name == function and peer.startswith(prefix):
            return least
    return None


def build(rows, threads, memory=()):
    """The report as one JSON-ready dict: table lines, thread lines, memory
    lines and every target with its measured value and verdict."""
    lines, targets = [], []
    for r in rows:
        copy_multiple = r["ours"] / r["copy"] if r["copy"] else None
        floor_multiple = r["ours"] / r["floor"] if r.get("floor") else None
        most_copy = COPY_TARGETS.get(r["function"])
        if most_copy is not None and copy_multiple is not None:
            targets.append({"function": r["function"], "target": f"<= {most_copy}x a copy",
                            "value": copy_multiple, "met": copy_multiple <= most_copy})
        for i, (peer, seconds) in enumerate(r["peers"].items() or [(None, None)]):
            ratio = seconds / r["ours"] if seconds else None
            least = _peer_target(r["function"], peer) if peer else None
            if least is not None:
                targets.append({"function": r["function"], "target": f">= {least}x {peer}",
                                "value": ratio, "met": ratio >= least})
            lines.append({"function": r["function"], "note": r["note"], "peer": peer,
                          "peer_s": seconds, "ours_s": r["ours"], "ratio": ratio,
                          "copy_multiple": copy_multiple if i == 0 else None,
                          "floor_multiple": floor_multiple if i == 0 else None,
                          "peer_target": least,
                          "copy_target": most_copy if i == 0 and copy_multiple else None})
    thread_lines = []
    for function, t in threads.items():
        speedup = t["one"] / t["all"]
        busy = t["busy_all"] / t["busy_one"]
        targets.append({"function": function, "target": f">= {THREAD_SPEEDUP}x faster on all "
                        "threads than on one", "value": speedup, "met": speedup >= THREAD_SPEEDUP})
        targets.append({"function": function, "target": "one core busy: all threads no slower "
                        "than one", "value": busy, "met": busy <= 1.0})
        thread_lines.append({"function": function, **t, "speedup": speedup,
                             "busy_all_over_one": busy})
    for m in memory:
        targets.append({"function": m["function"], "target": "peak extra memory <= result "
                        f"+ interface temporaries + {m['bound'] / MiB:g} MiB",
                        "value": m["over_result"] / MiB, "met": m["met"]})
    return {"rows": lines, "threads": thread_lines, "memory": list(memory), "targets": targets}


def _time(seconds):
    if seconds is None:
        return ""
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.1f} ms"
    if seconds >= 1e-6:
        return f"{seconds * 1e6:.2f} us"
    return f"{seconds * 1e9:.0f} ns"


def _times(value, target, met):
    if value is None:
        return ""
    text = f"{value:.2f}x"
    return f"{text} ({target}: {_verdict(met)})" if target is not None else text


def format_text(report):
    """The report as plain-text tables."""
    def title(line):
        return line["function"] + (f" ({line['note']})" if line["note"] else "")

    width = max([len(title(line)) for line in report["rows"]] + [38])
    out = [f"{'function':<{width}} {'peer':<33} {'peer':>10} {'ours':>10} "
           f"{'peer/ours':<24} ours/copy (batch) or /empty function (scalar)"]
    last = None
    for line in report["rows"]:
        name = title(line)
        ratio, copy = line["ratio"], line["copy_multiple"]
        peer_cell = _times(ratio, line["peer_target"] and f">= {line['peer_target']:g}",
                           ratio is not None and line["peer_target"] is not None
                           and ratio >= line["peer_target"])
        copy_cell = _times(copy, line["copy_target"] and f"<= {line['copy_target']:g}",
                           copy is not None and line["copy_target"] is not None
                           and copy <= line["copy_target"])
        if line.get("floor_multiple") is not None:
            copy_cell = f"{line['floor_multiple']:.2f}x empty function"
        out.append(f"{name if name != last else '':<{width}} {line['peer'] or '':<33} "
                   f"{_time(line['peer_s']):>10} {_time(line['ours_s']):>10} "
                   f"{peer_cell:<24} {copy_cell}")
        last = name
    if report["threads"]:
        out += ["", f"{'parallel batch':<{width}} {'1 thread':>10} {'all':>10} {'speed-up':<22} "
                f"{'busy: 1':>10} {'busy: all':>10} busy all/1"]
        for t in report["threads"]:
            speed = f"{t['speedup']:.2f}x ({_verdict(t['speedup'] >= THREAD_SPEEDUP)})"
            busy = f"{t['busy_all_over_one']:.2f} ({_verdict(t['busy_all_over_one'] <= 1.0)})"
            out.append(f"{t['function']:<{width}} {_time(t['one']):>10} {_time(t['all']):>10} "
                       f"{speed:<22} {_time(t['busy_one']):>10} {_time(t['busy_all']):>10} "
                       f"{busy}")
    if report.get("memory"):
        out += ["", format_memory(report["memory"], width)]
    met = sum(t["met"] for t in report["targets"])
    out += ["", f"targets: {met} of {len(report['targets'])} met"]
    out += [f"  NOT MET  {t['function']}: {t['target']} (measured {t['value']:.2f})"
            for t in report["targets"] if not t["met"]]
    return "\n".join(out)


def format_memory(memory, width=40):
    """The memory lines (bench_memory) as a plain-text table, in MiB."""
    out = [f"{'peak extra memory, MiB':<{width}} {'input':>10} {'result':>8} {'interface':>9} "
           f"{'RSS':>8} {'traced':>8} {'over':>7}  (over: the larger peak - result - interface)"]
    for m in memory:
        out.append(f"{m['function']:<{width}} {m['n']:>10} {m['result'] / MiB:>8.1f} "
                   f"{m['interface'] / MiB:>9.1f} {m['rss_extra'] / MiB:>8.1f} "
                   f"{m['traced_extra'] / MiB:>8.1f} {m['over_result'] / MiB:>7.1f}  "
                   f"(<= {m['bound'] / MiB:g}: {_verdict(m['met'])})")
    return "\n".join(out)


def write_json(report, path, **context):
    """Writes the report, with `context` (machine, version, date) beside it."""
    with open(path, "w") as f:
        json.dump({**context, **report}, f, indent=1)


def plot(report, path):
    """A bar chart: peer/ours for every (function, peer) on a log scale, and
    the thread figures, targets drawn as marks."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    bars = [line for line in report["rows"] if line["ratio"]]
    threads = report["threads"]
    fig, (top, bottom) = plt.subplots(
        2, 1, figsize=(11, 0.28 * (len(bars) + 2 * len(threads)) + 3),
        gridspec_kw={"height_ratios": [max(len(bars), 1), max(2 * len(threads), 1)]})
    labels = [f"{b['function']} ({b['note']}) vs {b['peer']}" if b["note"]
              else f"{b['function']} vs {b['peer']}" for b in bars]
    colours = ["tab:grey" if b["peer_target"] is None else
               "tab:green" if b["ratio"] >= b["peer_target"] else "tab:red" for b in bars]
    top.barh(range(len(bars)), [b["ratio"] for b in bars], color=colours)
    for i, b in enumerate(bars):
        if b["peer_target"] is not None:
            top.plot([b["peer_target"]] * 2, [i - 0.4, i + 0.4], color="black")
    top.set_yticks(range(len(bars)), labels, fontsize=7)
    top.set_xscale("log")
    top.axvline(1.0, color="grey", linewidth=0.5)
    top.invert_yaxis()
    top.set_xlabel("peer time / geokern time (black marks: targets)")
    names = [t["function"] for t in threads]
    at = range(len(threads))
    bottom.barh([2 * i for i in at], [t["speedup"] for t in threads], color="tab:blue",
                label="quiet: 1 thread / all threads (target 1.8)")
    bottom.barh([2 * i + 1 for i in at], [t["busy_one"] / t["busy_all"] for t in threads],
                color="tab:orange", label="one core busy: 1 thread / all threads (target 1)")
    most = max([t["speedup"] for t in threads] + [t["busy_one"] / t["busy_all"] for t in threads]
               + [THREAD_SPEEDUP])
    bottom.set_xlim(0, most * 1.1)
    bottom.axvline(THREAD_SPEEDUP, color="tab:blue", linestyle="--", linewidth=0.8)
    bottom.axvline(1.0, color="tab:orange", linestyle="--", linewidth=0.8)
    bottom.set_yticks([2 * i + 0.5 for i in at], names, fontsize=7)
    bottom.invert_yaxis()
    bottom.set_xlabel("speed-up of the default thread count over OMP_NUM_THREADS=1")
    bottom.legend(fontsize=7, loc="lower right")
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)
