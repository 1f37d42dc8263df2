"""Throwaway Wine prefixes, each standing for one Windows edition.

Making a prefix takes seconds, so a template per edition (standin.editions())
is made once in the build folder's wine-templates/, and every run works in a
copy of it: the recording dism.exe stand-in in its system32, told the edition's
features, and a wineserver kept alive for as long as the copy is in use. A
template is renamed into place only once it is whole.
"""

import contextlib
import fcntl
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import relay
import standin
from launch import built, launch, step

AEDEBUG = r"HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug"
PRODUCT_OPTIONS = r"HKLM\System\CurrentControlSet\Control\ProductOptions"
# Where Windows says whether it has its desktop (editions.tsv gives each edition's values).
CURRENT_VERSION = r"HKLM\Software\Microsoft\Windows NT\CurrentVersion"
SERVER_LEVELS = CURRENT_VERSION + r"\Server\ServerLevels"
WINE_DEBUG = r"HKCU\Software\Wine\Debug"
MARKER = ".ready"
# Debian's 32-bit Wine loader (wine32:i386), without which no 32-bit program runs.
WINE32 = Path("/usr/lib/wine/wine")


def wine_env(prefix):
    # Wine's errors say why a start failed (launch() keeps them apart); no Mono
    # or Gecko installers, and our own dism.exe instead of Wine's stub.
    return dict({k: v for k, v in os.environ.items() if k != "DISPLAY" and not k.startswith("WAYLAND")},
                WINEPREFIX=str(prefix), WINEDEBUG="-all,err+all", WINEDLLOVERRIDES="mscoree,mshtml=;dism.exe=n")


def stop(env):
    """Ends the prefix's wineserver and everything it runs, and waits for that."""
    for how in ("-k", "-w"):
        subprocess.run(["wineserver", how], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def wine_packages():
    """Which Wine packages are installed, at which versions. A prefix made
    before 32-bit Wine was installed no longer starts once it is, so a
    template records this and is made again when it changes."""
    return subprocess.run(["dpkg-query", "-W", "wine*", "libwine*"], capture_output=True, text=True).stdout


def attempts(what, times, do, undo):
    """do() until it succeeds, at most times times, with undo() after each
    failure. On a loaded machine one of Wine's own steps has been seen to fail
    now and then (a reg add answering 1); each retry is said."""
    for attempt in range(1, times + 1):
        try:
            return do()
        except subprocess.CalledProcessError as error:
            undo()
            if attempt == times:
                raise
            print(f"rolekit tests: {what} failed ({error.stderr}): once more", file=sys.stderr)


def _made(path, arch, make, stamp=""):
    """The template at path, made by make(folder, env) on first use, under a
    lock, and made again when the Wine packages or the stamp (what the
    template is made from) change."""
    packages = wine_packages() + stamp
    with open(f"{path}.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if (path / MARKER).is_file() and (path / MARKER).read_text() == packages:
            return path
        shutil.rmtree(path, ignore_errors=True)
        work = path.with_name(f"{path.name}.making")

        def make_whole():
            shutil.rmtree(work, ignore_errors=True)
            work.mkdir()
            env = dict(wine_env(work), WINEARCH=arch)
            make(work, env)
            step(["wineserver", "-w"], env)
            (work / MARKER).write_text(packages)
            work.rename(path)

        def throw_away():
            stop(dict(wine_env(work)))
            shutil.rmtree(work, ignore_errors=True)

        attempts(f"making the Wine prefix {path.name}", 3, make_whole, throw_away)
    return path


def template(edition, arch="win64"):
    """The template prefix for an edition, 64-bit or with arch "win32" 32-bit,
    made on first use from a new prefix, which wineboot takes the longest to
    make and is made once for all editions."""
    wanted = standin.editions()[edition]
    root = built("wine-templates")
    root.mkdir(parents=True, exist_ok=True)
    # A 32-bit prefix has one registry view; a 64-bit program's keys are in the 64-bit one.
    view = ["/reg:64"] if arch == "win64" else []
    relayed = ";".join(relay.RELAYED)

    def new(folder, env):
        step(["wineboot", "-i"], env)
        # A crash must show as an exit code, not as a debugger's dump on stdout.
        step(["wine", "reg", "add", AEDEBUG, "/v", "Debugger", "/t", "REG_SZ", "/d", "", "/f", *view], env)
        # Relay tracing, when a run asks for it, reports only these calls.
        step(["wine", "reg", "add", WINE_DEBUG, "/v", "RelayInclude", "/t", "REG_SZ",
              "/d", relayed, "/f"], env)

    def edition_of_new(folder, env):
        subprocess.run(["cp", "-a", f"{_made(root / f'new-{arch}', arch, new, relayed)}/.", str(folder)], check=True)
        (folder / MARKER).unlink()  # the new prefix's, not this edition's
        step(["winecfg", "-v", wanted.winecfg], env)
        values = [(SERVER_LEVELS, name, "REG_DWORD", "1") for name in wanted.server_levels]
        if wanted.server:
            values.append((PRODUCT_OPTIONS, "ProductType", "REG_SZ", "ServerNT"))
        if wanted.installation_type:
            values.append((CURRENT_VERSION, "InstallationType", "REG_SZ", wanted.installation_type))
        for key, name, kind, data in values:
            step(["wine", "reg", "add", key, "/v", name, "/t", kind, "/d", data, "/f", *view], env)

    return _made(root / (edition if arch == "win64" else f"{edition}-{arch}"), arch, edition_of_new,
                 f"{wanted}\n{relayed}")


@contextlib.contextmanager
def prefix(edition="windows-10-11", standin_exe=None, arch="win64"):
    """A fresh copy of the edition's template, on a new machine; yields
    (prefix path, environment). Its wineserver ends with it, whatever fails."""
    work = Path(tempfile.mkdtemp(prefix="rolekit-wine-"))
    path = work / "prefix"
    env = dict(wine_env(path), **standin.environment())
    try:
        subprocess.run(["cp", "-a", str(template(edition, arch)), str(path)], check=True)
        if standin_exe:
            shutil.copyfile(standin_exe, path / "drive_c/windows/system32/dism.exe")
        standin.new_machine(path, edition)

        # Start the server and the prefix's services now, away from the
        # caller's pipes: whatever they inherit stays open until it ends.
        def start():
            step(["wineserver", "-p"], env)
            step(["wine", "cmd", "/c", "exit"], env)

        attempts(f"starting a {edition} prefix", 2, start, lambda: stop(env))
        yield path, env
    finally:
        stop(env)
        shutil.rmtree(work, ignore_errors=True)


def run(edition, program, arguments):
    """program with arguments in a fresh prefix, with the build's stand-in: its outcome."""
    with prefix(edition, built("tests/wine/standin_dism.exe")) as (_, env):
        return launch(["wine", program, *arguments], env)
