"""What the end-to-end tests share: the feature lists rolekit must hand DISM,
the command it must start, and a test case class that runs programs in a
Wine prefix standing for one Windows edition, with the recording stand-in
(standin.py) as system32's dism.exe. Every test starts on a new installation
of the edition; its runs then see what the earlier ones enabled.
"""

import contextlib
import re
import shutil
import sys
import tempfile
import zipfile
from pathlib import Path

import launch
import prefixes
import standin

# What ships: the release that cpack made in the build folder, its zip
# unpacked into each prefix where Explorer's "Extract All" puts it, in a
# folder named after the zip.
SOURCE = Path(__file__).resolve().parents[2]
RELEASE = launch.built("release")
RELEASE_VERSION = re.search(r"^CMAKE_PROJECT_VERSION:STATIC=(.*)$", launch.built("CMakeCache.txt").read_text(),
                            re.M)[1]
# The release's file names, by what each file is.
FILES = {what: name.replace("@VERSION@", RELEASE_VERSION) for what, name in
         (line.split("\t") for line in (SOURCE / "cmake/release-files.tsv").read_text().splitlines()[1:])}
ZIP = RELEASE / FILES["zip"]
UNPACKED = "C:\\" + ZIP.stem
ROLEKIT = UNPACKED + r"\rolekit.exe"
STANDIN = launch.built("tests/wine/standin_dism.exe")
README = SOURCE / "README.md"

SYSTEM32 = r"C:\windows\system32"
DISM = SYSTEM32 + r"\dism.exe"
CMD = SYSTEM32 + r"\cmd.exe"

# The catalogue as the tests state it (windows-features/catalogue.tsv).
PARTS = {row["part"]: row["names"].split() for row in standin.rows("catalogue.tsv")}
REFUSED = 0x800F080C  # DISM: a feature name is unknown to this edition
LEFT_OFF = 50  # DISM: a feature was left off, a parent of it being neither enabled nor named

# The platform calls of a run, as Wine traced them (relay.platform_calls).
CONVERT = ["MultiByteToWideChar(0x3,0x0)"] * 2  # the length, then the text
VERSION, EDITION = "VerifyVersionInfoW(0x23,0x1801b)", "VerifyVersionInfoW(0x80,0x200000)"
# Whether it is Server Core: HKLM keys opened to read in the 64-bit view
# (KEY_QUERY_VALUE | KEY_WOW64_64KEY); ServerLevels' values as DWORDs, as far
# as they decide, else InstallationType as plain text (RRF_RT_REG_SZ |
# RRF_NOEXPAND). The trace shows names as addresses: the reader's test has them.
OPEN = "RegOpenKeyExW(0xffffffff80000002,0x0,0x101)"
BY_LEVELS = [OPEN, *["RegGetValueW(0x10)"] * 3]
BY_TYPE = [OPEN, OPEN, "RegGetValueW(0x10000002)"]
LAUNCH = ["SHGetFolderPathW(0x0,0x25,0x0,0x0)",
          rf"ShellExecuteExW(mask=0x440,hwnd=0x0,verb=runas,file={DISM},dir={SYSTEM32},show=0x0)"]
WAIT = ["WaitForSingleObject(h1,0xffffffff)", "GetExitCodeProcess(h1)", "CloseHandle(h1)"]
# The C++ runtime closes a handle of its own as the program exits: always the
# last call, and never the process handle, which is h1 where there is one.
EXIT = ["CloseHandle(h1)"]
EXIT_AFTER_WAIT = ["CloseHandle(h2)"]

USAGE = b"Usage: Products\r\nrolekit.exe Product1,Product2\r\n"
NOTHING = b"No features required\r\n"


def lists(edition):
    """The lists rolekit must give the edition for a product of list A and
    for Orrery, in the order DISM is handed them: the older list A below 6.2,
    without IIS Manager on Server Core, the server's list B on a server at
    10.0 or later."""
    edition = standin.editions()[edition]
    web = PARTS["web"] + PARTS["web-newer" if edition.version >= (6, 2) else "web-older"]
    queue = "messaging-server" if edition.server and edition.version >= (10, 0) else "messaging-client"
    return sorted(web + PARTS["web-console"] * (not edition.core)), sorted(PARTS["messaging"] + PARTS[queue])


def dism_command(*lists):
    """The command line dism.exe must see for the union of the lists, in ordinal order."""
    switches = "".join(" /FeatureName:" + name for name in sorted(set().union(*lists)))
    return f'"{DISM}" /Online /Enable-Feature{switches} /Quiet /NoRestart'


def feature_names(command):
    return re.findall(r"/FeatureName:(\S+)", command)


def unpack(folder):
    """The release zip unpacked into folder, as a user unpacks it."""
    with zipfile.ZipFile(ZIP) as archive:
        archive.extractall(folder)


said = launch.said


def record(command, unknown=(), left_off=""):
    """The stand-in's record of dism.exe started with command, refusing the unknown names."""
    return {"image": DISM, "command": command, "directory": SYSTEM32, "show": "0", "unknown": " ".join(unknown),
            "left-off": left_off}


class WinePrefix:
    """Runs programs in a prefix of its own standing for EDITION; prepare()
    puts into each prefix what the class needs there."""

    EDITION = "windows-10-11"

    @classmethod
    def setUpClass(cls):
        cls.work = Path(tempfile.mkdtemp(prefix="rolekit-e2e-"))
        cls.addClassCleanup(shutil.rmtree, cls.work, ignore_errors=True)
        cls.runs = 0
        cls.features = set(standin.edition_features(cls.EDITION))
        cls.open_prefix()

    @classmethod
    def open_prefix(cls):
        # Closed by the class's cleanups even when setUpClass fails.
        stack = contextlib.ExitStack()
        cls.addClassCleanup(stack.close)
        cls.prefix, cls.env = stack.enter_context(prefixes.prefix(cls.EDITION, STANDIN))
        cls.close_prefix = stack.close
        cls.prepare(cls.prefix)

    @classmethod
    def prepare(cls, path):
        unpack(launch.unix_path(UNPACKED, {"WINEPREFIX": path}))

    def setUp(self):
        standin.new_machine(self.prefix, self.EDITION)

    def fresh(self):
        """A fresh prefix in place of the class's, on the same machine state."""
        enabled = Path("drive_c", standin.FILES["ROLEKIT_STANDIN_ENABLED"])
        state = (self.prefix / enabled).read_bytes()
        type(self).close_prefix()
        type(self).open_prefix()
        (self.prefix / enabled).write_bytes(state)

    def say(self, line):
        print(f"{self.id()}: {line}", file=sys.stderr)

    def attempt(self, arguments=None, tool_exit=0, program=None, cwd=None, starts_dism=False, trace=False, **extra):
        """run_program's outcome for program (rolekit.exe unless said), the
        stand-in exiting with tool_exit and extra added to the environment."""
        type(self).runs += 1
        env = dict(self.env, ROLEKIT_STANDIN_EXIT=str(tool_exit), **extra)
        return launch.run_program(env, program or ROLEKIT, arguments, self.work / f"run-{self.runs}",
                                  cwd or self.work, trace, starts_dism)

    def run_rolekit(self, *arguments, again=True, **options):
        """A run, as attempt() makes it, once retried() has it run; again is its deeper."""
        return launch.retried(lambda: self.attempt(*arguments, **options), self.fresh, self.say, deeper=again)

    def unknown(self, command):
        return [name for name in feature_names(command) if name not in self.features]

    def assertLaunched(self, run, command):
        self.assertEqual((run.stdout, run.stderr), (b"", b""), said(run))
        self.assertEqual(run.launches, [record(command, self.unknown(command))], said(run))

    def assertNothingToDo(self, run):
        self.assertEqual((run.stdout, run.stderr, run.code, run.launches), (NOTHING, b"", 2, []), said(run))

    def assertOutcome(self, run, command):
        """One silent launch of command, which succeeds unless the edition lacks
        one of its names; with None, nothing to do."""
        if command is None:
            self.assertNothingToDo(run)
        else:
            self.assertLaunched(run, command)
            self.assertEqual(run.code, REFUSED if self.unknown(command) else 0, said(run))
