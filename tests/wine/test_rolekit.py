"""rolekit.exe end to end under Wine: the bytes a user or a calling script
sees, the exit code in full, exactly what dism.exe is started with and every
platform call as Wine saw it; then the limits: the longest command line, ANSI
code pages, a misbehaving tool; then the example installers that run it.

Each class runs in a fresh prefix that stands for one Windows edition, with
the recording stand-in as system32's dism.exe: like DISM, it refuses a whole
command in which one feature name is unknown to that edition, and leaves off
(exit code 50) a feature whose parent is neither enabled nor named. Every
test starts on a new installation of the edition; its runs then see what the
earlier ones enabled. Programs under test are started from report_exit.exe,
a Windows-side parent that reads all 32 bits of the exit code.
"""

import dataclasses
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import zlib
from pathlib import Path
from unittest import mock

import winebox

ROLEKIT = Path(os.environ["ROLEKIT_EXE"])
STANDIN = Path(os.environ["ROLEKIT_STANDIN"])
REPORT_EXIT = Path(os.environ["ROLEKIT_REPORT_EXIT"])
README = Path(__file__).resolve().parents[2] / "README.md"

SYSTEM32 = r"C:\windows\system32"
DISM = SYSTEM32 + r"\dism.exe"

WEB_NEWER = [
    "IIS-ASPNET45", "IIS-ApplicationDevelopment", "IIS-CommonHttpFeatures", "IIS-DefaultDocument",
    "IIS-DirectoryBrowsing", "IIS-HealthAndDiagnostics", "IIS-HttpCompressionStatic", "IIS-HttpErrors",
    "IIS-HttpLogging", "IIS-HttpRedirect", "IIS-ISAPIExtensions", "IIS-ISAPIFilter",
    "IIS-ManagementConsole", "IIS-NetFxExtensibility45", "IIS-Performance", "IIS-RequestFiltering",
    "IIS-Security", "IIS-StaticContent", "IIS-WebServer", "IIS-WebServerManagementTools",
    "IIS-WebServerRole", "NetFx4Extended-ASPNET45", "WAS-ConfigurationAPI", "WAS-ProcessModel",
    "WAS-WindowsActivationService",
]
WEB_OLDER = [
    "IIS-ASPNET", "IIS-ApplicationDevelopment", "IIS-CommonHttpFeatures", "IIS-DefaultDocument",
    "IIS-DirectoryBrowsing", "IIS-HealthAndDiagnostics", "IIS-HttpCompressionStatic", "IIS-HttpErrors",
    "IIS-HttpLogging", "IIS-HttpRedirect", "IIS-ISAPIExtensions", "IIS-ISAPIFilter",
    "IIS-ManagementConsole", "IIS-NetFxExtensibility", "IIS-Performance", "IIS-RequestFiltering",
    "IIS-RequestMonitor", "IIS-Security", "IIS-StaticContent", "IIS-WebServer",
    "IIS-WebServerManagementTools", "IIS-WebServerRole", "WAS-ConfigurationAPI",
    "WAS-NetFxEnvironment", "WAS-ProcessModel", "WAS-WindowsActivationService",
]
# List B on a client or a server below 10.0, and on a server at 10.0 or later.
MESSAGING = [
    "IIS-ASP", "IIS-ApplicationInit", "IIS-CGI", "IIS-HttpTracing", "IIS-ServerSideIncludes",
    "IIS-WebSockets", "MSMQ-Container", "MSMQ-Server", "WCF-HTTP-Activation45", "WCF-MSMQ-Activation45",
    "WCF-Pipe-Activation45", "WCF-Services45", "WCF-TCP-Activation45", "WCF-TCP-PortSharing45",
]
MESSAGING_SERVER = sorted(set(MESSAGING) - {"MSMQ-Container"} | {"MSMQ", "MSMQ-Services"})
REFUSED = 0x800F080C  # DISM: a feature name is unknown to this edition
LEFT_OFF = 50  # DISM: a feature was left off, a parent of it being neither enabled nor named

# The platform calls of a run, as Wine traced them (winebox.platform_calls).
CONVERT = ["MultiByteToWideChar(0x3,0x0)"] * 2  # the length, then the text
VERSION, EDITION = "VerifyVersionInfoW(0x23,0x1801b)", "VerifyVersionInfoW(0x80,0x200000)"
LAUNCH = ["SHGetFolderPathW(0x0,0x25,0x0,0x0)",
          rf"ShellExecuteExW(mask=0x440,hwnd=0x0,verb=runas,file={DISM},dir={SYSTEM32},show=0x0)"]
WAIT = ["WaitForSingleObject(h1,0xffffffff)", "GetExitCodeProcess(h1)", "CloseHandle(h1)"]
# The C++ runtime closes a handle of its own as the program exits: always the
# last call, and never the process handle, which is h1 where there is one.
EXIT = ["CloseHandle(h1)"]
EXIT_AFTER_WAIT = ["CloseHandle(h2)"]

USAGE = b"Usage: Products\r\nrolekit.exe Product1,Product2\r\n"
NOTHING = b"No features required\r\n"


def dism_command(*lists):
    """The command line dism.exe must see for the union of the lists, in ordinal order."""
    switches = "".join(" /FeatureName:" + name for name in sorted(set().union(*lists)))
    return f'"{DISM}" /Online /Enable-Feature{switches} /Quiet /NoRestart'


def feature_names(command):
    return re.findall(r"/FeatureName:(\S+)", command)


def traceless(run):
    """Whether Wine failed the parent of a run before the run left any trace."""
    return run.parent in (1, 102) and (run.stdout, run.stderr, run.launches) == (b"", b"", [])


def launch(command, unknown=()):
    """The stand-in's record of dism.exe started with command, refusing the unknown names."""
    return {"image": DISM, "command": command, "directory": SYSTEM32, "show": "0", "unknown": " ".join(unknown),
            "left-off": ""}


class WinePrefix:
    EDITION = None

    @classmethod
    def setUpClass(cls):
        cls._prefix = winebox.prefix(cls.EDITION, STANDIN)
        cls.features = set(winebox.edition_features(cls.EDITION))
        cls.prefix, cls.env = cls._prefix.__enter__()
        cls.work = Path(tempfile.mkdtemp(prefix="rolekit-e2e-"))
        cls.runs = 0

    @classmethod
    def tearDownClass(cls):
        cls._prefix.__exit__(None, None, None)
        shutil.rmtree(cls.work, ignore_errors=True)

    def setUp(self):
        winebox.new_machine(self.prefix, self.EDITION)

    def run_rolekit(self, arguments=None, tool_exit=0, program=ROLEKIT, cwd=None, again=True, **extra):
        """A run of program from report_exit.exe. On a loaded machine Wine has
        been seen to end that parent with 1, a code it never uses, and to fail
        its CreateProcessW (102): such an attempt is made once more, with files
        of its own, and said on stderr, when it left no trace (nothing on the
        streams, no launch recorded); without again it comes back as it is."""
        for attempt in (1, 2):
            type(self).runs += 1
            run = winebox.run_program(self.env, REPORT_EXIT, program, arguments, tool_exit,
                                      self.work / f"run-{self.runs}", cwd or self.work, **extra)
            if attempt == 2 or not again or not traceless(run):
                break
            print(f"{self.id()}: Wine ended the parent of {Path(program).name} with {run.parent} before it "
                  "left a trace: once more", file=sys.stderr)
        if not traceless(run) or again:
            self.assertEqual(run.parent, 0, run.stderr)
        return run

    def unknown(self, command):
        return [name for name in feature_names(command) if name not in self.features]

    def assertLaunched(self, run, command):
        self.assertEqual((run.stdout, run.stderr), (b"", b""))
        self.assertEqual(run.launches, [launch(command, self.unknown(command))])

    def assertNothingToDo(self, run):
        self.assertEqual((run.stdout, run.stderr, run.code, run.launches), (NOTHING, b"", 2, []))

    def assertOutcome(self, run, command):
        """One silent launch of command, which succeeds unless the edition lacks
        one of its names; with None, nothing to do."""
        if command is None:
            self.assertNothingToDo(run)
        else:
            self.assertLaunched(run, command)
            self.assertEqual(run.code, REFUSED if self.unknown(command) else 0)


class Edition(WinePrefix):
    """What one edition is asked for and how its DISM answers, on a new
    installation and after an earlier run; the README's "Where it works"
    table must say the same."""

    NAME = WEB = QUEUE = None
    maxDiff = None  # the whole row the README must have

    def test_each_product_on_this_edition(self):
        cells = []
        for runs in (["Kestrel"], ["Orrery"], ["Kestrel", "Orrery"], ["Kestrel,Orrery"]):
            winebox.new_machine(self.prefix, self.EDITION)
            for products in runs:
                with self.subTest(runs=runs, products=products):
                    run = self.run_rolekit(products)
                    lists = [self.WEB] * ("Kestrel" in products) + [self.QUEUE] * ("Orrery" in products)
                    command = dism_command(*lists)
                    self.assertEqual((run.stdout, run.stderr, len(run.launches)), (b"", b"", 1))
                    record = run.launches[0]
                    self.assertEqual(dict(record, **{"left-off": ""}), launch(command, self.unknown(command)))
                    left_off = [feature.split(":") for feature in record["left-off"].split()]
                    self.assertEqual(run.code, REFUSED if record["unknown"] else LEFT_OFF if left_off else 0)
            names, unknown = feature_names(record["command"]), record["unknown"].split()
            queue = [name for name in ("MSMQ-Container", "MSMQ", "MSMQ-Services") if name in names]
            outcome = (f"refused ({' '.join(f'`{name}`' for name in unknown)} unknown)" if unknown else
                       "50, left off: " + ", ".join(f"`{name}` (needs " + " ".join(f"`{p}`" for p in parents.split(","))
                                                    + ")" for name, parents in left_off) if left_off else "enabled")
            cells.append(f"{len(names)}" + (" with " + " ".join(f"`{name}`" for name in queue) if queue else "") +
                         f": {outcome}")
        rows = [line for line in README.read_text().splitlines() if line.startswith(f"| {self.NAME} |")]
        self.assertEqual(rows, [f"| {self.NAME} | {' | '.join(cells)} |"])

    def test_the_platform_is_asked_once_per_token_and_told_exactly_this(self):
        cases = [  # edition, arguments, the OS questions (None: nothing converted), launched
            ("windows-10-11", "Kestrel,kestrel,Orrery", [VERSION, VERSION, EDITION], True),
            ("server-2016-and-later", "Orrery", [EDITION, VERSION], True),
            ("server-2008-r2", "Orrery,Kestrel", [EDITION, VERSION, VERSION], True),
            ("windows-7", "Nightjar,,/?", [], False),
            ("windows-8.1", None, None, False),
        ]
        for edition, arguments, questions, launched in cases:
            if edition != self.EDITION:
                continue
            run = self.run_rolekit(arguments, trace=True)
            self.assertEqual(run.stderr, b"")
            expected = ([] if questions is None else CONVERT + questions) + (LAUNCH + WAIT + EXIT_AFTER_WAIT
                                                                              if launched else EXIT)
            self.assertEqual(run.calls, expected)
            self.assertEqual(len(run.launches), int(launched))


class EndToEnd(Edition):

    def test_no_argument_prints_usage_and_exits_1(self):
        run = self.run_rolekit(None)
        self.assertEqual((run.stdout, run.stderr, run.code, run.launches), (USAGE, b"", 1, []))

    def test_nothing_recognised_prints_a_note_and_exits_2(self):
        (self.work / "Kestrel").touch()  # a wildcard must not expand to it
        for arguments in ['""', ",", ",,,,", "/?", '" Kestrel"', '"Kestrel "', "Nightjar",
                          '"Kestrel Orrery"', "Kestrel;Orrery", "Kest*", "Nightjar Kestrel", '"" Orrery']:
            with self.subTest(arguments=arguments):
                self.assertNothingToDo(self.run_rolekit(arguments))

    def test_one_launch_with_the_whole_set(self):
        web, both = dism_command(self.WEB), dism_command(self.WEB, self.QUEUE)
        cases = {
            "Kestrel": web,
            "Tamarind": web,
            "Lanternfly": web,
            "Orrery": dism_command(self.QUEUE),
            "kEsTrEl,ORRERY": both,
            "orrery,LANTERNFLY": both,
            "Orrery,,Lanternfly,tamarind,Kestrel,Orrery,": both,
            ",Kestrel,Kestrel,": web,
            '"Kestrel, Orrery"': web,
            "Kestrel, Orrery": web,
            "Kestrel Orrery": web,
            "Nightjar,Kestrel,/?": web,
        }
        for arguments, command in cases.items():
            with self.subTest(arguments=arguments):
                self.assertOutcome(self.run_rolekit(arguments), command)

    def test_the_tool_exit_code_passes_through_in_full(self):
        for code in [0, 1, 2, 3010, 0x800F081F, 0xC0000005, 0xFFFFFFFF]:
            with self.subTest(code=hex(code)):
                run = self.run_rolekit("Kestrel", tool_exit=code)
                self.assertLaunched(run, dism_command(self.WEB))
                self.assertEqual(run.code, code)

    def test_a_launch_that_fails_exits_non_zero_prints_nothing_and_starts_no_other_dism(self):
        # With system32's dism.exe gone, copies beside the program and in the
        # current folder (a downloads folder, say) must not be run instead.
        downloads = self.work / "Downloads"
        downloads.mkdir(exist_ok=True)
        shutil.copyfile(ROLEKIT, downloads / "rolekit.exe")
        shutil.copyfile(STANDIN, downloads / "dism.exe")
        dism = self.prefix / "drive_c/windows/system32/dism.exe"
        dism.unlink()
        try:
            runs = [self.run_rolekit("Kestrel", program=program, cwd=downloads, trace=True)
                    for program in (ROLEKIT, downloads / "rolekit.exe")]
        finally:
            shutil.copyfile(STANDIN, dism)
        for run in runs:
            self.assertEqual((run.stdout, run.stderr, run.launches, run.code), (b"", b"", [], 2))
            self.assertEqual(run.calls, CONVERT + [VERSION] + LAUNCH + EXIT, "no wait after a failed launch")


# Windows 10 and Windows 7 run the whole suite; the other editions answer the
# same questions alike, so they run only their own rows.
class Windows10(EndToEnd, unittest.TestCase):
    EDITION, NAME, WEB, QUEUE = "windows-10-11", "Windows 10, 11", WEB_NEWER, MESSAGING


class Windows81(Edition, unittest.TestCase):
    EDITION, NAME, WEB, QUEUE = "windows-8.1", "Windows 8.1", WEB_NEWER, MESSAGING


class Server2016(Edition, unittest.TestCase):
    EDITION, NAME, WEB, QUEUE = "server-2016-and-later", "Server 2016 and later", WEB_NEWER, MESSAGING_SERVER


class Server2012R2(Edition, unittest.TestCase):
    EDITION, NAME, WEB, QUEUE = "server-2012-r2", "Server 2012 R2", WEB_NEWER, MESSAGING


class Windows7(EndToEnd, unittest.TestCase):
    EDITION, NAME, WEB, QUEUE = "windows-7", "Windows 7", WEB_OLDER, MESSAGING


class Server2008R2(Edition, unittest.TestCase):
    EDITION, NAME, WEB, QUEUE = "server-2008-r2", "Server 2008 R2", WEB_OLDER, MESSAGING


class Limits(WinePrefix, unittest.TestCase):
    """Hostile input and a misbehaving tool, on one kind of system."""

    EDITION = "windows-10-11"
    WEB = dism_command(WEB_NEWER)
    BOTH = dism_command(WEB_NEWER, MESSAGING)
    MESSAGING = dism_command(MESSAGING)

    def test_the_longest_command_line(self):
        # Windows takes 32,767 units with the terminating NUL; the program's
        # quoted path and a blank stand before the argument.
        head = f'"{winebox.windows_path(ROLEKIT)}" '
        room = 32766 - len(head)
        for unit, command in [("Kestrel,Orrery,", self.BOTH), ("kestrel,", self.WEB), (",", None)]:
            argument = (unit * (room // len(unit) + 1))[:room]
            with self.subTest(unit=unit):
                run = self.run_rolekit(argument)
                self.assertOutcome(run, command)

    def test_ansi_code_pages(self):
        # Windows hands the program its argument in the ANSI code page,
        # mapping what that page lacks to a best-fit letter or "?".
        cases = [
            ("Ünïcödé", None),
            ("Привет", None),
            ("日本語", None),
            ("\U0001F600", None),
            ("Kestr\u0435l", None),  # a Cyrillic e
            ("Kestrel,Ünïcödé,Привет,日本語,\U0001F600", self.WEB),
            ("Ünïcödé,Orrery,Привет", self.MESSAGING),  # after Kestrel above: the web server is on
        ]
        fullwidth = "\uFF2B\uFF45\uFF53\uFF54\uFF52\uFF45\uFF4C"  # Kestrel in fullwidth letters
        for locale, code_page, folds_fullwidth in [("en_US.UTF-8", 1252, True), ("ru_RU.UTF-8", 1251, True),
                                                   ("ja_JP.UTF-8", 932, False)]:
            for argument, command in cases + [(fullwidth, self.WEB if folds_fullwidth else None)]:
                with self.subTest(locale=locale, argument=argument):
                    run = self.run_rolekit(argument, LC_ALL=locale)
                    self.assertEqual(run.code_page, code_page, f"is the locale {locale} generated?")
                    self.assertOutcome(run, command)

    def test_a_crashing_tool_passes_its_exception_code_through(self):
        run = self.run_rolekit("Kestrel,Orrery", ROLEKIT_STANDIN_CRASH="1")
        self.assertEqual(run.code, 0xC0000005)
        self.assertEqual(run.launches, [launch(self.BOTH)])
        # Wine notes the fault in one line on the crashing tool's standard
        # error, which Windows would not; no debugger dump reaches either stream.
        self.assertEqual(run.stdout, b"")
        self.assertRegex(run.stderr, rb"\A(wine: Unhandled page fault [^\n]*\n)?\Z")

    def test_a_slow_tool_is_waited_for(self):
        started = time.monotonic()
        run = self.run_rolekit("Kestrel,Orrery", tool_exit=3010, ROLEKIT_STANDIN_SLEEP_MS="4000")
        self.assertGreaterEqual(time.monotonic() - started, 4)
        self.assertLaunched(run, self.BOTH)
        self.assertEqual(run.code, 3010)

    def test_only_an_attempt_that_left_no_trace_is_made_again(self):
        done = winebox.Run(b"", b"", 0, 1252, [], 0, None)
        for first, attempts in [({"parent": 1}, 2), ({"parent": 102}, 2), ({"parent": 1, "stdout": USAGE}, 1),
                                ({"parent": 1, "launches": [launch(self.WEB)]}, 1)]:
            with self.subTest(first=first), mock.patch.object(
                    winebox, "run_program", side_effect=[dataclasses.replace(done, **first), done]) as attempt:
                if attempts == 2:
                    self.assertEqual(self.run_rolekit("Kestrel"), done)
                else:
                    self.assertRaises(AssertionError, self.run_rolekit, "Kestrel")
                self.assertEqual(attempt.call_count, attempts)

    def test_a_closed_standard_output_changes_no_exit_code(self):
        for arguments, code, launches in [(None, 1, 0), ('""', 2, 0), ("/?", 2, 0), ("Orrery", LEFT_OFF, 1)]:
            with self.subTest(arguments=arguments):
                run = self.run_rolekit(arguments, ROLEKIT_TEST_STDOUT="closed")
                self.assertEqual((run.stdout, run.stderr, run.code, len(run.launches)), (b"", b"", code, launches))


class BatchRecipe(WinePrefix, unittest.TestCase):
    """examples/cmd/enable-features.cmd beside rolekit.exe, under Wine's cmd.exe."""

    EDITION = "windows-10-11"
    SCRIPT = Path(__file__).resolve().parents[2] / "examples/cmd/enable-features.cmd"

    def test_the_recipe_passes_every_product_on_and_reports_the_exact_code(self):
        # cmd must take the script's path as it is: spaces, !, & and ^ included.
        folder = self.work / "recipe a b!&^c"
        folder.mkdir()
        shutil.copyfile(ROLEKIT, folder / "rolekit.exe")
        shutil.copyfile(self.SCRIPT, folder / "enable-features.cmd")
        web, both, messaging = (dism_command(*lists) for lists in ([WEB_NEWER], [WEB_NEWER, MESSAGING], [MESSAGING]))

        def log(*lines):
            return "".join(f"rolekit: {line}\r\n" for line in lines).encode()

        enabled, restart = ": enabled the Windows features for ", "; Windows must restart to finish"
        dism_log = r"; DISM's log is C:\windows\Logs\DISM\dism.log"
        hint = ("a parent feature was missing: give Orrery together with one of Kestrel, Tamarind, Lanternfly "
                "(for example Kestrel,Orrery), or after one of them")
        usage = (b"Usage: enable-features.cmd [Product1,Product2 ...]\r\n"
                 b"Runs rolekit.exe from this folder with the products (default Kestrel,Orrery),\r\n"
                 b"prints the outcome and exits with rolekit's exit code.\r\n")
        long = "Kestrel," * 249 + "Tamarind"  # 2,000 characters, which batch splits into 250 arguments
        cases = [  # products, the tool's answer (None: no dism.exe), what it starts, exit code, output
            (None, 0, both, 0, log('given "Kestrel,Orrery"' + enabled + "Kestrel,Orrery")),
            ("Kestrel,Orrery", 3010, both, 3010, log('given "Kestrel,Orrery"' + enabled + "Kestrel,Orrery" + restart)),
            ("Kestrel", 0x800F081F, web, 0x800F081F,
             log('given "Kestrel": failed with exit code -2146498529 (0x800F081F)' + dism_log)),
            ("Kestrel;Orrery Lanternfly", 87, both, 87,
             log('given "Kestrel,Orrery,Lanternfly": failed with exit code 87 (0x00000057)' + dism_log)),
            ('"Kestrel, Orrery"', 0, web, 0,
             log('ignored " Orrery", which names no product', 'given "Kestrel, Orrery"' + enabled + "Kestrel")),
            ("Kestrel,Orery", 0, web, 0,
             log('ignored "Orery", which names no product', 'given "Kestrel,Orery"' + enabled + "Kestrel")),
            # Orrery on a new machine, without a product of list A: DISM leaves features off.
            ('",,Kes-trel,,oRRERY,"', 3010, messaging, 50,
             log('ignored "Kes-trel", which names no product',
                 'given ",,Kes-trel,,oRRERY,": failed with exit code 50 (0x00000032)' + dism_log, hint)),
            ("Kestrel,Orr!ery", 0, web, 0,
             log('ignored "Orr!ery", which names no product', 'given "Kestrel,Orr!ery"' + enabled + "Kestrel")),
            ('"Orr^ery,Kestrel&Orrery"', 0, None, 2,
             log('ignored "Orr^ery", which names no product', 'ignored "Kestrel&Orrery", which names no product') +
             NOTHING + log('given "Orr^ery,Kestrel&Orrery": no product named, nothing enabled (exit code 2)')),
            (long, 3010, web, 3010, log(f'given "{long}"' + enabled + long + restart)),
            ('""', 0, None, 2, NOTHING + log('given "": no product named, nothing enabled (exit code 2)')),
            ("Nightjar", 0, None, 2, log('ignored "Nightjar", which names no product') + NOTHING +
             log('given "Nightjar": no product named, nothing enabled (exit code 2)')),
            ("Orrery", None, None, 2, log('given "Orrery": failed with exit code 2 (0x00000002)' + dism_log)),
            ("/?", 0, None, 1, usage),
        ]
        dism = self.prefix / "drive_c/windows/system32/dism.exe"
        for products, answer, command, code, output in cases:
            with self.subTest(products=products[:40] if products else None, answer=answer):
                winebox.new_machine(self.prefix, self.EDITION)
                if answer is None:
                    dism.unlink()
                script = winebox.windows_path(folder / "enable-features.cmd")
                arguments = f'/c ""{script}"{" " + products if products is not None else ""}"'
                try:
                    run = self.run_rolekit(arguments, answer or 0, self.prefix / "drive_c/windows/system32/cmd.exe")
                finally:
                    shutil.copyfile(STANDIN, dism)
                self.assertEqual((run.stdout, run.stderr, run.code), (output, b"", code))
                self.assertEqual([dict(record, **{"left-off": ""}) for record in run.launches],
                                 [] if command is None else [launch(command)])

    def test_the_recipe_names_the_products_the_catalogue_knows(self):
        catalogue = (README.parent / "src/requirements/catalogue.cpp").read_text()
        recipe = self.SCRIPT.read_text()
        for kind, products in [("web", re.search(r"kWebProducts = \{(.*)\};", catalogue)[1]),
                               ("messaging", re.search(r"kMessagingProduct = (.*);", catalogue)[1])]:
            names = " ".join(re.findall(r'L"(\w+)"', products))
            self.assertIn(f'set "{kind}={names}"', recipe)


class FreshPrefix(Exception):
    """An msiexec that Wine failed without a trace, which may still have
    installed something: its case starts again in a fresh prefix."""


class Installers(WinePrefix, unittest.TestCase):
    """The example installers, run silently, with the tool answering success,
    restart due and failure; each must start rolekit, and so dism.exe, once.
    The 32-bit NSIS installer's cases need 32-bit Wine, and are skipped
    without it."""

    EDITION = "windows-10-11"
    EXAMPLES = Path(os.environ["ROLEKIT_EXAMPLES"])
    UNSTARTABLE = Path(os.environ["ROLEKIT_TEST_INSTALLERS"])
    INSTALLED = Path("drive_c/Program Files/rolekit example/rolekit.exe")
    NOTICES = EXAMPLES.parent / "THIRD-PARTY-NOTICES.txt"
    WINE32 = "needs 32-bit Wine, which wine32:i386 brings"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        # A 32-bit installer reaching for system32 would be sent here: a
        # launch from this copy shows in the record's image.
        shutil.copyfile(STANDIN, cls.prefix / "drive_c/windows/syswow64/dism.exe")

    def msiexec(self, arguments, **run):
        run = self.run_rolekit(arguments, program=self.prefix / "drive_c/windows/system32/msiexec.exe", again=False,
                               **run)
        if traceless(run):
            raise FreshPrefix(f"Wine ended the parent of msiexec {arguments} with {run.parent}")
        return run

    def registered(self):
        """The versions of the products named "rolekit example" that are registered."""
        # With 32-bit Wine installed, "wine reg" is the 32-bit reg.exe, which
        # reads the 32-bit view unless told otherwise; the package is 64-bit.
        keys = subprocess.run(["wine", "reg", "query", r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall",
                               "/s", "/reg:64"], env=self.env, capture_output=True, text=True, check=True).stdout
        return sorted(re.search(r"DisplayVersion\s+REG_SZ\s+(\S+)", key)[1] for key in keys.split("\n\n")
                      if re.search(r"DisplayName\s+REG_SZ\s+rolekit example$", key, re.M))

    def test_the_nsis_installer_shows_the_notices_as_its_licence(self):
        setup = (self.EXAMPLES / "rolekit-setup.exe").read_bytes()
        first = setup.index(b"\xef\xbe\xad\xdeNullsoftInst")  # the data's first header, after the stub
        size = struct.unpack_from("<I", setup, first + 24)[0] & 0x7FFFFFFF  # the high bit says compressed
        header = zlib.decompressobj(-15).decompress(setup[first + 28:first + 28 + size])
        self.assertIn(self.NOTICES.read_bytes().decode().encode("utf-16-le"), header)

    def in_own_prefix(self, case):
        """case() in a prefix of its own, so that no case's leftovers decide
        another's; all of it once more in a fresh one should Wine fail an
        msiexec in it without a trace."""
        shared = self.prefix, self.env
        for attempt in (1, 2):
            with winebox.prefix(self.EDITION, STANDIN) as (self.prefix, self.env):
                try:
                    return case()
                except FreshPrefix as error:
                    if attempt == 2:
                        raise
                    print(f"{self.id()}: {error}: the case once more in a fresh prefix", file=sys.stderr)
                finally:
                    self.prefix, self.env = shared

    def install(self, package, code):
        """msiexec on package, silently, with the tool answering code: its run,
        and the steps its log shows in and after InstallFinalize, or the line
        it ended on."""
        log = self.work / f"install-{self.runs}.log"
        run = self.msiexec(f"/qn /norestart /i {winebox.windows_path(package)} /l*v {winebox.windows_path(log)}",
                           tool_exit=code)
        steps = re.findall(r"^Action (start|ended) [\d:]+: (InstallFinalize|RequestRestart)\.|^(rolekit: .*)$",
                           log.read_text(), re.M)
        return run, [" ".join(step).strip() for step in steps]

    def test_installers_report_the_tool_outcome(self):
        nsis, nsis32, msi = (self.EXAMPLES / name for name in ("rolekit-setup.exe", "rolekit-setup-x86.exe",
                                                                "rolekit.msi"))
        # The package with its custom action handed a rolekit.exe that is not there.
        unstartable = self.work / "rolekit-unstartable.msi"
        shutil.copyfile(msi, unstartable)
        subprocess.run(["msibuild", unstartable, "-q", "UPDATE `CustomAction` SET `Target`="
                        "'\"[INSTALLDIR]missing.exe\" Kestrel,Orrery' WHERE `Action`='EnableFeatures.Data'"], check=True)
        # Windows Installer fails with 1603; Wine's msiexec has also been seen to say 1627.
        failed = {1603, 1627}
        cases = [  # installer, the tool's answer, the installer's exit codes, whether rolekit.exe starts
            *((setup, code, {code}, True) for setup in (nsis, nsis32) for code in (0, 3010, 0x800F081F)),
            *((self.UNSTARTABLE / f"rolekit-setup-unstartable-{target}.exe", 0, {1603}, False)
              for target in ("amd64-unicode", "x86-unicode")),
            (msi, 0, {0}, True), (msi, 3010, {3010}, True), (msi, 0x800F081F, failed, True),
            (unstartable, 0, failed, False),
        ]
        # rolekit runs inside the install script, which InstallFinalize runs;
        # only the immediate action after it may ask for the restart.
        recorded = {3010: ["rolekit: a restart is due; recorded for the end of the install"]}
        requested = {0: "rolekit: no restart due", 3010: "rolekit: restart requested for the end of the install"}
        for installer, code, exits, starts in cases:

            def case():
                run, steps = self.install(installer, code)
                ran = (f"rolekit: rolekit.exe exited with {code} (0x{code:08X})" if starts else
                       r'rolekit: could not start ("C:\Program Files\rolekit example\missing.exe" '
                       "Kestrel,Orrery): error 2 (0x00000002)")
                after = (["start RequestRestart", requested[code], "ended RequestRestart"]
                         if starts and code in requested else [])
                self.assertEqual(steps, ["start InstallFinalize", ran, *recorded.get(code, []),
                                         "ended InstallFinalize", *after])
                succeeded = run.code in (0, 3010)
                self.assertEqual(((self.prefix / self.INSTALLED).exists(), len(self.registered())),
                                 (succeeded, int(succeeded)))
                notices = self.prefix / self.INSTALLED.with_name("THIRD-PARTY-NOTICES.txt")
                self.assertEqual(notices.exists() and notices.read_bytes(), succeeded and self.NOTICES.read_bytes())
                if succeeded:
                    self.assertEqual(self.msiexec(f"/qn /x {winebox.windows_path(installer)}").code, 0)
                return run

            with self.subTest(installer=installer.name, code=hex(code)):
                if installer.suffix == ".msi":
                    run = self.in_own_prefix(case)
                elif "x86" in installer.name and not winebox.WINE32.exists():
                    self.skipTest(self.WINE32)
                else:
                    run = self.run_rolekit("/S", tool_exit=code, program=installer)
                self.assertIn(run.code, exits)
                self.assertEqual((run.stdout, run.stderr), (b"", b""))
                self.assertEqual(run.launches, [launch(dism_command(WEB_NEWER, MESSAGING))] if starts else [])

    @unittest.skipUnless(winebox.WINE32.exists(), WINE32)
    def test_on_32_bit_windows_the_32_bit_installer_refuses(self):
        with winebox.prefix(self.EDITION, arch="win32") as (_, env):
            run = subprocess.run(["wine", self.EXAMPLES / "rolekit-setup-x86.exe", "/S"], env=env,
                                 capture_output=True, timeout=120)
        self.assertEqual((run.returncode, run.stdout), (216, b""))  # ERROR_EXE_MACHINE_TYPE_MISMATCH

    def test_the_package_replaces_its_own_version_and_older_ones_and_refuses_a_newer_one(self):
        msi = self.EXAMPLES / "rolekit.msi"

        def table(name, package=msi):
            rows = subprocess.run(["msiinfo", "export", package, name], check=True, capture_output=True, text=True)
            return [line.split("\t") for line in rows.stdout.splitlines()[3:]]

        # Deferred actions only between InstallInitialize and InstallFinalize;
        # the upgrade rows: this version and older ones replaced (768: both
        # ends inclusive), newer ones only detected (2), and then refused.
        sequence = {row[0]: int(row[2]) for row in table("InstallExecuteSequence")}
        self.assertEqual([sequence[action] for action in ("FindRelatedProducts", "RefuseDowngrade",
                          "EnableFeatures.Data", "RemoveExistingProducts", "InstallInitialize", "InstallFiles",
                          "EnableFeatures", "InstallFinalize", "RequestRestart")],
                         [25, 26, 1001, 1401, 1500, 4000, 4001, 6600, 6601])
        self.assertEqual(sorted((row[6], row[4]) for row in table("Upgrade")),
                         [("ROLEKIT_NEWER", "2"), ("ROLEKIT_REPLACED", "768")])
        # Windows Installer compares the first three fields of a version only.
        version = dict(table("Property"))["ProductVersion"]
        major, minor, build, _ = version.split(".")
        newer = f"{major}.{minor}.{int(build) + 1}.0"

        def variant(name, version, product, package_code):
            """The package as rebuilt with another product code and version."""
            package = self.work / name
            shutil.copyfile(msi, package)
            subprocess.run(["msibuild", package, "-q", f"UPDATE `Property` SET `Value`='{product}' "
                            "WHERE `Property`='ProductCode'", "-q", f"UPDATE `Property` SET `Value`='{version}' "
                            "WHERE `Property`='ProductVersion'"], check=True)
            subprocess.run(["msibuild", package, "-s", "rolekit example", "rolekit contributors", "x64;1033",
                            package_code], check=True)
            return package

        rebuilt = variant("rolekit-rebuilt.msi", version, "{0F1E2D3C-4B5A-4969-8877-665544332211}",
                          "{1A2B3C4D-5E6F-4A0B-9C8D-7E6F5A4B3C2D}")
        newest = variant("rolekit-newer.msi", newer, "{5E4D3C2B-1A09-4F8E-9D7C-6B5A49382716}",
                         "{6F5E4D3C-2B1A-4098-8F7E-6D5C4B3A2918}")

        def case():
            first, _ = self.install(msi, 3010)
            self.assertEqual(self.msiexec(f"/qn /x {winebox.windows_path(msi)}").code, 0)
            # The same package, so the same record: one left behind would ask for a restart.
            again, steps = self.install(msi, 0)
            self.assertEqual((first.code, again.code), (3010, 0))
            self.assertEqual(steps[-3:], ["start RequestRestart", "rolekit: no restart due", "ended RequestRestart"])
            for package, registered in [(rebuilt, [version]), (newest, [newer])]:
                self.assertEqual(self.install(package, 0)[0].code, 0)
                self.assertEqual(self.registered(), registered, "the package it replaced is gone")
            older, steps = self.install(msi, 0)
            self.assertEqual((older.code, older.launches), (1603, []))
            self.assertIn("rolekit: a newer version is installed; this one refuses to replace it", steps)
            self.assertEqual((self.registered(), (self.prefix / self.INSTALLED).exists()), ([newer], True))
            # Were an old product still there, its component would keep the file.
            self.assertEqual(self.msiexec(f"/qn /x {winebox.windows_path(newest)}").code, 0)
            self.assertEqual(((self.prefix / self.INSTALLED).exists(), self.registered()), (False, []))

        self.in_own_prefix(case)


if __name__ == "__main__":
    unittest.main()
