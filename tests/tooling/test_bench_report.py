"""The benchmark report's table builder, on made-up rows (nothing is timed)."""

import json
import sys

import pytest

from shared import checkout

sys.path.insert(0, str(checkout() / "bench"))
import bench_memory  # noqa: E402
import report_table  # noqa: E402

MiB = 1 << 20


def row(function, ours, peers, copy=None, note="", floor=None):
    return {"function": function, "ours": ours, "peers": peers, "copy": copy, "note": note,
            "floor": floor}


def memory(function, result, rss, traced, interface=0):
    return bench_memory.judge({"function": function, "n": 10, "result": result * MiB,
                               "interface": interface * MiB, "rss_extra": rss * MiB,
                               "traced_extra": traced * MiB})


def test_targets_are_judged_and_every_output_carries_them(tmp_path):
    report = report_table.build(
        [row("geodetic2ecef_fast_array", 0.010,
             {"pyproj 4979->4978": 0.160, "pymap3d.geodetic2ecef": 0.5}, copy=0.008),
         row("ecef2geodetic_nparray_cy", 0.040, {"pyproj 4978->4979": 0.200}, copy=0.008),
         row("geodetic2ecef_cpp", 1e-7, {"pyproj Transformer.transform": 4e-7}, note="per call",
             floor=4e-8)],
        {"geodetic2ecef_fast_array": {"one": 0.02, "all": 0.01, "busy_one": 0.02,
                                      "busy_all": 0.03}},
        [memory("geodetic2ecef_fast_array", 229, 229, 229),
         # The np.dot product is the interface's own; native scratch shows in RSS only.
         memory("ecef2geodetic_nparray_cy", 229, 459, 458, interface=229),
         memory("expand_crease_normals_mesh_cy", 50, 115, 50)])
    judged = [(t["function"], t["target"], round(t["value"], 2), t["met"])
              for t in report["targets"]]
    # Peers without a target (pymap3d) and scalar rows add no targets.
    assert sorted(judged) == sorted([
        ("geodetic2ecef_fast_array", ">= 15.0x pyproj 4979->4978", 16.0, True),
        ("geodetic2ecef_fast_array", "<= 1.5x a copy", 1.25, True),
        ("ecef2geodetic_nparray_cy", ">= 8.0x pyproj 4978->4979", 5.0, False),
        *[(t["function"], t["target"], round(t["value"], 2), t["met"])
          for t in report["targets"] if "faster" in t["target"] or "busy" in t["target"]
          or "memory" in t["target"]]])
    assert [(t["value"], t["met"]) for t in report["targets"] if "faster" in t["target"]] == [
        (2.0, True)]
    assert [(t["value"], t["met"]) for t in report["targets"] if "busy" in t["target"]] == [
        (1.5, False)]
    assert [(round(t["value"]), t["met"]) for t in report["targets"]
            if "memory" in t["target"]] == [(0, True), (1, True), (65, False)]
    text = report_table.format_text(report)
    for line in ("16.00x (>= 15: met)", "5.00x (>= 8: NOT MET)", "targets: 5 of 8 met",
                 "65.0  (<= 16: NOT MET)", "2.50x empty function"):
        assert line in text
    report_table.write_json(report, tmp_path / "r.json", cpus=2)
    data = json.loads((tmp_path / "r.json").read_text())
    assert data["cpus"] == 2 and data["rows"] == json.loads(json.dumps(report["rows"]))
    pytest.importorskip("matplotlib")
    report_table.plot(report, tmp_path / "r.png")
    assert (tmp_path / "r.png").read_bytes()[:4] == b"\x89PNG"
