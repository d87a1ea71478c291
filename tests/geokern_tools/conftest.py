import os
import shutil
import subprocess
import sys



def run_geokern(*args, stdin=None, env=None, cwd=None):
    """Runs the installed `geokern` command; returns the completed process
    (stdout as bytes, stderr as text)."""
    command = shutil.which("geokern") or os.path.join(os.path.dirname(sys.executable), "geokern")
    full_env = dict(os.environ, **(env or {}))
    proc = subprocess.run([command, *map(str, args)], input=stdin, capture_output=True,
                          env=full_env, cwd=cwd, timeout=120)
    proc.stderr = proc.stderr.decode("utf-8", "replace")
    return proc

