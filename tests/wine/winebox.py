"""Throwaway Wine prefixes for running the Windows build on Linux.

Creating a prefix takes seconds, so one template per Windows edition is made
once under ROLEKIT_WINE_TEMPLATES and every run works in a copy of it, with
the recording dism.exe stand-in in its system32, told the features that
edition has with their parents, and what a new installation of it has
enabled, and a wineserver kept alive for the length of the run.

As a command: "winebox.py run [--edition EDITION] PROGRAM [ARGS...]" runs one
program in a fresh prefix and exits with its exit code (low 8 bits only);
"winebox.py demo ..." runs rolekit.exe once and shows what it launched.
"""

import argparse
import contextlib
import fcntl
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path

AEDEBUG = r"HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug"
PRODUCT_OPTIONS = r"HKLM\System\CurrentControlSet\Control\ProductOptions"
WINE_DEBUG = r"HKCU\Software\Wine\Debug"

# The platform calls a traced run reports, each with the positions of the
# arguments that matter (not buffers, which move from run to run); the launch
# comes from the shell's own trace of the record it was given.
RELAYED = {"MultiByteToWideChar": (0, 1), "VerifyVersionInfoW": (1, 2), "SHGetFolderPathW": (0, 1, 2, 3),
           "WaitForSingleObject": (0, 1), "GetExitCodeProcess": (0,), "CloseHandle": (0,)}
HANDLES = {"WaitForSingleObject", "GetExitCodeProcess", "CloseHandle"}
TRACE = "+pid,+loaddll,+relay,trace+exec"
TRACE_LINE = re.compile(rb"^([0-9a-f]+:[0-9a-f]+):(.*)$")

# The Windows editions a prefix can stand for, named as the columns of
# windows-features/features.tsv: the version winecfg sets, and whether it is
# a server (its product type is then made a server's, and its features have
# a server's parents).
EDITIONS = {
    "windows-10-11": ("win10", False),
    "windows-8.1": ("win81", False),
    "windows-7": ("win7", False),
    "server-2016-and-later": ("win10", True),
    "server-2012-r2": ("win81", True),
    "server-2008-r2": ("win2008r2", True),
}
TABLES = Path(__file__).resolve().parent / "windows-features"
# Debian's 32-bit Wine loader (wine32:i386), without which no 32-bit program runs.
WINE32 = Path("/usr/lib/wine/wine")
# Where in a prefix the stand-in finds the edition's features, and keeps what is enabled.
STANDIN_FILES = {"ROLEKIT_STANDIN_FEATURES": "standin/features.txt", "ROLEKIT_STANDIN_ENABLED": "standin/enabled.txt"}


def _rows(table):
    lines = [line.split("\t") for line in (TABLES / table).read_text().splitlines()]
    return [dict(zip(lines[0], line)) for line in lines[1:]]


def edition_features(edition):
    """{name: its parent features} of every optional feature the edition has."""
    names = {row["name"] for row in _rows("features.tsv") if row[edition] == "1"}
    column = "parents-server" if EDITIONS[edition][1] else "parents-client"
    return {row["name"]: [] if row[column] == "-" else row[column].split()
            for row in _rows("parents.tsv") if row["name"] in names}


def new_machine(path, edition):
    """Gives the stand-in of the prefix at path the edition's features and
    what a new installation of it has enabled, and nothing more."""
    files = {variable: path / "drive_c" / name for variable, name in STANDIN_FILES.items()}
    files["ROLEKIT_STANDIN_FEATURES"].parent.mkdir(exist_ok=True)
    files["ROLEKIT_STANDIN_FEATURES"].write_text(
        "".join(f"{name}\t{' '.join(parents)}\n" for name, parents in edition_features(edition).items()))
    files["ROLEKIT_STANDIN_ENABLED"].write_text(
        "".join(f"{row['name']}\n" for row in _rows("parents.tsv") if edition in row["enabled-when-new"].split()))


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


def wine_packages():
    """Which Wine packages are installed, at which versions. A prefix made
    before 32-bit Wine was installed no longer starts once it is, so a
    template records this and is made again when it changes."""
    return subprocess.run(["dpkg-query", "-W", "wine*", "libwine*"], capture_output=True, text=True).stdout


def _made(path, arch, make):
    """The prefix at path, made by make(env) on first use, under a lock, and
    made again when the Wine packages change. On a loaded machine one of
    Wine's own steps has been seen to fail (a reg add answering 1): the
    prefix is then made again from scratch."""
    packages = wine_packages()
    with open(f"{path}.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        for attempt in (1, 2, 3):
            if (path / ".ready").exists() and (path / ".ready").read_text() == packages:
                break
            shutil.rmtree(path, ignore_errors=True)
            env = dict(wine_env(path), WINEARCH=arch)
            try:
                make(env)
                _quiet(["wineserver", "-w"], env)
                (path / ".ready").write_text(packages)
            except subprocess.CalledProcessError:
                for stop in ("-k", "-w"):
                    subprocess.run(["wineserver", stop], env=env, stderr=subprocess.DEVNULL)
                if attempt == 3:
                    raise
    return path


def template(edition, arch="win64"):
    """The template prefix for a Windows edition (a key of EDITIONS), 64-bit
    or with arch "win32" 32-bit, made on first use from a new prefix, which
    wineboot takes the longest to make and is made once for all editions."""
    version, server = EDITIONS[edition]
    root = Path(os.environ.get("ROLEKIT_WINE_TEMPLATES", Path(tempfile.gettempdir()) / "rolekit-wine-templates"))
    root.mkdir(parents=True, exist_ok=True)
    # A 32-bit prefix has one registry view; a 64-bit program's keys are in the 64-bit one.
    view = ["/reg:64"] if arch == "win64" else []

    def new(env):
        _quiet(["wineboot", "-i"], env)
        # A crash must show as an exit code, not as a debugger's dump on stdout.
        _quiet(["wine", "reg", "add", AEDEBUG, "/v", "Debugger", "/t", "REG_SZ", "/d", "", "/f", *view],
               env)
        # Relay tracing, when a run asks for it, reports only these calls.
        _quiet(["wine", "reg", "add", WINE_DEBUG, "/v", "RelayInclude", "/t", "REG_SZ",
                "/d", ";".join(RELAYED), "/f"], env)

    def edition_of_new(env):
        subprocess.run(["cp", "-a", str(_made(root / f"new-{arch}", arch, new)), env["WINEPREFIX"]], check=True)
        _quiet(["winecfg", "-v", version], env)
        if server:
            _quiet(["wine", "reg", "add", PRODUCT_OPTIONS, "/v", "ProductType", "/t", "REG_SZ", "/d", "ServerNT",
                    "/f", *view], env)

    return _made(root / (edition if arch == "win64" else f"{edition}-{arch}"), arch, edition_of_new)


@contextlib.contextmanager
def prefix(edition="windows-10-11", standin=None, arch="win64"):
    """A fresh copy of the edition's template; yields (prefix path, environment)."""
    work = Path(tempfile.mkdtemp(prefix="rolekit-wine-"))
    path = work / "prefix"
    subprocess.run(["cp", "-a", str(template(edition, arch)), str(path)], check=True)
    if standin:
        shutil.copyfile(standin, path / "drive_c/windows/system32/dism.exe")
    new_machine(path, edition)
    env = dict(wine_env(path), **{variable: "C:\\" + name.replace("/", "\\")
                                  for variable, name in STANDIN_FILES.items()})
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
    calls: list  # with trace: the platform calls the program made, as platform_calls gives them


def _value(text):
    """A traced argument: a number as hex, wide text as itself."""
    text = text.strip()
    if text.startswith('L"'):
        return text[2:-1].replace("\\\\", "\\")
    return hex(int(text.split()[0], 16))


def platform_calls(trace, image_size):
    """The calls that the traced program's main thread made from its own image,
    in order, as "Function(argument,...)"; process handles read h1, h2, ... in
    order of first use. Wine's first line is the program's own image loading."""
    lines = [TRACE_LINE.match(line) for line in trace]
    thread = lines[0][1]
    base = int(re.search(rb"\" at ([0-9A-Fa-f]+): ", lines[0][2])[1], 16)
    calls, handles = [], {}
    for line in (line for line in lines if line[1] == thread):
        text = line[2].decode("utf-8", "replace")
        call = re.match(r"Call \w+\.(\w+)\((.*)\) ret=([0-9a-f]+)$", text)
        launch = re.match(r"trace:exec:SHELL_execute mask=(\S+) hwnd=(\S+) verb=(.*) file=(.*) parm=.* "
                          r"dir=(.*) show=(\S+) class=", text)
        if call and call[1] in RELAYED and base <= int(call[3], 16) < base + image_size:
            given = call[2].split(",")
            arguments = [_value(given[i]) for i in RELAYED[call[1]]]
            if call[1] in HANDLES:
                arguments[0] = handles.setdefault(arguments[0], f"h{len(handles) + 1}")
            calls.append(f"{call[1]}({','.join(arguments)})")
        elif launch:
            names = ("mask", "hwnd", "verb", "file", "dir", "show")
            calls.append(f"ShellExecuteExW({','.join(f'{n}={_value(v)}' for n, v in zip(names, launch.groups()))})")
    return calls


def image_size(program):
    """SizeOfImage from the PE header: how far the loaded image reaches."""
    data = Path(program).read_bytes()
    (pe,) = struct.unpack_from("<I", data, 0x3C)
    return struct.unpack_from("<I", data, pe + 24 + 56)[0]


def read_launches(log):
    """The stand-in's records: dicts of image, command, directory, show,
    unknown and left-off."""
    if not log.exists():
        return []
    lines = log.read_text(encoding="utf-8").splitlines()
    return [dict(line.split("=", 1) for line in lines[i:i + 6]) for i in range(0, len(lines), 6)]


def run_program(env, report_exit, program, arguments, tool_exit, scratch, cwd, trace=False, **extra):
    """Runs program with the command-line tail arguments (verbatim; None for
    none) from report_exit.exe, with the stand-in set to exit with tool_exit;
    extra adds to the environment (the stand-in's and report_exit's switches,
    a locale). Its records and the exit code go to files named from scratch.
    With trace, Wine traces the program, and its trace lines leave stderr for
    the run's calls."""
    if trace:
        extra["ROLEKIT_TEST_WINEDEBUG"] = TRACE
    log, result = Path(f"{scratch}.dism.log"), Path(f"{scratch}.exit")
    command = f'"{windows_path(program)}"' + ("" if arguments is None else " " + arguments)
    env = dict(env, ROLEKIT_TEST_COMMAND=command, ROLEKIT_STANDIN_LOG=windows_path(log),
               ROLEKIT_STANDIN_EXIT=str(tool_exit), **extra)
    parent = subprocess.run(["wine", str(Path(report_exit).resolve()), windows_path(result)], env=env,
                            capture_output=True, cwd=cwd, timeout=600)
    code, code_page = map(int, result.read_text().split()) if result.exists() else (None, None)
    stderr, calls = parent.stderr, None
    if trace:
        lines = stderr.splitlines(keepends=True)
        calls = platform_calls([line for line in lines if TRACE_LINE.match(line)], image_size(program))
        stderr = b"".join(line for line in lines if not TRACE_LINE.match(line))
    return Run(parent.stdout, stderr, code, code_page, read_launches(log), parent.returncode, calls)


def quote(argument):
    """One argument as the Windows runtime will read it back (no embedded quotes expected)."""
    return f'"{argument}"' if argument == "" or any(c in argument for c in " \t") else argument


def demo(options):
    templates = Path(options.rolekit).resolve().parent / "wine-templates"
    os.environ.setdefault("ROLEKIT_WINE_TEMPLATES", str(templates))
    arguments = " ".join(quote(a) for a in options.products) if options.products else None
    print(f"rolekit.exe {arguments or ''} on a Wine prefix standing for {options.edition}")
    with prefix(options.edition, options.standin) as (path, env):
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
        print(f"window:     {'hidden' if launch['show'] == '0' else launch['show']}")
        if launch["unknown"]:
            print(f"refused:    unknown to this edition: {launch['unknown']}")
        for feature in launch["left-off"].split():
            name, parents = feature.split(":")
            print(f"left off:   {name}, whose parents {parents.replace(',', ' ')} are neither enabled nor named")
    if not run.launches:
        print("launched:   nothing")
    print(f"exit code:  {run.code} (0x{run.code:08X})")
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="command", required=True)
    run = sub.add_parser("run", help="run one program in a throwaway prefix")
    run.add_argument("--edition", choices=EDITIONS, default="windows-10-11")
    run.add_argument("program")
    run.add_argument("args", nargs=argparse.REMAINDER)
    show = sub.add_parser("demo", help="run rolekit.exe once and show what it launched")
    show.add_argument("--edition", choices=EDITIONS, default="windows-10-11")
    show.add_argument("--tool-exit", type=lambda text: int(text, 0), default=0)
    for option in ("--rolekit", "--standin", "--report-exit"):
        show.add_argument(option, required=True)
    show.add_argument("products", nargs="*")
    options = parser.parse_args()
    if options.command == "demo":
        return demo(options)
    with prefix(options.edition, os.environ.get("ROLEKIT_STANDIN")) as (_, env):
        return subprocess.run(["wine", options.program, *options.args], env=env).returncode


if __name__ == "__main__":
    sys.exit(main())
