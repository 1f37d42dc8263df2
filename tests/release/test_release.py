"""The built rolekit.exe as Windows and an administrator see it, read with an
independent PE reader: manifest, version block, hardening, imports; and the
release: reproducible builds, the archive, its checksum and its signature."""

import contextlib
import hashlib
import http.server
import json
import os
import re
import shutil
import subprocess
import tempfile
import threading
import unittest
import xml.etree.ElementTree as ET
import zipfile
from pathlib import Path

import jsonschema
import pefile

BUILD = Path(os.environ["ROLEKIT_BUILD_DIR"])
ROLEKIT = BUILD / "rolekit.exe"
SOURCE = Path(__file__).resolve().parents[2]
# Four-part, from the CMake project.
VERSION = re.search(r"^CMAKE_PROJECT_VERSION:STATIC=(.*)$", (BUILD / "CMakeCache.txt").read_text(), re.M)[1]
# The release's file names, by what each file is.
FILES = {what: name.replace("@VERSION@", VERSION) for what, name in
         (line.split("\t") for line in (SOURCE / "cmake/release-files.tsv").read_text().splitlines()[1:])}
SPDX = FILES["spdx"]

RT_VERSION, RT_MANIFEST, LANG_EN_US = 16, 24, 0x0409
# Microsoft's supportedOS Ids: Windows 7, 8, 8.1, and 10 and 11.
SUPPORTED_OS = ["{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
                "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"]
# The whole manifest, in canonical XML: nothing more may be in it.
MANIFEST = ('<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">'
            '<trustInfo xmlns="urn:schemas-microsoft-com:asm.v3"><security><requestedPrivileges>'
            '<requestedExecutionLevel level="requireAdministrator" uiAccess="false"></requestedExecutionLevel>'
            '</requestedPrivileges></security></trustInfo><application xmlns="urn:schemas-microsoft-com:asm.v3">'
            '<windowsSettings><dpiAware xmlns="http://schemas.microsoft.com/SMI/2005/WindowsSettings">true</dpiAware>'
            '</windowsSettings></application><compatibility xmlns="urn:schemas-microsoft-com:compatibility.v1">'
            '<application>' + "".join(f'<supportedOS Id="{i}"></supportedOS>' for i in SUPPORTED_OS)
            + '</application></compatibility></assembly>')
KNOWN_DLLS = {"KERNEL32.DLL", "MSVCRT.DLL", "SHELL32.DLL", "ADVAPI32.DLL"}

WRITE, EXECUTE = 0x80000000, 0x20000000
HIGH_ENTROPY_VA, DYNAMIC_BASE, NX_COMPAT, TERMINAL_SERVER_AWARE = 0x20, 0x40, 0x100, 0x8000
RELOCS_STRIPPED = 0x1
EXPORT, BASERELOC, DEBUG, DELAY_IMPORT = 0, 5, 6, 13


def sha256(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


def output(*command, **options):
    return subprocess.run(command, check=True, capture_output=True, text=True, **options).stdout


def certificate(work, name, subject, *options):
    """A throwaway self-signed certificate, work/name.pem, and its key, work/name.key."""
    output("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", subject, *options,
           "-keyout", work / f"{name}.key", "-out", work / f"{name}.pem")


@contextlib.contextmanager
def timestamp_server(work):
    """An RFC 3161 timestamp server on 127.0.0.1 (openssl ts -reply behind a
    small HTTP handler) for as long as the block runs; yields its address."""
    certificate(work, "tsa", "/CN=rolekit test timestamps", "-addext", "extendedKeyUsage=critical,timeStamping")
    (work / "tsa.cnf").write_text(
        f"[tsa]\ndefault_tsa = here\n[here]\nserial = {work}/tsa.serial\nsigner_cert = {work}/tsa.pem\n"
        f"signer_key = {work}/tsa.key\nsigner_digest = sha256\ndefault_policy = 1.2.3.4.1\ndigests = sha256\n"
        "ess_cert_id_alg = sha256\n")

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            body = subprocess.run(["openssl", "ts", "-reply", "-config", work / "tsa.cnf", "-queryfile", "/dev/stdin",
                                   "-out", "/dev/stdout"], input=self.rfile.read(int(self.headers["Content-Length"])),
                                  check=True, capture_output=True).stdout
            self.send_response(200)
            self.send_header("Content-Type", "application/timestamp-reply")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *arguments):
            pass

    server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        yield f"http://127.0.0.1:{server.server_port}"
    finally:
        server.shutdown()
        server.server_close()


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

    def test_manifest_requires_administrator_and_lists_the_supported_systems(self):
        self.assertEqual(list(resources(self.pe, RT_MANIFEST)), [(1, LANG_EN_US)], "exactly one manifest")
        text = resources(self.pe, RT_MANIFEST)[(1, LANG_EN_US)]
        self.assertTrue(text.startswith(b'\xef\xbb\xbf<?xml version="1.0" encoding="UTF-8" standalone="yes"?>'))
        # Without the list Windows would report 6.2 on 8.1 and later, and a
        # server at 10.0 would get a client's feature names.
        self.assertEqual(ET.canonicalize(text[3:].decode(), strip_text=True), MANIFEST)

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
    """Two clean builds of copies of the source, in different folders, with
    other clocks, file times, time zone, locale, umask and more; the first
    dated by its commit, the second by SOURCE_DATE_EPOCH. Then the second's
    release again, signed with a throwaway certificate and timestamped by a
    local server, and then plain once more."""

    maxDiff = None  # verify-release's whole report, when it differs

    RELEASE = list(FILES.values())
    ARTEFACTS = ["rolekit.exe", "examples-build/rolekit_custom_action.dll", *(f"release/{name}" for name in RELEASE)]
    SIGNED = ["rolekit.exe", FILES["setup"], FILES["setup-x86"], FILES["msi"]]
    # The zip's text files: the recipe, the detection script and the pages.
    PAGES = sorted(f"docs/{page.name}" for page in (SOURCE / "docs").glob("*.md"))
    TEXT = sorted(["CHANGELOG.md", "LICENSE", "README.md", "THIRD-PARTY-NOTICES.txt", "detect-features.ps1",
                   "enable-features.cmd", *PAGES])

    @classmethod
    def setUpClass(cls):
        cls.work = Path(tempfile.mkdtemp(prefix="rolekit-release-"))
        cls.addClassCleanup(shutil.rmtree, cls.work, ignore_errors=True)  # two build trees, even when a build fails
        cls.commit, cls.epoch = output("git", "-C", SOURCE, "log", "-1", "--format=%H %ct").split()
        cls.zlib = output("dpkg-query", "-W", "-f=${Version}", "zlib1g:amd64")
        # The second build also varies what Debian's reprotest would: the kernel
        # named, address space layout, CPUs, clock, home, PATH and environment.
        variants = [  # folder, what is left out of the copy, environment, umask, what the build runs under
            ("first", ["build", "__pycache__"], {"TZ": "UTC", "LC_ALL": "C.UTF-8"}, 0o022,
             ["setarch", "x86_64", "--addr-no-randomize"]),
            ("second/elsewhere", ["build", "__pycache__", ".git"],
             {"SOURCE_DATE_EPOCH": cls.epoch, "ROLEKIT_SOURCE_COMMIT": cls.commit, "TZ": "Pacific/Kiritimati",
              "LC_ALL": "ru_RU.UTF-8", "HOME": "/nonexistent/second-build", "PATH": f"{os.environ['PATH']}:/i_capture",
              "REPROTEST_CAPTURE_ENVIRONMENT": "i_capture_the_environment", "NO_FAKE_STAT": "1"}, 0o077,
             ["setarch", "x86_64", "--uname-2.6", "taskset", "-c", "0", "faketime", "+400days+7hours"]),
        ]
        cls.builds = []
        for name, left_out, env, umask, wrapper in variants:
            tree = cls.work / name / "rolekit"
            shutil.copytree(SOURCE, tree, ignore=shutil.ignore_patterns(*left_out))
            if cls.builds:  # with every source file dated 2001
                for path in tree.rglob("*"):
                    os.utime(path, (1e9, 1e9), follow_symlinks=False)
            env = dict({k: v for k, v in os.environ.items() if k not in ("SOURCE_DATE_EPOCH", "ROLEKIT_SOURCE_COMMIT")},
                       **env)
            cls.run_in(tree, [*wrapper, "cmake", "--workflow", "--preset", "release"], env, umask)
            cls.builds.append(tree)
        certificate(cls.work, "signer", "/CN=rolekit throwaway signer")
        output("openssl", "pkcs12", "-export", "-inkey", cls.work / "signer.key", "-in", cls.work / "signer.pem",
               "-name", "rolekit", "-passout", "pass:throwaway pass", "-out", cls.work / "signer.pfx")
        # Signed once with Debian 12's own osslsigncode, fetched from Debian's
        # archive (that case is skipped, with apt's reason, when it cannot
        # be), then with the one installed here.
        fetched = subprocess.run(["apt-get", "download", "osslsigncode=2.5-4"], cwd=cls.work, capture_output=True,
                                 text=True)
        cls.no_2_5 = None if fetched.returncode == 0 else (fetched.stderr.strip().splitlines() or ["no reason"])[-1]
        cls.signed, cls.signed_by_2_5 = cls.work / "signed", cls.work / "signed-2.5"
        signers = [(cls.signed, shutil.which("osslsigncode"))]
        if not cls.no_2_5:
            subprocess.run(["dpkg", "-x", *cls.work.glob("osslsigncode_2.5-4_*.deb"), cls.work / "2.5"], check=True)
            signers.insert(0, (cls.signed_by_2_5, cls.work / "2.5/usr/bin/osslsigncode"))
        with timestamp_server(cls.work) as address:
            for folder, tool in signers:
                cls.run_in(tree, ["cmake", "--preset", "release", f"-DOSSLSIGNCODE={tool}"], env)
                cls.run_in(tree, ["cpack", "--preset", "release"],
                           dict(env, ROLEKIT_SIGNING_PFX=str(cls.work / "signer.pfx"),
                                ROLEKIT_SIGNING_PASSWORD="throwaway pass", ROLEKIT_TIMESTAMP_URL=address))
                shutil.copytree(tree / "build/windows/release", folder)
        cls.run_in(tree, [*wrapper, "cpack", "--preset", "release"], env, umask)  # the plain command again
        # A commit is named in full, and an edit that is not committed is named as such.
        cls.short_id = subprocess.run(["cmake", "--preset", "release"], cwd=tree, capture_output=True, text=True,
                                      env=dict(env, ROLEKIT_SOURCE_COMMIT=cls.commit[:12]))
        # (The first tree's release is made: only its bill of materials is made again.)
        (cls.builds[0] / "README.md").write_bytes((cls.builds[0] / "README.md").read_bytes() + b"\n")
        cls.run_in(cls.builds[0], ["cmake", "--build", "--preset", "release", "--target", "bill_of_materials"],
                   os.environ)
        cls.bill_with_changes = (cls.builds[0] / "build/windows" / SPDX).read_bytes()

    @classmethod
    def run_in(cls, tree, command, env, umask=0o022):
        subprocess.run(command, cwd=tree, env=env, umask=umask, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)

    def archive(self, tree):
        return tree / "build/windows/release" / FILES["zip"]

    def test_the_release_folders_hold_only_what_ships(self):
        build = self.builds[0] / "build/windows"
        self.assertEqual(sorted(p.name for p in (build / "release").iterdir()), sorted(self.RELEASE))
        # The installers are built once, for the release: no other copy is left beside it.
        installers = [p for pattern in ("*setup*.exe", "*.msi") for p in build.rglob(pattern)]
        self.assertEqual(sorted(p.relative_to(build).parts[0] for p in installers), ["release"] * 3)

    def test_clean_builds_are_byte_identical(self):
        self.assertEqual(sha256(self.builds[0] / "build/windows/rolekit.exe"), sha256(ROLEKIT))
        first, second = (tree / "build/windows" for tree in self.builds)
        for artefact in self.ARTEFACTS:
            with self.subTest(artefact=artefact):
                if sha256(first / artefact) != sha256(second / artefact):
                    diff = subprocess.run(["diffoscope", "--text", "-", first / artefact, second / artefact],
                                          capture_output=True, text=True)
                    self.fail(diff.stdout[:6000] or diff.stderr)

    def test_archive_holds_the_program_recipe_and_pages_with_its_checksum(self):
        for archive in [self.archive(tree) for tree in self.builds] + [self.signed / self.archive(SOURCE).name]:
            with zipfile.ZipFile(archive) as zip:
                # The recipe runs the rolekit.exe beside it; the README's links find the pages.
                self.assertEqual(sorted(zip.namelist()), sorted(self.TEXT + [SPDX, "rolekit.exe"]))
                self.assertEqual(zip.read("LICENSE"), (SOURCE / "LICENSE").read_bytes().replace(b"\n", b"\r\n"))
                for name in self.TEXT:
                    self.assertNotIn(b"\n", zip.read(name).replace(b"\r\n", b""), f"{name}: cmd and Notepad need CRLF")
            line = Path(f"{archive}.sha256").read_text()
            self.assertEqual(line.split(), [sha256(archive), archive.name])
        with zipfile.ZipFile(self.archive(self.builds[0])) as zip:
            self.assertEqual(zip.read("rolekit.exe"), ROLEKIT.read_bytes(), "unsigned without a certificate")
            shipped = {name: zip.read(name).decode() for name in ["README.md", "CHANGELOG.md", *self.PAGES]}
            names = zip.namelist()
        self.assertIn(f"version {VERSION} ", shipped["README.md"])
        self.assertIn(f"\n## {VERSION} ", shipped["CHANGELOG.md"].replace("\r\n", "\n"))
        linked = set()
        for page, content in shipped.items():
            with self.subTest(page=page):
                # Every relative link leads to a file, and a heading, that the
                # zip has at the same path as the source tree.
                for target, anchor in re.findall(r"\]\((?![a-z]+:)([^)#]*)#?([^)]*)\)", content):
                    path = os.path.normpath(os.path.join(os.path.dirname(page), target or os.path.basename(page)))
                    if page == "README.md":
                        linked.add(path)
                    self.assertIn(path, names, f"{page} links to {target}")
                    self.assertTrue((SOURCE / path).is_file(), f"{page} links to {target}")
                    if anchor:
                        headings = re.findall(r"^#+ (.*)$", shipped.get(path, ""), re.M)
                        self.assertIn(anchor, [re.sub(r"[^\w -]", "", h.lower()).replace(" ", "-") for h in headings])
                # A page names a program the zip holds by its path in the zip, unless
                # it gives a full Windows path, a build's output or the current folder.
                for name in (name for name in names if name.endswith((".exe", ".cmd"))):
                    for folder in re.findall(rf"((?:[\w.%~:-]+[\\/])+){re.escape(os.path.basename(name))}\b", content):
                        if not re.match(r"[A-Za-z]:|build[\\/]|\.[\\/]", folder):
                            self.assertEqual(folder.replace("\\", "/") + os.path.basename(name), name)
        self.assertLessEqual(set(self.PAGES) | {"CHANGELOG.md", "LICENSE"}, linked, "the README leads to every page")

    def test_notices_and_bill_of_materials_name_every_archive_linked_in(self):
        def linked(link_map):
            return {os.path.normpath(a) for a in re.findall(r"^(/\S*\.a)\(", link_map.read_text(), re.MULTILINE)}

        build = self.builds[0] / "build/windows"
        with zipfile.ZipFile(self.archive(self.builds[0])) as zip:
            notices = zip.read("THIRD-PARTY-NOTICES.txt").decode()
            document = zip.read(SPDX)
        self.assertEqual(document, (self.archive(self.builds[0]).parent / SPDX).read_bytes(), "the same beside it")
        document = json.loads(document)
        schema = json.loads((Path(__file__).parent / "spdx-schema-2.3.json").read_text())
        jsonschema.Draft201909Validator(schema).validate(document)
        self.assertIn("Organization: rolekit contributors", document["creationInfo"]["creators"])
        rolekit, *components = document["packages"]
        self.assertEqual((rolekit["name"], rolekit["versionInfo"], rolekit["checksums"], rolekit["sourceInfo"]),
                         ("rolekit", VERSION, [{"algorithm": "SHA256", "checksumValue": sha256(ROLEKIT)}],
                          f"built from rolekit commit {self.commit} with SOURCE_DATE_EPOCH={self.epoch}"))
        # The buildinfo: the same commit and time, each release file's sum,
        # and the exact Debian version of each tool that made them.
        buildinfo = (build / "release" / FILES["buildinfo"]).read_text()
        self.assertIn(f"\nSource-Commit: {self.commit}\nSource-Modified: no\n", buildinfo)
        self.assertIn(f'"built from rolekit commit {self.commit} (with local changes) with',
                      self.bill_with_changes.decode())
        self.assertNotEqual(self.short_id.returncode, 0)
        self.assertIn("ROLEKIT_SOURCE_COMMIT must be the full commit id", " ".join(self.short_id.stderr.split()))
        self.assertTrue(buildinfo.endswith(f'\nEnvironment:\n SOURCE_DATE_EPOCH="{self.epoch}"\n'))
        for name in [name for name in self.RELEASE if not name.endswith(".buildinfo")]:
            file = build / "release" / name
            self.assertIn(f"\n {sha256(file)} {file.stat().st_size} {name}\n", buildinfo)
        for package in ("g++-mingw-w64-x86-64-win32", "binutils-mingw-w64-x86-64", "mingw-w64-x86-64-dev", "cmake",
                        "nsis", "wixl", "msitools", "osslsigncode", "python3"):
            self.assertRegex(buildinfo, rf"\n {re.escape(package)} \(= [^)]+\),\n")
        self.assertIn(f"\n zlib1g (= {self.zlib})\n", buildinfo)
        for c in components:
            version, arch = output("dpkg-query", "-W", "-f=${Version} ${Architecture}", c["name"]).split()
            self.assertEqual((c["versionInfo"], c["supplier"], c["externalRefs"]), (version, "Organization: Debian", [
                {"referenceCategory": "PACKAGE-MANAGER", "referenceType": "purl",
                 "referenceLocator": f"pkg:deb/debian/{c['name']}@{version}?arch={arch}".replace("+", "%2B")}]))
        self.assertEqual([c.get("originator") for c in components],
                         ["Organization: GNU compiler collection"] * 2 + ["Organization: mingw-w64"])
        archives = linked(build / "rolekit.map")
        self.assertLessEqual({"libstdc++.a", "libgcc.a", "libssp.a", "libmingwex.a"},
                             {Path(a).name for a in archives})
        self.assertFalse([a for a in archives if "pthread" in a], "a single-threaded program links no thread library")
        comments = {c["name"]: c["comment"] for c in components}
        for archive in archives:
            self.assertIn(f" {Path(archive).name}", comments[output("dpkg-query", "-S", archive).split(":")[0]])
        self.assertEqual([(r["spdxElementId"], r["relationshipType"], r["relatedSpdxElement"])
                          for r in document["relationships"]],
                         [("SPDXRef-DOCUMENT", "DESCRIBES", "SPDXRef-rolekit")] +
                         [("SPDXRef-rolekit", "STATIC_LINK", c["SPDXID"]) for c in components])
        for archive in archives | linked(build / "examples-build/rolekit_custom_action.map"):
            self.assertIn(f" {Path(archive).name} (", notices)
        for text in ("GCC RUNTIME LIBRARY EXCEPTION", "Files: mingw-w64-libraries/winpthreads/*"):
            self.assertIn(text, notices)

    def verify_signature(self, path):
        return subprocess.run(["osslsigncode", "verify", "-CAfile", self.work / "signer.pem", "-TSA-CAfile",
                               self.work / "tsa.pem", "-in", path], capture_output=True, text=True)

    def test_a_signed_release_is_signed_and_timestamped_throughout_for_that_release_only(self):
        for folder, name in [(folder, name) for folder in (self.signed, self.signed_by_2_5) for name in self.SIGNED]:
            with self.subTest(folder=folder.name, name=name):
                if folder == self.signed_by_2_5 and self.no_2_5:
                    self.skipTest(f"Debian 12's osslsigncode 2.5-4 could not be fetched: apt-get said {self.no_2_5!r}")
                with zipfile.ZipFile(folder / self.archive(SOURCE).name) as zip:
                    (self.work / "rolekit.exe").write_bytes(zip.read("rolekit.exe"))
                verify = self.verify_signature(self.work / name if name == "rolekit.exe" else folder / name)
                self.assertEqual(verify.returncode, 0, verify.stdout + verify.stderr)
                self.assertIn("Signature verification: ok", verify.stdout)
                self.assertIn("Timestamp Server Signature verification: ok", verify.stdout)
                self.assertIn("Issuer: /CN=rolekit test timestamps", verify.stdout)
        # The plain command after the signed one made the plain release again.
        plain, again = (tree / "build/windows/release" for tree in self.builds)
        self.assertEqual([sha256(again / name) for name in self.RELEASE],
                         [sha256(plain / name) for name in self.RELEASE])
        self.assertNotEqual(self.verify_signature(again / self.SIGNED[1]).returncode, 0)
        leaks = [p for folder in (self.builds[1] / "build", self.signed, self.signed_by_2_5) if folder.exists()
                 for p in folder.rglob("*") if p.is_file() and b"throwaway pass" in p.read_bytes()]
        self.assertEqual(leaks, [])

    def test_verify_release_tells_a_rebuilt_release_from_a_changed_one(self):
        name = self.archive(SOURCE).name
        plain, changed, elsewhere, edited = (self.work / folder / name for folder in
                                             ("plain release", "changed", "elsewhere", "with changes"))
        shutil.copytree(self.builds[0] / "build/windows/release", plain.parent)
        shutil.copyfile(plain.with_name(FILES["msi"]), plain.with_name("rolekit-0.9.0.0.msi"))
        # As a browser saves a second download of the same name: the files beside it keep theirs.
        plain = plain.rename(plain.with_name(f"{plain.stem} (1).zip"))
        for folder in (changed.parent, elsewhere.parent, edited.parent):
            folder.mkdir()
        with zipfile.ZipFile(self.signed / name) as signed, zipfile.ZipFile(changed, "w") as target, \
                zipfile.ZipFile(elsewhere, "w") as other, zipfile.ZipFile(edited, "w") as local:
            for info in signed.infolist():
                data = signed.read(info)
                other.writestr(info.filename, data.replace(self.commit.encode(), b"0" * 40))
                local.writestr(info.filename, self.bill_with_changes if info.filename == SPDX else data)
                if info.filename == "rolekit.exe":  # one bit, in the code
                    data = data[:4096] + bytes([data[4096] ^ 1]) + data[4097:]
                target.writestr(info, data)
        # Built with another zlib than the one installed here, its buildinfo says; its
        # checksum and bill of materials beside it were changed too.
        buildinfo = (self.signed / FILES["buildinfo"]).read_text()
        changed.with_name(FILES["buildinfo"]).write_text(
            re.sub(r"^ zlib1g \(= .*\)", " zlib1g (= 1:1.2.11.dfsg-0)", buildinfo, flags=re.M))
        changed.with_name(f"{name}.sha256").write_text(f"{'0' * 64}  {name}\n")
        changed.with_name(SPDX).write_bytes((self.signed / SPDX).read_bytes() + b" ")
        # Run from a clone of the commit with a change that is not committed, which must not be used.
        clone = self.work / "clone"
        subprocess.run(["git", "clone", "-q", SOURCE, clone], check=True)
        (clone / "src/requirements/catalogue.cpp").write_text("")
        env = {k: v for k, v in os.environ.items() if k not in ("SOURCE_DATE_EPOCH", "ROLEKIT_SIGNING_PFX")}

        refusals = [  # where it runs from, the release, what it says (before anything is installed or built)
            (clone, elsewhere, f"built from commit {'0' * 40}, and this checkout is at {self.commit}"),
            (clone, self.work / "nowhere.zip", f"{self.work / 'nowhere.zip'}: not found"),
            (clone, edited, f"built from commit {self.commit} with local changes that were never committed"),
            (self.builds[1], plain, f"{self.builds[1]} is no git checkout"),
        ]
        for tree, archive, line in refusals:
            with self.subTest(line=line):
                run = subprocess.run([tree / "tools/verify-release", archive], env=env, capture_output=True, text=True)
                self.assertEqual((run.returncode, run.stdout), (2, ""), run.stderr)
                self.assertIn(line, run.stderr.splitlines()[0])

        archives = [plain, self.signed / name, changed]
        run = subprocess.run([clone / "tools/verify-release", *archives], env=env, capture_output=True, text=True)
        self.assertEqual(run.returncode, 1, run.stdout + run.stderr)
        self.assertIn("\nnote: this checkout has changes that are not committed; they are not used", run.stdout)
        signature = " (signed: compared without its signature)"
        every = sorted(self.TEXT + self.SIGNED[1:] + [SPDX, "rolekit.exe"])
        checks = [f"{name}.sha256 (the zip's checksum)", f"{SPDX} (beside the zip: the one in it)",
                  f"{FILES['buildinfo']} (its checksums"]
        expected = [f"{archives[0]}:", *(f"same     {f}" for f in every),
                    f"same     {checks[0]}",
                    f"note: {name}.sha256 names {name}, not {plain.name}; the checksum is compared all the same",
                    *(f"same     {check}" + ")" * check.endswith("checksums") for check in checks[1:]),
                    "left aside: rolekit-0.9.0.0.msi (not this release's version)",
                    f"{archives[1]}:", *(f"same     {f}" + (signature if f in self.SIGNED else "") for f in every),
                    *(f"same     {check}" + ")" * check.endswith("checksums") for check in checks),
                    f"{archives[2]}:", *(f"same     {f}" for f in self.TEXT + [SPDX]),
                    f"differs  rolekit.exe{signature}",
                    *(f"differs  {check}" for check in checks[:2]),
                    f"differs  {checks[2]} of {SPDX} {name} {name}.sha256)",
                    *(f"not found {f} (beside the zip; not checked)" for f in self.SIGNED[1:]),
                    "         built with other tools than these, which may explain it:",
                    f"           zlib1g 1:1.2.11.dfsg-0 in the release, {self.zlib} here",
                    f"verified: {archives[0]}", f"verified: {archives[1]}", f"NOT verified: {archives[2]}"]
        self.assertEqual(run.stdout.splitlines()[-len(expected):], expected)


class SecondManifest(unittest.TestCase):
    def test_a_second_manifest_fails_the_build(self):
        build = subprocess.run(["cmake", "--build", BUILD, "--target", "rolekit_two_manifests"],
                               capture_output=True, text=True)
        self.assertNotEqual(build.returncode, 0)
        self.assertIn("multiple non-default manifests", build.stdout + build.stderr)

    def test_an_edited_manifest_rebuilds_the_program(self):
        # windres names none of its inputs to the build; this one must be declared.
        query = output("ninja", "-C", BUILD, "-t", "query", "CMakeFiles/rolekit.dir/rolekit.rc.res")
        self.assertIn(f"| {SOURCE / 'res/rolekit.manifest'}\n", query)


if __name__ == "__main__":
    unittest.main()
