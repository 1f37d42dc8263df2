"""Throwaway Wine prefixes for running the Windows build on Linux.

Creating a prefix takes seconds, so one template per Windows version is made
once under ROLEKIT_WINE_TEMPLATES and every run works in a copy of it, with
the recording dism.exe stand-in in its system32 and a wineserver kept alive
for the length of the run.

As a command: winebox.py run [--windows VERSION] PROGRAM [ARGS...] runs one
program in a fresh prefix and exits with its exit code (low 8 bits only).
"""

import argparse
import contextlib
import fcntl
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

AEDEBUG = r"HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug"


def wine_env(prefix, extra=None):
    env = {k: v for k, v in os.environ.items() if k != "DISPLAY" and not k.startswith("WAYLAND")}
    env.update(
        WINEPREFIX=str(prefix),
        WINEDEBUG="-all",
        # No Mono or Gecko installers, and our own dism.exe instead of Wine's stub.
        WINEDLLOVERRIDES="mscoree,mshtml=;dism.exe=n",
    )
    env.update(extra or {})
    return env


def windows_path(path):
    """The Windows name of a Unix path, through Wine's Z: drive."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def _quiet(args, env):
    subprocess.run(args, env=env, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def template(version):
    """The template prefix for a Windows version ("win10", "win7", ...), made on first use."""
    root = Path(os.environ.get("ROLEKIT_WINE_TEMPLATES", Path(tempfile.gettempdir()) / "rolekit-wine-templates"))
    root.mkdir(parents=True, exist_ok=True)
    path = root / version
    with open(root / f"{version}.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not (path / ".ready").exists():
            shutil.rmtree(path, ignore_errors=True)
            env = wine_env(path)
            _quiet(["wineboot", "-i"], env)
            _quiet(["winecfg", "-v", version], env)
            # A crash must show as an exit code, not as a debugger's dump on stdout.
            _quiet(["wine", "reg", "add", AEDEBUG, "/v", "Debugger", "/t", "REG_SZ", "/d", "", "/f"], env)
            _quiet(["wineserver", "-w"], env)
            (path / ".ready").touch()
    return path


@contextlib.contextmanager
def prefix(version="win10", standin=None):
    """A fresh copy of the version's template; yields (prefix path, environment)."""
    work = Path(tempfile.mkdtemp(prefix="rolekit-wine-"))
    path = work / "prefix"
    subprocess.run(["cp", "-a", str(template(version)), str(path)], check=True)
    if standin:
        shutil.copyfile(standin, path / "drive_c/windows/system32/dism.exe")
    env = wine_env(path)
    # Start the server and the prefix's services now, away from the caller's
    # pipes: whatever they inherit stays open until the prefix is shut down.
    _quiet(["wineserver", "-p"], env)
    _quiet(["wine", "cmd", "/c", "exit"], env)
    try:
        yield path, env
    finally:
        subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        shutil.rmtree(work, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="command", required=True)
    run = sub.add_parser("run", help="run one program in a throwaway prefix")
    run.add_argument("--windows", default="win10")
    run.add_argument("program")
    run.add_argument("args", nargs=argparse.REMAINDER)
    options = parser.parse_args()
    with prefix(options.windows, os.environ.get("ROLEKIT_STANDIN")) as (_, env):
        return subprocess.run(["wine", options.program, *options.args], env=env).returncode


if __name__ == "__main__":
    sys.exit(main())
