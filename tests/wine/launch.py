"""The one way the harness starts a process under Wine, and what came of it:
the program ran, with its exit code; Wine could not start it (or something
it starts), with Wine's reason; it ran out of time; or Wine ended it after it
had started something. Wine's own lines are kept apart from the program's
output. A fault of the harness itself raises HarnessFault. retried() alone
decides, by the outcome, to run once more: docs/developing/testing.md says
when, and why.
"""

import os
import re
import subprocess
import sys
import tempfile
from dataclasses import dataclass, field
from pathlib import Path

import relay
import standin

# Wine's lines: a debug channel's (tid:class:channel:..., with +pid pid:tid:...,
# and class:channel:... from a process that failed before it had a thread),
# one of the loader's own ("wine: ..."), and the second line of its note on a
# crash, that it could start no debugger.
WINE_LINE = re.compile(rb"^(?:[0-9a-f]{4,8}:){1,2}|^(?:err|fixme|warn|trace):|^wine: "
                       rb"|^Read the Wine Developers Guide on how to set up winedbg")
WINE_CANNOT_START = re.compile(rb"^wine: .*(could not|cannot|failed)", re.I)
# Wine's cmd says this for every CreateProcessW that fails, of a file that is there too.
CMD_CANNOT_START = re.compile(rb"Can't recognize '(.*)' as an internal or external command")
# What report_exit.exe exits with when it could not run the program, or when
# its own set-up failed (a fault of the harness, not of Wine or of rolekit).
REPORT_EXIT_COULD_NOT_START = 102
REPORT_EXIT_OWN_FAULTS = {100: "no result file named", 101: "no ROLEKIT_TEST_COMMAND", 103: "no exit code read",
                          104: "result file not opened", 105: "result file not written", 106: "no pipe made"}


@dataclass(frozen=True)
class Ran:
    code: int
    stdout: bytes
    stderr: bytes  # the program's own, with Wine's lines taken out
    wine: tuple = ()  # Wine's own lines
    launches: list = field(default_factory=list)  # the stand-in's records of the dism.exe runs
    code_page: int = None  # the ANSI code page the program ran under
    calls: list = None  # with a trace: the platform calls the program made (relay.platform_calls)


@dataclass(frozen=True)
class CouldNotStart:
    program: str
    reason: str
    wine: tuple = ()
    first: bool = False  # the run's own program never started: nothing it was for ran


@dataclass(frozen=True)
class TimedOut:
    program: str
    seconds: float
    wine: tuple = ()


@dataclass(frozen=True)
class Crashed:
    program: str
    code: int  # what Wine ended it with
    wine: tuple = ()


# Every start is given this long, far more than any of the harness's takes.
TIMEOUT = 600


class WineFailed(Exception):
    """A program did not run to its end: Wine could not start it (again,
    where that was tried), it ran out of time, or Wine ended it."""


class HarnessFault(Exception):
    """The harness's own set-up failed: no outcome of Wine's or of rolekit's."""


class Unstarted(Exception):
    """A run that Wine could not start something in, inside a case of several
    runs, which the whole case answers for."""

    def __init__(self, outcome):
        super().__init__(f"{outcome.program} did not start: {outcome.reason}")
        self.outcome = outcome


def built(name):
    """A file of the Windows build folder that the tests are given, ROLEKIT_BUILD_DIR."""
    return Path(os.environ["ROLEKIT_BUILD_DIR"], name)


def windows_path(path):
    """The Windows name of a path: a Unix one's through Wine's Z: drive, one in Windows form as it is."""
    if re.match(r"[A-Za-z]:\\", str(path)):
        return str(path)
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def unix_path(path, env):
    """The Unix file of a path: one in Windows form, on drive C: of the
    environment's prefix; a Unix one as it is."""
    found = re.match(r"[Cc]:\\(.*)", str(path))
    return Path(env["WINEPREFIX"], "drive_c", *found[1].split("\\")) if found else Path(path)


def said(outcome):
    """Wine's lines of an outcome, for a failure's message."""
    wine = outcome.wine
    return "; Wine said: " + " | ".join(line.decode("utf-8", "replace") for line in wine) if wine else ""


def split(stderr):
    """(the program's own standard error, Wine's lines)."""
    lines = stderr.splitlines(keepends=True)
    return (b"".join(line for line in lines if not WINE_LINE.match(line)),
            tuple(line.rstrip(b"\r\n") for line in lines if WINE_LINE.match(line)))


def launch(argv, env, cwd=None):
    """Runs argv, a command that starts a Windows program under Wine: its
    outcome. The output goes to files, not pipes: the wineserver and the
    services a first start leaves running inherit them, and would hold a
    pipe open for as long as the prefix lives."""
    program = Path(str(argv[1] if argv[0] == "wine" else argv[0])).name
    with tempfile.TemporaryFile() as stdout, tempfile.TemporaryFile() as stderr:
        try:
            done = subprocess.run([str(part) for part in argv], env=env, cwd=cwd, stdout=stdout, stderr=stderr,
                                  timeout=TIMEOUT)
        except subprocess.TimeoutExpired:
            return TimedOut(program, TIMEOUT, split(read(stderr))[1])
        output, (own, wine) = read(stdout), split(read(stderr))
    refused = [line for line in wine if WINE_CANNOT_START.match(line)]
    if done.returncode != 0 and refused:
        return CouldNotStart(program, refused[0].decode("utf-8", "replace"), wine)
    return Ran(done.returncode, output, own, wine)


def read(file):
    file.seek(0)
    return file.read()


def step(argv, env, cwd=None):
    """One step of making a prefix: it must run and succeed."""
    outcome = launch(argv, env, cwd)
    if not isinstance(outcome, Ran) or outcome.code != 0:
        raise subprocess.CalledProcessError(getattr(outcome, "code", -1), [str(part) for part in argv],
                                            stderr=f"{outcome}{said(outcome)}")


def run_program(env, program, arguments, scratch, cwd, trace=False, starts_dism=False):
    """The outcome of program, with the command-line tail arguments (verbatim;
    None for none), started by report_exit.exe in env; its records and exit
    code go to files named from scratch. With starts_dism, a run that started
    no dism.exe is one that Wine could not start something in. With trace,
    the outcome has the calls it made."""
    log, result = Path(f"{scratch}.dism.log"), Path(f"{scratch}.exit")
    command = f'"{windows_path(program)}"' + ("" if arguments is None else " " + arguments)
    env = dict(env, ROLEKIT_TEST_COMMAND=command, ROLEKIT_STANDIN_LOG=windows_path(log))
    if trace:
        env["ROLEKIT_TEST_WINEDEBUG"] = relay.TRACE
    outcome = launch(["wine", built("tests/wine/report_exit.exe"), windows_path(result)], env, cwd)
    if not isinstance(outcome, Ran):
        return outcome
    launches = standin.read_records(log)
    written = result.read_text().split() if result.exists() else []
    name = re.split(r"[\\/]", str(program))[-1]
    if outcome.code in REPORT_EXIT_OWN_FAULTS:
        raise HarnessFault(f"report_exit.exe could not run {name}: {REPORT_EXIT_OWN_FAULTS[outcome.code]}")
    wine, calls, cmd = outcome.wine, None, CMD_CANNOT_START.search(outcome.stdout + outcome.stderr)
    if outcome.code == REPORT_EXIT_COULD_NOT_START:
        return CouldNotStart(name, f"CreateProcessW failed with error {written[1]}", wine, first=True)
    if outcome.code != 0 or len(written) != 2:
        # report_exit.exe has no such code of its own: Wine ended it.
        if launches:
            return Crashed("report_exit.exe", outcome.code, wine)
        return CouldNotStart("report_exit.exe", f"Wine ended it with {outcome.code} before it wrote a result", wine,
                             first=True)
    code, code_page = map(int, written)
    if trace:
        calls = relay.platform_calls([line for line in wine if relay.is_trace(line)], name,
                                     relay.image_size(unix_path(program, env)))
        wine = tuple(line for line in wine if not relay.is_trace(line))
    if cmd and not launches:
        return CouldNotStart(cmd[1].decode("utf-8", "replace"), f"Wine's cmd could not start it ({code})", wine)
    if starts_dism and not launches:
        return CouldNotStart("dism.exe", f"{name} exited with {code} (0x{code:08X}) and started no dism.exe", wine)
    return Ran(code, outcome.stdout, outcome.stderr, wine, launches, code_page, calls)


def ran(outcome):
    """The outcome of a program that ran; any other raises WineFailed, naming Wine's reason."""
    if isinstance(outcome, CouldNotStart):
        raise WineFailed(f"{outcome.program} did not start: {outcome.reason}{said(outcome)}")
    if isinstance(outcome, TimedOut):
        raise WineFailed(f"{outcome.program} ran for more than {outcome.seconds} s{said(outcome)}")
    if isinstance(outcome, Crashed):
        raise WineFailed(f"Wine ended {outcome.program} with {outcome.code} after dism.exe ran{said(outcome)}")
    return outcome


def retried(attempt, fresh, say=lambda line: print(line, file=sys.stderr), deeper=True):
    """attempt()'s outcome (or Unstarted's), once it ran, else WineFailed.
    With deeper false, for a case whose own failure to start a program below
    its first is under test, only a run whose first program never started
    runs once more, in the same prefix, keeping what the case set up there."""

    def outcome_of():
        try:
            return attempt()
        except Unstarted as unstarted:
            return unstarted.outcome

    outcome = outcome_of()
    if isinstance(outcome, CouldNotStart) and (deeper or outcome.first):
        say(f"{outcome.program} did not start ({outcome.reason}): once more"
            + ", in a fresh prefix" * deeper)
        if deeper:
            fresh()
        outcome = outcome_of()
    return ran(outcome)
