import os
import shutil
import subprocess
import sys


def geokern_command():
    return shutil.which("geokern") or os.path.join(os.path.dirname(sys.executable), "geokern")


def run_geokern(*args, stdin=None, env=None, cwd=None, **popen):
    """Runs the installed `geokern` command; returns the completed process
    (stdout as bytes, stderr as text)."""
    full_env = dict(os.environ, **(env or {}))
    proc = subprocess.run([geokern_command(), *map(str, args)], input=stdin, capture_output=True,
                          env=full_env, cwd=cwd, timeout=120, **popen)
    proc.stderr = proc.stderr.decode("utf-8", "replace")
    return proc


def start_geokern(*args, **popen):
    """Starts the `geokern` command (stderr piped); returns the Popen."""
    popen.setdefault("stderr", subprocess.PIPE)
    return subprocess.Popen([geokern_command(), *map(str, args)], **popen)


def temporaries(folder):
    """Names the output helper's temporaries and locks in `folder`."""
    return sorted(name for name in os.listdir(folder) if ".geokern-" in name)
