"""The harness's own rules, checked without running Wine: which failures are
Wine's and run once more, that the edition tables agree with each other, and
that a prefix whose making failed is never there to be used."""

import io
import os
import subprocess
import tempfile
import unittest
from pathlib import Path
from unittest import mock

import launch
import prefixes
import relay
import standin

RAN = launch.Ran(0, b"", b"")
UNSTARTED = launch.CouldNotStart("dism.exe", "rolekit.exe exited with 2 (0x00000002) and started no dism.exe")


class Policy(unittest.TestCase):

    def test_only_a_start_that_wine_failed_runs_once_more_and_a_second_is_an_error(self):
        first = launch.CouldNotStart("cmd.exe", "CreateProcessW failed with error 1359", first=True)
        cases = [  # what the attempts give, whether a start below the first may be retried, how many attempts
            # are made, how many fresh prefixes, the outcome (None: WineFailed)
            ([UNSTARTED, UNSTARTED], True, 2, 1, None),
            ([UNSTARTED, RAN], True, 2, 1, RAN),
            ([launch.Unstarted(UNSTARTED), RAN], True, 2, 1, RAN),
            ([launch.Ran(0x800F081F, b"", b"")], True, 1, 0, launch.Ran(0x800F081F, b"", b"")),  # the product's failure
            ([launch.TimedOut("rolekit.exe", 600)], True, 1, 0, None),
            ([launch.Crashed("report_exit.exe", 1)], True, 1, 0, None),  # after dism.exe ran: never again
            # A case whose own start below is under test: only its first program's start is retried, in place.
            ([UNSTARTED], False, 1, 0, None),
            ([first, RAN], False, 2, 0, RAN),
        ]
        for given, deeper, attempts, fresh_prefixes, outcome in cases:
            with self.subTest(given=given, deeper=deeper):
                said, fresh = [], mock.Mock()
                attempt = mock.Mock(side_effect=given)
                if outcome is None:
                    self.assertRaises(launch.WineFailed, launch.retried, attempt, fresh, said.append, deeper)
                else:
                    self.assertEqual(launch.retried(attempt, fresh, said.append, deeper), outcome)
                self.assertEqual((attempt.call_count, fresh.call_count, len(said)),
                                 (attempts, fresh_prefixes, attempts - 1))

    def test_wines_own_lines_are_kept_apart_from_the_programs(self):
        # As Wine printed them beside the programs' own, on a loaded machine.
        wine = [b"049c:err:console:alloc_console Can't allocate console",
                b"err:virtual:virtual_alloc_first_teb wine: failed to map the shared user data: c0000018",
                b"0024:0028:Call KERNEL32.CloseHandle(00000004) ret=140001234",
                b"wine: Unhandled page fault on write access to 0000000000000000 at address 00000001400C8889",
                b"Read the Wine Developers Guide on how to set up winedbg or another debugger"]
        own = b"Can't recognize '\"C:\\rk\\rolekit.exe\"' as an internal or external command, or batch script.\r\n"
        stderr = b"\n".join(wine[:3]) + b"\n" + own + b"\n".join(wine[3:])
        self.assertEqual(launch.split(stderr), (own, tuple(wine)))

    def test_the_calls_traced_are_the_programs_own_whoever_wrote_first(self):
        # Lines as Wine writes them: another process's and a message of Wine's may come before the image
        # loading, and the dism.exe it starts loads at the same address.
        trace = [b'01c0:01c4:trace:relay:load_list L"RelayInclude" = L"CloseHandle"',
                 b"01b0:01b4:fixme:ntdll:NtQuerySystemInformation info_class SYSTEM_PERFORMANCE_INFORMATION",
                 rb'01b0:01b4:trace:loaddll:build_module Loaded L"C:\\rk\\rolekit.exe" at 0000000140000000: native',
                 rb'01b8:01bc:trace:loaddll:build_module Loaded L"C:\\rk\\dism.exe" at 0000000140000000: native',
                 b"01b8:01bc:Call KERNEL32.CloseHandle(00000008) ret=140001234",
                 b"01b0:01b4:Call KERNEL32.CloseHandle(00000004) ret=2282b5ed0",
                 b"01b0:01b4:Call KERNEL32.CloseHandle(00000004) ret=140001234"]
        self.assertEqual(relay.platform_calls(trace, "rolekit.exe", 0x10000), ["CloseHandle(h1)"])
        self.assertRaises(ValueError, relay.platform_calls, trace[:1], "rolekit.exe", 0x10000)

    def test_a_start_that_failed_at_any_depth_is_one_that_wine_could_not_start(self):
        cmd = b"Can't recognize '\"C:\\rk\\rolekit.exe\" Kestrel' as an internal or external command, or batch script."
        cases = [  # report_exit's exit code, what it wrote, the output, whether dism.exe ran and should have,
            # the outcome, the program it names and whether that is the run's first (None: a Ran)
            (102, "error\n1455\n", b"", False, False, ("CouldNotStart", "rolekit.exe", True)),
            (1, "", b"", False, False, ("CouldNotStart", "report_exit.exe", True)),
            (1, "", b"", True, True, ("Crashed", "report_exit.exe", None)),
            (0, "9009\n1252\n", cmd, False, False, ("CouldNotStart", '"C:\\rk\\rolekit.exe" Kestrel', False)),
            (0, "1603\n1252\n", b"", False, True, ("CouldNotStart", "dism.exe", False)),
            (0, "2\n1252\n", b"", False, False, None),  # a launch that fails is the product's own outcome
            (0, "50\n1252\n", b"", True, True, None),
        ]
        with tempfile.TemporaryDirectory() as work, mock.patch.dict(os.environ, ROLEKIT_BUILD_DIR=work):
            for number, (parent, written, output, ran, starts_dism, unstarted) in enumerate(cases):
                scratch = Path(work) / str(number)
                Path(f"{scratch}.exit").write_text(written)
                if ran:
                    Path(f"{scratch}.dism.log").write_text("image=x\ncommand=x\nleft-off=Child:Parent\n\n")
                with self.subTest(written=written, output=output), \
                        mock.patch.object(launch, "launch", return_value=launch.Ran(parent, b"", output)):
                    outcome = launch.run_program({}, Path(work) / "rolekit.exe", "Kestrel", scratch, work,
                                                 starts_dism=starts_dism)
                    self.assertEqual(None if isinstance(outcome, launch.Ran) else
                                     (type(outcome).__name__, outcome.program, getattr(outcome, "first", None)),
                                     unstarted, outcome)


class Tables(unittest.TestCase):

    def test_the_edition_tables_agree(self):
        features = {row["name"]: row for row in standin.rows("features.tsv")}
        parents = {row["name"]: row for row in standin.rows("parents.tsv")}
        named = set()
        for row in parents.values():
            for server in (False, True):
                with self.subTest(name=row["name"], server=server):
                    found = standin.parents(row, server)  # a parent cell holds feature names, or "-"
                    if found is None:  # or says which kind of edition has no such feature
                        kind = [edition.features for edition in standin.editions().values() if edition.server == server]
                        has = features.get(row["name"], {})
                        self.assertEqual({has.get(column, "0") for column in kind}, {"0"})
                    else:
                        self.assertLessEqual(set(found), set(parents), "every parent has a row of its own")
                        named |= set(found)
        # Every feature has its parents given; only the roots they hang from are not handed to DISM.
        self.assertLessEqual(set(features), set(parents))
        self.assertLessEqual(set(parents) - set(features), named)
        for name, edition in standin.editions().items():
            with self.subTest(edition=name):
                self.assertIn(edition.features, next(iter(features.values())))
                self.assertLessEqual(set(edition.never_enabled), set(standin.edition_features(name)))


class Prefixes(unittest.TestCase):

    def test_a_prefix_whose_making_failed_is_not_there(self):
        def step(argv, env, cwd=None):
            if argv[0] == "winecfg":
                raise subprocess.CalledProcessError(1, argv, stderr="winecfg failed")

        with tempfile.TemporaryDirectory() as build, mock.patch.dict(os.environ, ROLEKIT_BUILD_DIR=build), \
                mock.patch.object(prefixes, "step", step), mock.patch("sys.stderr", io.StringIO()) as said:
            self.assertRaises(subprocess.CalledProcessError, prefixes.template, "windows-7")
            self.assertEqual(sorted(path.name for path in Path(build, "wine-templates").iterdir()),
                             ["new-win64", "new-win64.lock", "windows-7.lock"])
        self.assertEqual(said.getvalue().count("making the Wine prefix windows-7 failed (winecfg failed)"), 2)


if __name__ == "__main__":
    unittest.main()
