"""The built rolekit.exe as Windows and an administrator see it, read with an
independent PE reader: manifest, version block, hardening, imports; and the
release: reproducible builds, the archive, its checksum and its signature."""

import hashlib
import json
import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest
import xml.etree.ElementTree as ET
import zipfile
from pathlib import Path

import pefile

ROLEKIT = Path(os.environ["ROLEKIT_EXE"])
SOURCE = Path(os.environ["ROLEKIT_SOURCE_DIR"])
VERSION = os.environ["ROLEKIT_VERSION"]  # four-part, from the CMake project
SPDX = f"rolekit-{VERSION}-win64.spdx.json"

RT_VERSION, RT_MANIFEST, LANG_EN_US = 16, 24, 0x0409
ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
SETTINGS_2005 = "{http://schemas.microsoft.com/SMI/2005/WindowsSettings}"
KNOWN_DLLS = {"KERNEL32.DLL", "MSVCRT.DLL", "SHELL32.DLL", "ADVAPI32.DLL"}

WRITE, EXECUTE = 0x80000000, 0x20000000
HIGH_ENTROPY_VA, DYNAMIC_BASE, NX_COMPAT, TERMINAL_SERVER_AWARE = 0x20, 0x40, 0x100, 0x8000
RELOCS_STRIPPED = 0x1
EXPORT, BASERELOC, DEBUG, DELAY_IMPORT = 0, 5, 6, 13


def sha256(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


def resources(pe, type_id):
    """{(id, language): bytes} of one resource type."""
    found = {}
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if kind.id != type_id:
            continue
        for name in kind.directory.entries:
            for language in name.directory.entries:
                data = language.data.struct
                found[(name.id, language.id)] = pe.get_data(data.OffsetToData, data.Size)
    return found


class PortableExecutable(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.data = ROLEKIT.read_bytes()
        cls.pe = pefile.PE(data=cls.data)

    def test_is_a_console_program_for_amd64(self):
        self.assertEqual(self.pe.FILE_HEADER.Machine, 0x8664)
        self.assertEqual(self.pe.OPTIONAL_HEADER.Magic, 0x20B, "PE32+")
        self.assertEqual(self.pe.OPTIONAL_HEADER.Subsystem, 3, "console")

    def test_is_small(self):
        self.assertLessEqual(len(self.data), 180 * 1024)

    def test_manifest_requires_administrator_and_lists_no_system(self):
        self.assertEqual(list(resources(self.pe, RT_MANIFEST)), [(1, LANG_EN_US)], "exactly one manifest")
        text = resources(self.pe, RT_MANIFEST)[(1, LANG_EN_US)]
        self.assertTrue(text.startswith(b'\xef\xbb\xbf<?xml version="1.0" encoding="UTF-8" standalone="yes"?>'))
        root = ET.fromstring(text[3:])
        self.assertEqual((root.tag, root.attrib), (ASM_V1 + "assembly", {"manifestVersion": "1.0"}))
        self.assertEqual([child.tag for child in root], [ASM_V3 + "trustInfo", ASM_V3 + "application"])

        privileges = root.find(f"{ASM_V3}trustInfo/{ASM_V3}security/{ASM_V3}requestedPrivileges")
        self.assertEqual([(e.tag, e.attrib) for e in privileges],
                         [(ASM_V3 + "requestedExecutionLevel", {"level": "requireAdministrator", "uiAccess": "false"})])

        settings = root.find(f"{ASM_V3}application/{ASM_V3}windowsSettings")
        self.assertEqual([(e.tag, e.text) for e in settings], [(SETTINGS_2005 + "dpiAware", "true")])

        tags = {element.tag.split("}")[-1] for element in root.iter()}
        self.assertEqual(tags, {"assembly", "trustInfo", "security", "requestedPrivileges",
                                "requestedExecutionLevel", "application", "windowsSettings", "dpiAware"})

    def test_version_block_names_the_program(self):
        self.assertEqual(list(resources(self.pe, RT_VERSION)), [(1, LANG_EN_US)])
        fixed = self.pe.VS_FIXEDFILEINFO[0]
        numbers = [int(part) for part in VERSION.split(".")]
        packed = ((numbers[0] << 16) | numbers[1], (numbers[2] << 16) | numbers[3])
        self.assertEqual((fixed.FileVersionMS, fixed.FileVersionLS), packed)
        self.assertEqual((fixed.ProductVersionMS, fixed.ProductVersionLS), packed)
        self.assertEqual((fixed.FileFlagsMask, fixed.FileFlags, fixed.FileOS, fixed.FileType, fixed.FileSubtype),
                         (0x3F, 0, 0x40004, 1, 0))
        self.assertEqual((fixed.FileDateMS, fixed.FileDateLS), (0, 0))

        tables = [table for info in self.pe.FileInfo[0] if info.Key == b"StringFileInfo" for table in info.StringTable]
        self.assertEqual([table.LangID for table in tables], [b"040904b0"])
        self.assertEqual(tables[0].entries, {
            b"CompanyName": b"rolekit contributors",
            b"FileDescription": b"rolekit",
            b"FileVersion": VERSION.encode(),
            b"InternalName": b"rolekit.exe",
            b"LegalCopyright": b"Copyright (c) rolekit contributors",
            b"OriginalFilename": b"rolekit.exe",
            b"ProductName": b"rolekit",
            b"ProductVersion": VERSION.encode(),
        })
        translations = [var.entry for info in self.pe.FileInfo[0] if info.Key == b"VarFileInfo" for var in info.Var]
        self.assertEqual(translations, [{b"Translation": "0x0409 0x04b0"}])

    def test_address_space_protections(self):
        characteristics = self.pe.OPTIONAL_HEADER.DllCharacteristics
        for flag, name in [(DYNAMIC_BASE, "ASLR"), (HIGH_ENTROPY_VA, "high-entropy ASLR"),
                           (NX_COMPAT, "DEP"), (TERMINAL_SERVER_AWARE, "terminal-server aware")]:
            self.assertTrue(characteristics & flag, name)
        self.assertFalse(self.pe.FILE_HEADER.Characteristics & RELOCS_STRIPPED)
        self.assertGreater(self.pe.OPTIONAL_HEADER.DATA_DIRECTORY[BASERELOC].Size, 0, "relocations kept")
        for section in self.pe.sections:
            self.assertNotEqual(section.Characteristics & (WRITE | EXECUTE), WRITE | EXECUTE, section.Name)

    def test_stack_and_buffer_checks_are_linked_in(self):
        self.assertIn(b"*** stack smashing detected ***", self.data)
        self.assertIn(b"*** buffer overflow detected ***", self.data)

    def test_carries_no_symbols_debug_data_paths_or_time(self):
        self.assertEqual(self.pe.FILE_HEADER.TimeDateStamp, 0)
        self.assertEqual((self.pe.FILE_HEADER.PointerToSymbolTable, self.pe.FILE_HEADER.NumberOfSymbols), (0, 0))
        self.assertEqual(self.pe.OPTIONAL_HEADER.DATA_DIRECTORY[DEBUG].Size, 0)
        self.assertFalse([s.Name for s in self.pe.sections if s.Name.startswith(b".debug")])
        self.assertNotIn(str(SOURCE).encode(), self.data)

    def test_imports_only_known_system_dlls_and_exports_nothing(self):
        imported = {entry.dll.decode().upper() for entry in self.pe.DIRECTORY_ENTRY_IMPORT}
        self.assertLessEqual(imported, KNOWN_DLLS)
        self.assertIn("SHELL32.DLL", imported)
        self.assertEqual(self.pe.OPTIONAL_HEADER.DATA_DIRECTORY[DELAY_IMPORT].Size, 0, "nothing delay-loaded")
        self.assertEqual(self.pe.OPTIONAL_HEADER.DATA_DIRECTORY[EXPORT].Size, 0, "no exports")


class Release(unittest.TestCase):
    """Two clean builds of copies of the source, in different folders and at
    different times; the second signs its archive with a throwaway certificate."""

    @classmethod
    def setUpClass(cls):
        cls.work = Path(tempfile.mkdtemp(prefix="rolekit-release-"))
        cls.builds = []
        for name in ("first", "second-elsewhere"):
            if cls.builds:
                time.sleep(2)
            tree = cls.work / name / "rolekit"
            shutil.copytree(SOURCE, tree, ignore=shutil.ignore_patterns("build", ".git", "__pycache__"))
            cls.builds.append(tree)
        cls.make_certificate()
        for tree, signing in zip(cls.builds, ([], [f"-DROLEKIT_SIGNING_PFX={cls.work / 'signer.pfx'}"])):
            cls.run_in(tree, ["cmake", "--preset", "windows", "-DBUILD_TESTING=OFF", *signing])
            cls.run_in(tree, ["cmake", "--build", "--preset", "windows"])
            cls.run_in(tree, ["cpack", "--preset", "windows"], ROLEKIT_SIGNING_PASSWORD="throwaway pass")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    @classmethod
    def run_in(cls, tree, command, **env):
        subprocess.run(command, cwd=tree, env=dict(os.environ, **env), check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)

    @classmethod
    def make_certificate(cls):
        key, cert = cls.work / "key.pem", cls.work / "cert.pem"
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                        "-subj", "/CN=rolekit throwaway signer", "-keyout", key, "-out", cert],
                       check=True, capture_output=True)
        subprocess.run(["openssl", "pkcs12", "-export", "-inkey", key, "-in", cert, "-name", "rolekit",
                        "-passout", "pass:throwaway pass", "-out", cls.work / "signer.pfx"],
                       check=True, capture_output=True)

    def archive(self, tree):
        return tree / "build/windows/release" / f"rolekit-{VERSION}-win64.zip"

    def test_clean_builds_are_byte_identical(self):
        hashes = {sha256(tree / "build/windows/rolekit.exe") for tree in self.builds}
        self.assertEqual(hashes, {sha256(ROLEKIT)})

    def test_archive_holds_the_program_readme_and_license_with_its_checksum(self):
        for tree in self.builds:
            archive = self.archive(tree)
            with zipfile.ZipFile(archive) as zip:
                self.assertEqual(sorted(zip.namelist()),
                                 ["LICENSE", "README.md", "THIRD-PARTY-NOTICES.txt", SPDX, "rolekit.exe"])
                self.assertEqual(zip.read("LICENSE"), (SOURCE / "LICENSE").read_bytes())
            line = Path(f"{archive}.sha256").read_text()
            self.assertEqual(line.split(), [sha256(archive), archive.name])
        with zipfile.ZipFile(self.archive(self.builds[0])) as zip:
            self.assertEqual(zip.read("rolekit.exe"), ROLEKIT.read_bytes(), "unsigned without a certificate")

    def test_notices_and_bill_of_materials_name_every_archive_linked_in(self):
        def archives(link_map):
            return set(re.findall(r"^/\S*/([^/\s]+\.a)\(", link_map.read_text(), re.MULTILINE))

        for tree in self.builds:
            build = tree / "build/windows"
            with zipfile.ZipFile(self.archive(tree)) as zip:
                notices = zip.read("THIRD-PARTY-NOTICES.txt").decode()
                document = zip.read(SPDX)
            self.assertEqual(document, (self.archive(tree).parent / SPDX).read_bytes(), "the same beside the zip")
            document = json.loads(document)
            rolekit, *components = document["packages"]
            self.assertEqual((rolekit["name"], rolekit["versionInfo"], rolekit["checksums"]),
                             ("rolekit", VERSION, [{"algorithm": "SHA256", "checksumValue": sha256(ROLEKIT)}]))
            linked = archives(build / "rolekit.map")
            self.assertLessEqual({"libstdc++.a", "libgcc.a", "libssp.a", "libpthread.a", "libmingwex.a"}, linked)
            self.assertLessEqual(linked, {c["name"] for c in components})
            self.assertFalse([c for c in components if "NOASSERTION" in (c["versionInfo"], c["licenseDeclared"])])
            self.assertEqual([(r["spdxElementId"], r["relationshipType"], r["relatedSpdxElement"])
                              for r in document["relationships"]],
                             [("SPDXRef-DOCUMENT", "DESCRIBES", "SPDXRef-rolekit")] +
                             [("SPDXRef-rolekit", "STATIC_LINK", c["SPDXID"]) for c in components])
            for archive in linked | archives(build / "examples/rolekit_custom_action.map"):
                self.assertIn(f" {archive} (", notices)
            for text in ("GCC RUNTIME LIBRARY EXCEPTION", "Files: mingw-w64-libraries/winpthreads/*"):
                self.assertIn(text, notices)

    def test_signed_archive_verifies_and_keeps_the_password_out_of_the_build(self):
        signed = self.work / "signed.exe"
        with zipfile.ZipFile(self.archive(self.builds[1])) as zip:
            signed.write_bytes(zip.read("rolekit.exe"))
        verify = subprocess.run(["osslsigncode", "verify", "-CAfile", self.work / "cert.pem", "-in", signed],
                                capture_output=True, text=True)
        self.assertEqual(verify.returncode, 0, verify.stdout + verify.stderr)
        self.assertIn("Signature verification: ok", verify.stdout)
        unsigned = subprocess.run(["osslsigncode", "verify", "-CAfile", self.work / "cert.pem", "-in", ROLEKIT],
                                  capture_output=True)
        self.assertNotEqual(unsigned.returncode, 0)
        build = self.builds[1] / "build"
        leaks = [p for p in build.rglob("*") if p.is_file() and b"throwaway pass" in p.read_bytes()]
        self.assertEqual(leaks, [])


class SecondManifest(unittest.TestCase):
    def test_a_second_manifest_fails_the_build(self):
        build = subprocess.run(["cmake", "--build", os.environ["ROLEKIT_BUILD_DIR"], "--target", "rolekit_two_manifests"],
                               capture_output=True, text=True)
        self.assertNotEqual(build.returncode, 0)
        self.assertIn("multiple non-default manifests", build.stdout + build.stderr)


if __name__ == "__main__":
    unittest.main()
