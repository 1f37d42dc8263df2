"""rolekit.exe end to end under Wine, on one edition (what differs by edition
is in test_editions): the bytes a user or a calling script sees, the exit
code in full, exactly what dism.exe is started with; then the limits: the
longest command line, ANSI code pages, a misbehaving tool."""

import shutil
import time
import unittest

import e2e
import standin
from e2e import BY_TYPE, CONVERT, EXIT, LAUNCH, ROLEKIT, STANDIN, USAGE, VERSION

WEB, MESSAGING = e2e.lists("windows-10-11")
BOTH = e2e.dism_command(WEB, MESSAGING)


class CommandLine(e2e.WinePrefix, unittest.TestCase):

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
        cases = [  # what dism.exe must be started with, for each of these arguments (Orrery after list A)
            (e2e.dism_command(WEB), ["Kestrel", "Tamarind", "Lanternfly", ",Kestrel,Kestrel,", '"Kestrel, Orrery"',
                                     "Kestrel, Orrery", "Kestrel Orrery", "Nightjar,Kestrel,/?"]),
            (e2e.dism_command(MESSAGING), ["Orrery"]),
            (BOTH, ["kEsTrEl,ORRERY", "orrery,LANTERNFLY", "Orrery,,Lanternfly,tamarind,Kestrel,Orrery,"]),
        ]
        for command, given in cases:
            for arguments in given:
                with self.subTest(arguments=arguments):
                    self.assertOutcome(self.run_rolekit(arguments, starts_dism=True), command)

    def test_a_launch_that_fails_exits_non_zero_prints_nothing_and_starts_no_other_dism(self):
        # With system32's dism.exe gone, copies beside the program and in the
        # current folder (a downloads folder, say) must not be run instead.
        downloads = self.work / "Downloads"
        downloads.mkdir(exist_ok=True)
        shutil.copyfile(e2e.launch.unix_path(ROLEKIT, self.env), downloads / "rolekit.exe")
        shutil.copyfile(STANDIN, downloads / "dism.exe")
        dism = self.prefix / "drive_c/windows/system32/dism.exe"
        dism.unlink()
        try:
            runs = [self.run_rolekit("Kestrel", program=program, cwd=downloads, trace=True, again=False)
                    for program in (ROLEKIT, downloads / "rolekit.exe")]
        finally:
            shutil.copyfile(STANDIN, dism)
        for run in runs:
            self.assertEqual((run.stdout, run.stderr, run.launches, run.code), (b"", b"", [], 2))
            self.assertEqual(run.calls, CONVERT + [VERSION, *BY_TYPE] + LAUNCH + EXIT, "no wait after a failed launch")

    def test_a_closed_standard_output_changes_no_exit_code(self):
        for arguments, code, launches in [(None, 1, 0), ('""', 2, 0), ("/?", 2, 0), ("Orrery", e2e.LEFT_OFF, 1)]:
            with self.subTest(arguments=arguments):
                run = self.run_rolekit(arguments, starts_dism=bool(launches), ROLEKIT_TEST_STDOUT="closed")
                self.assertEqual((run.stdout, run.stderr, run.code, len(run.launches)), (b"", b"", code, launches))


class Limits(e2e.WinePrefix, unittest.TestCase):
    """Hostile input and a misbehaving tool."""

    def test_the_longest_command_line(self):
        # Windows takes 32,767 units with the terminating NUL; the program's
        # quoted path and a blank stand before the argument.
        head = f'"{ROLEKIT}" '
        room = 32766 - len(head)
        for unit, command in [("Kestrel,Orrery,", BOTH), ("kestrel,", e2e.dism_command(WEB)), (",", None)]:
            argument = (unit * (room // len(unit) + 1))[:room]
            with self.subTest(unit=unit):
                self.assertOutcome(self.run_rolekit(argument, starts_dism=command is not None), command)

    def test_ansi_code_pages(self):
        # Windows hands the program its argument in the ANSI code page,
        # mapping what that page lacks to a best-fit letter or "?".
        web, messaging = e2e.dism_command(WEB), e2e.dism_command(MESSAGING)
        # No product (the last with a Cyrillic e), then products among them: Orrery after Kestrel has its parents.
        cases = [*((argument, None) for argument in ("Ünïcödé", "Привет", "日本語", "\U0001F600", "Kestr\u0435l")),
                 ("Kestrel,Ünïcödé,Привет,日本語,\U0001F600", web), ("Ünïcödé,Orrery,Привет", messaging)]
        fullwidth = "\uFF2B\uFF45\uFF53\uFF54\uFF52\uFF45\uFF4C"  # Kestrel in fullwidth letters
        for locale, code_page, folds_fullwidth in [("en_US.UTF-8", 1252, True), ("ru_RU.UTF-8", 1251, True),
                                                   ("ja_JP.UTF-8", 932, False)]:
            for argument, command in cases + [(fullwidth, web if folds_fullwidth else None)]:
                with self.subTest(locale=locale, argument=argument):
                    run = self.run_rolekit(argument, starts_dism=command is not None, LC_ALL=locale)
                    self.assertEqual(run.code_page, code_page, f"is the locale {locale} generated?")
                    self.assertOutcome(run, command)

    def test_the_tools_exit_code_passes_through_in_full_and_only_a_success_enables(self):
        slow, crash = {"ROLEKIT_STANDIN_SLEEP_MS": "4000"}, {"ROLEKIT_STANDIN_CRASH": "1"}
        for code, behaviour in [(0, {}), (1, {}), (2, {}), (3010, slow), (0x800F081F, {}), (0xC0000005, crash),
                                (0xFFFFFFFF, {})]:
            with self.subTest(code=hex(code)):
                standin.new_machine(self.prefix, self.EDITION)
                started = time.monotonic()
                run = self.run_rolekit("Kestrel", tool_exit=code, starts_dism=True, **behaviour)
                self.assertGreaterEqual(time.monotonic() - started, 4 * (behaviour is slow), "waited for")
                # Wine's note of a fault is a line of its own, which Windows
                # would not print; no debugger dump reaches either stream.
                self.assertLaunched(run, e2e.dism_command(WEB))
                self.assertEqual(run.code, code)
                # Orrery finds its parents only where the web server was enabled.
                self.assertEqual(self.run_rolekit("Orrery", starts_dism=True).code,
                                 0 if code in (0, 3010) else e2e.LEFT_OFF)


if __name__ == "__main__":
    unittest.main()
