"""Throwaway Wine prefixes for running the Windows build on Linux.

Creating a prefix takes seconds, so one template per Windows version is made
once under ROLEKIT_WINE_TEMPLATES and every run works in a copy of it, with
the recording dism.exe stand-in in its system32 and a wineserver kept alive
for the length of the run.

As a command: "winebox.py run [--windows VERSION] PROGRAM [ARGS...]" runs one
program in a fresh prefix and exits with its exit code (low 8 bits only);
"winebox.py demo ..." runs rolekit.exe once and shows what it launched.
"""

import argparse
import contextlib
import fcntl
import os
import shutil
import subprocess
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path

AEDEBUG = r"HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug"


def wine_env(prefix):
    env = {k: v for k, v in os.environ.items() if k != "DISPLAY" and not k.startswith("WAYLAND")}
    env.update(
        WINEPREFIX=str(prefix),
        WINEDEBUG="-all",
        # No Mono or Gecko installers, and our own dism.exe instead of Wine's stub.
        WINEDLLOVERRIDES="mscoree,mshtml=;dism.exe=n",
    )
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


@dataclass
class Run:
    """One run of a program under test: its output, exit code and the dism.exe launches it made."""

    stdout: bytes
    stderr: bytes
    code: int
    code_page: int  # the ANSI code page the program ran under
    launches: list
    parent: int  # report_exit.exe's own exit code; not 0 when it could not run the program


def read_launches(log):
    """The stand-in's records: dicts of image, command and directory."""
    if not log.exists():
        return []
    lines = log.read_text(encoding="utf-8").splitlines()
    return [dict(line.split("=", 1) for line in lines[i:i + 3]) for i in range(0, len(lines), 3)]


def run_program(env, report_exit, program, arguments, tool_exit, scratch, cwd, **extra):
    """Runs program with the command-line tail arguments (verbatim; None for
    none) from report_exit.exe, with the stand-in set to exit with tool_exit;
    extra adds to the environment (the stand-in's and report_exit's switches,
    a locale). Its records and the exit code go to files named from scratch."""
    log, result = Path(f"{scratch}.dism.log"), Path(f"{scratch}.exit")
    command = f'"{windows_path(program)}"' + ("" if arguments is None else " " + arguments)
    env = dict(env, ROLEKIT_TEST_COMMAND=command, ROLEKIT_STANDIN_LOG=windows_path(log),
               ROLEKIT_STANDIN_EXIT=str(tool_exit), **extra)
    parent = subprocess.run(["wine", str(Path(report_exit).resolve()), windows_path(result)], env=env,
                            capture_output=True, cwd=cwd, timeout=600)
    code, code_page = map(int, result.read_text().split()) if result.exists() else (None, None)
    return Run(parent.stdout, parent.stderr, code, code_page, read_launches(log), parent.returncode)


def quote(argument):
    """One argument as the Windows runtime will read it back (no embedded quotes expected)."""
    return f'"{argument}"' if argument == "" or any(c in argument for c in " \t") else argument


def demo(options):
    templates = Path(options.rolekit).resolve().parent / "wine-templates"
    os.environ.setdefault("ROLEKIT_WINE_TEMPLATES", str(templates))
    arguments = " ".join(quote(a) for a in options.products) if options.products else None
    print(f"rolekit.exe {arguments or ''} on a Wine prefix reporting {options.windows}")
    with prefix(options.windows, options.standin) as (path, env):
        run = run_program(env, options.report_exit, options.rolekit, arguments, options.tool_exit,
                          path / "demo", path)
    sys.stdout.write(run.stdout.decode("ascii", "replace"))
    if run.parent != 0:
        print(f"report_exit.exe could not run rolekit.exe ({run.parent}): {run.stderr!r}")
        return 1
    for launch in run.launches:
        image = launch["image"]
        parameters = launch["command"].removeprefix('"' + image + '" ')
        print(f"launched:   {image}")
        print(f"parameters: {parameters}")
        print(f"directory:  {launch['directory']}")
    if not run.launches:
        print("launched:   nothing")
    print(f"exit code:  {run.code} (0x{run.code:08X})")
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="command", required=True)
    run = sub.add_parser("run", help="run one program in a throwaway prefix")
    run.add_argument("--windows", default="win10")
    run.add_argument("program")
    run.add_argument("args", nargs=argparse.REMAINDER)
    show = sub.add_parser("demo", help="run rolekit.exe once and show what it launched")
    show.add_argument("--windows", default="win10")
    show.add_argument("--tool-exit", type=lambda text: int(text, 0), default=0)
    for option in ("--rolekit", "--standin", "--report-exit"):
        show.add_argument(option, required=True)
    show.add_argument("products", nargs="*")
    options = parser.parse_args()
    if options.command == "demo":
        return demo(options)
    with prefix(options.windows, os.environ.get("ROLEKIT_STANDIN")) as (_, env):
        return subprocess.run(["wine", options.program, *options.args], env=env).returncode


if __name__ == "__main__":
    sys.exit(main())
