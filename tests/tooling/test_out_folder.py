"""`tools/bench --report --out DIR` and `tools/demo --out DIR`: the folder is
taken from the caller's folder, created, and bound into the build root, whose
paths are shown as the host's (tools/env.sh; nothing is run in a root here)."""

import subprocess

import pytest

from shared import checkout

ENV = checkout() / "tools" / "env.sh"
SCRIPT = f"""
source {ENV}
gk_out_folder "$@"
printf '%s\\n' "${{GK_OUT:-none}}" "${{GK_ARGS[*]}}"
printf 'wrote /mnt/report.json from /src/bench/report.py\\n' | gk_host_paths
"""


def out_folder(cwd, *args):
    return subprocess.run(["bash", "-c", SCRIPT, "bash", *args], cwd=cwd, capture_output=True,
                          text=True, timeout=60)


@pytest.mark.parametrize("args, folder, passed", [
    (["--report", "--out", "a b/c"], "a b/c", "--report --out /mnt"),
    (["--out=x&y", "-k"], "x&y", "--out /mnt -k"),
    (["--report"], None, "--report"),
])
def test_out_folder_is_the_callers_and_bound_at_mnt(tmp_path, args, folder, passed):
    result = out_folder(tmp_path, *args)
    assert result.returncode == 0, result.stderr
    shown, got_args, line = result.stdout.splitlines()
    checkout = ENV.parents[1]
    assert got_args == passed
    if folder is None:
        assert shown == "none"
        assert line == f"wrote /mnt/report.json from {checkout}/bench/report.py"
    else:
        assert shown == str(tmp_path / folder) and (tmp_path / folder).is_dir()
        assert line == f"wrote {tmp_path / folder}/report.json from {checkout}/bench/report.py"


@pytest.mark.parametrize("args, status, message", [
    (["--out"], 2, "tools: --out needs a folder"),
    (["--out="], 2, "tools: --out needs a folder"),
    (["--out", "file/sub"], 1, "tools: cannot write into the folder file/sub"),
])
def test_out_folder_refused_clearly(tmp_path, args, status, message):
    (tmp_path / "file").write_text("")
    result = out_folder(tmp_path, *args)
    assert (result.returncode, result.stderr.strip()) == (status, message)
