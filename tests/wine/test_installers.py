"""The example installers under Wine, run silently, with the tool answering
success, restart due and failure: each must start rolekit, and so dism.exe,
once, and report the outcome as its own."""

import dataclasses
import re
import shutil
import struct
import subprocess
import unittest
import zipfile
import zlib
from pathlib import Path

import e2e
import launch
import prefixes
from e2e import STANDIN

BOTH = e2e.dism_command(*e2e.lists("windows-10-11"))
MSIEXEC = e2e.SYSTEM32 + r"\msiexec.exe"
UNINSTALL = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"


class Installers(e2e.WinePrefix, unittest.TestCase):
    """The 32-bit NSIS installer's cases need 32-bit Wine, and are skipped without it."""

    # The installers as the release ships them; beside the harness's
    # programs, test builds of variants that no release has.
    NSIS, NSIS32, MSI = (e2e.RELEASE / e2e.FILES[what] for what in ("setup", "setup-x86", "msi"))
    UNSTARTABLE = launch.built("tests/wine")
    INSTALLED = Path("drive_c/Program Files/rolekit example/rolekit.exe")
    WINE32 = "needs 32-bit Wine, which wine32:i386 brings"

    @classmethod
    def prepare(cls, path):
        super().prepare(path)
        # A 32-bit installer reaching for system32 would be sent here: a
        # launch from this copy shows in the record's image.
        shutil.copyfile(STANDIN, path / "drive_c/windows/syswow64/dism.exe")

    def msiexec(self, arguments, **run):
        """An msiexec run inside a case of several, which may have installed
        something: should Wine fail to start something in it, the whole case
        runs once more (in_own_prefix)."""
        outcome = self.attempt(arguments, program=MSIEXEC, **run)
        if isinstance(outcome, launch.CouldNotStart):
            raise launch.Unstarted(outcome)
        return launch.ran(outcome)

    def registered(self):
        """The versions of the products named "rolekit example" that are registered."""
        # With 32-bit Wine installed, "wine reg" is the 32-bit reg.exe, which
        # reads the 32-bit view unless told otherwise; the package is 64-bit.
        query = launch.ran(launch.launch(["wine", "reg", "query", UNINSTALL, "/s", "/reg:64"], self.env))
        self.assertEqual(query.code, 0, query)
        keys = query.stdout.decode().replace("\r\n", "\n")
        return sorted(re.search(r"DisplayVersion\s+REG_SZ\s+(\S+)", key)[1] for key in keys.split("\n\n")
                      if re.search(r"DisplayName\s+REG_SZ\s+rolekit example$", key, re.M))

    def notices(self):
        """The notices the release ships in its zip, which every installer carries too."""
        with zipfile.ZipFile(e2e.ZIP) as archive:
            return archive.read("THIRD-PARTY-NOTICES.txt")

    def test_the_nsis_installer_shows_the_notices_as_its_licence(self):
        setup = self.NSIS.read_bytes()
        first = setup.index(b"\xef\xbe\xad\xdeNullsoftInst")  # the data's first header, after the stub
        size = struct.unpack_from("<I", setup, first + 24)[0] & 0x7FFFFFFF  # the high bit says compressed
        header = zlib.decompressobj(-15).decompress(setup[first + 28:first + 28 + size])
        self.assertIn(self.notices().decode().encode("utf-16-le"), header)

    def in_own_prefix(self, case):
        """case() in a prefix of its own, so that no case's leftovers decide
        another's; all of it once more in a fresh one should Wine fail to
        start something in one of its runs."""

        def attempt():
            with prefixes.prefix(self.EDITION, STANDIN) as (self.prefix, self.env):
                self.prepare(self.prefix)
                try:
                    return case()
                finally:
                    del self.prefix, self.env  # the class's own again

        return launch.retried(attempt, lambda: None, self.say)

    def install(self, package, code, starts=True):
        """msiexec on package, silently, with the tool answering code: its run,
        and the steps its log shows in and after InstallFinalize, or the line
        it ended on."""
        log = self.work / f"install-{self.runs}.log"
        try:
            run = self.msiexec(f"/qn /norestart /i {launch.windows_path(package)} /l*v {launch.windows_path(log)}",
                               tool_exit=code, starts_dism=starts)
        except launch.Unstarted as unstarted:  # the custom action's line says why
            said = re.findall(r"^rolekit: could not start .*$", log.read_text() if log.exists() else "", re.M)
            outcome = unstarted.outcome
            raise launch.Unstarted(dataclasses.replace(outcome, reason="; ".join([outcome.reason, *said])))
        steps = re.findall(r"^Action (start|ended) [\d:]+: (InstallFinalize|RequestRestart)\.|^(rolekit: .*)$",
                           log.read_text(), re.M)
        return run, [" ".join(step).strip() for step in steps]

    def test_installers_report_the_tool_outcome(self):
        nsis, nsis32, msi = self.NSIS, self.NSIS32, self.MSI
        # A variant of the package, its custom action handed a rolekit.exe
        # that is not there: no release has one that cannot start rolekit.
        unstartable = self.work / "rolekit-unstartable.msi"
        shutil.copyfile(msi, unstartable)
        subprocess.run(["msibuild", unstartable, "-q", "UPDATE `CustomAction` SET `Target`="
                        "'\"[INSTALLDIR]missing.exe\" Kestrel,Orrery' WHERE `Action`='EnableFeatures.Data'"], check=True)
        # Windows Installer fails with 1603; Wine's msiexec has also been seen to say 1627.
        failed = {1603, 1627}
        cases = [  # installer, the tool's answer, the installer's exit codes, whether rolekit.exe starts
            *((setup, code, {code}, True) for setup in (nsis, nsis32) for code in (0, 3010, 0x800F081F)),
            # Variants built for the test, pointed at a rolekit.exe that is not there.
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
                run, steps = self.install(installer, code, starts)
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
                self.assertEqual(notices.exists() and notices.read_bytes(), succeeded and self.notices())
                if succeeded:
                    self.assertEqual(self.msiexec(f"/qn /x {launch.windows_path(installer)}").code, 0)
                return run

            with self.subTest(installer=installer.name, code=hex(code)):
                if installer.suffix == ".msi":
                    run = self.in_own_prefix(case)
                elif "x86" in installer.name and not prefixes.WINE32.exists():
                    self.skipTest(self.WINE32)
                else:
                    run = self.run_rolekit("/S", tool_exit=code, program=installer, again=starts, starts_dism=starts)
                self.assertIn(run.code, exits)
                self.assertEqual((run.stdout, run.stderr), (b"", b""), e2e.said(run))
                self.assertEqual(run.launches, [e2e.record(BOTH)] if starts else [])

    @unittest.skipUnless(prefixes.WINE32.exists(), WINE32)
    def test_on_32_bit_windows_the_32_bit_installer_refuses(self):
        def attempt():
            with prefixes.prefix(self.EDITION, arch="win32") as (_, env):
                return launch.launch(["wine", self.NSIS32, "/S"], env)

        run = launch.retried(attempt, lambda: None, self.say)
        self.assertEqual((run.code, run.stdout), (216, b""))  # ERROR_EXE_MACHINE_TYPE_MISMATCH

    def test_the_package_replaces_its_own_version_and_older_ones_and_refuses_a_newer_one(self):
        msi = self.MSI

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
            """The package as rebuilt with another product code and version: a
            later build and a later release, which this release cannot ship."""
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
            self.assertEqual(self.msiexec(f"/qn /x {launch.windows_path(msi)}").code, 0)
            # The same package, so the same record: one left behind would ask for a restart.
            again, steps = self.install(msi, 0)
            self.assertEqual((first.code, again.code), (3010, 0))
            self.assertEqual(steps[-3:], ["start RequestRestart", "rolekit: no restart due", "ended RequestRestart"])
            for package, registered in [(rebuilt, [version]), (newest, [newer])]:
                self.assertEqual(self.install(package, 0)[0].code, 0)
                self.assertEqual(self.registered(), registered, "the package it replaced is gone")
            older, steps = self.install(msi, 0, starts=False)
            self.assertEqual((older.code, older.launches), (1603, []))
            self.assertIn("rolekit: a newer version is installed; this one refuses to replace it", steps)
            self.assertEqual((self.registered(), (self.prefix / self.INSTALLED).exists()), ([newer], True))
            # Were an old product still there, its component would keep the file.
            self.assertEqual(self.msiexec(f"/qn /x {launch.windows_path(newest)}").code, 0)
            self.assertEqual(((self.prefix / self.INSTALLED).exists(), self.registered()), (False, []))

        self.in_own_prefix(case)


if __name__ == "__main__":
    unittest.main()
