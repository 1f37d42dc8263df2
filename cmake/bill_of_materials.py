"""Writes THIRD-PARTY-NOTICES.txt and the SPDX 2.3 document of rolekit.exe.

The components are what the linker took in, read from its maps: every archive
it pulled a member from and every object it loaded, outside the build tree.
Debian's package database says which package and version each came from; the
bill of materials describes those packages as scanners know them (supplier,
upstream project, package URL), and the notices carry each package's own
copyright record. A file whose licence is not known here stops the build
rather than be described by guess. Nothing in either file depends on when or
where it was made.
"""

import argparse
import datetime
import hashlib
import json
import os
import re
import subprocess
import urllib.parse
from pathlib import Path

GCC_RUNTIME = "GPL-3.0-or-later WITH GCC-exception-3.1"
# Licences by the Debian package a component comes from; by file name where
# one package holds code under different terms.
PACKAGE_LICENCES = {
    "gcc-mingw-w64-x86-64-win32": GCC_RUNTIME,
    "g++-mingw-w64-x86-64-win32": GCC_RUNTIME,
    "mingw-w64-x86-64-dev": "ZPL-2.1",  # the runtime and the import libraries
}
FILE_LICENCES = {"libpthread.a": "MIT", "libwinpthread.a": "MIT"}  # winpthreads
SUPPLIER = "Organization: Debian"  # Debian built every package the toolchain links from
# Where a copyright record names the upstream project: the field of a
# machine-readable record, or the opening sentence of Debian's older form.
UPSTREAM = (re.compile(r"^Upstream-Name:\s*(.+)$", re.MULTILINE),
            re.compile(r"^This is the Debian GNU/Linux prepackaged version of (?:the )?([^,.]+)", re.MULTILINE))

MEMBER = re.compile(r"^(\S+\.a)\(")
LOADED = re.compile(r"^LOAD (\S+\.o)$")


def linked_inputs(map_text):
    """The third-party archives and objects a link map shows were used."""
    inputs = set()
    for line in map_text.splitlines():
        found = MEMBER.match(line) or LOADED.match(line)
        if found and os.path.isabs(found[1]):
            inputs.add(os.path.normpath(found[1]))
    return inputs


def query(*arguments):
    return subprocess.run(["dpkg-query", *arguments], check=True, capture_output=True, text=True).stdout


def licence(path, package):
    found = FILE_LICENCES.get(os.path.basename(path)) or PACKAGE_LICENCES.get(package)
    if found is None:
        raise SystemExit(f"{path} (Debian package {package}) was linked in, but its licence is not known: "
                         "add it to cmake/bill_of_materials.py")
    return found


def debian_packages(paths):
    """The Debian packages the files came from, in name order, each with its
    dpkg record and the files it contributed."""
    # One search for all: dpkg reads its file lists anew for every call.
    owners = {}
    for line in query("-S", *sorted(paths)).splitlines():
        names, path = line.split(": ", 1)
        owners[os.path.normpath(path)] = names.split(",")[0].split(":")[0]
    found = {}
    for path in sorted(paths):
        name = owners[path]
        if name not in found:
            version, arch, source = query("-W", "-f=${Version}\t${Architecture}\t${source:Package}",
                                          name).split("\t")
            record = Path(f"/usr/share/doc/{name}/copyright").read_text(encoding="utf-8")
            found[name] = {"name": name, "version": version, "arch": arch, "source": source, "record": record,
                           "files": []}
        found[name]["files"].append({"name": os.path.basename(path), "path": path, "licence": licence(path, name)})
    return [found[name] for name in sorted(found)]


def purl(package):
    """The package URL, with '+' (as in g++ and in Debian versions) percent-encoded, as the purl rules ask."""
    name, version = urllib.parse.quote(package["name"], safe=""), urllib.parse.quote(package["version"], safe=":")
    return f"pkg:deb/debian/{name}@{version}?arch={package['arch']}"


def notices(packages):
    """The packages and what each contributed, then each Debian copyright
    record, once for all the packages that share it."""
    by_record = {}
    for package in packages:
        by_record.setdefault(package["record"], []).append(package)
    parts = ["Third-party software in rolekit.exe and in the example installers' custom action DLL\n"
             "=====================================================================================\n\n"
             "rolekit.exe and rolekit_custom_action.dll are statically linked with the runtime\n"
             "components below, built by the Debian packages named. Each package's copyright\n"
             "and licence record follows, as Debian ships it.\n"]
    for record, mine in by_record.items():
        parts.append(f"\n\n{'=' * 78}\n")
        for package in mine:
            names = ", ".join(f"{f['name']} ({f['licence']})" for f in package["files"])
            parts.append(f"{package['name']} {package['version']}: {names}\n")
        parts.append(f"{'=' * 78}\n\n{record}")
    return "".join(parts)


def spdx_id(name):
    return "SPDXRef-" + re.sub(r"[^A-Za-z0-9.-]", "-", name)


def spdx_package(package):
    """One Debian package as an SPDX package that scanners can match by its purl."""
    licences = sorted({f["licence"] for f in package["files"]})
    declared = " AND ".join(f"({l})" if len(licences) > 1 else l for l in licences)
    described = {
        "name": package["name"], "SPDXID": spdx_id("deb-" + package["name"]), "versionInfo": package["version"],
        "supplier": SUPPLIER, "downloadLocation": "NOASSERTION", "filesAnalyzed": False,
        "sourceInfo": f"built from the Debian source package {package['source']}",
        "licenseConcluded": declared, "licenseDeclared": declared, "copyrightText": "NOASSERTION",
        "comment": "Linked into rolekit.exe: " + ", ".join(f["name"] for f in package["files"]) +
                   ". Its copyright record is in THIRD-PARTY-NOTICES.txt.",
        "externalRefs": [{"referenceCategory": "PACKAGE-MANAGER", "referenceType": "purl",
                          "referenceLocator": purl(package)}],
        "primaryPackagePurpose": "LIBRARY",
    }
    for pattern in UPSTREAM:
        upstream = pattern.search(package["record"])
        if upstream:
            described["originator"] = "Organization: " + " ".join(upstream[1].split())
            break
    return described


def spdx(version, executable, packages, created, commit, modified):
    digest = hashlib.sha256(Path(executable).read_bytes()).hexdigest()
    rolekit = {
        "name": "rolekit", "SPDXID": "SPDXRef-rolekit", "versionInfo": version,
        "packageFileName": "rolekit.exe", "supplier": "Organization: rolekit contributors",
        "downloadLocation": "NOASSERTION", "filesAnalyzed": False,
        "sourceInfo": f"built from rolekit commit {commit}{' (with local changes)' if modified else ''} "
                      f"with SOURCE_DATE_EPOCH={int(created.timestamp())}",
        # A release may be Authenticode-signed after this is written, and a
        # signature cannot be rebuilt from source: the checksum is the
        # program's as built, which a signed copy gives back once its
        # signature is taken out, so that anyone can check it against a rebuild.
        "checksums": [{"algorithm": "SHA256", "checksumValue": digest}],
        "comment": "The SHA-256 is that of rolekit.exe as built, before any Authenticode signature; "
                   "osslsigncode remove-signature gives it back from a signed copy.",
        "licenseConcluded": "MIT", "licenseDeclared": "MIT",
        "copyrightText": "Copyright (c) 2026 rolekit contributors", "primaryPackagePurpose": "APPLICATION",
    }
    components = [spdx_package(package) for package in packages]
    return {
        "spdxVersion": "SPDX-2.3", "dataLicense": "CC0-1.0", "SPDXID": "SPDXRef-DOCUMENT",
        "name": f"rolekit-{version}-win64",
        "documentNamespace": f"https://rolekit.invalid/spdx/rolekit-{version}-win64-{digest}",
        "creationInfo": {"created": created.strftime("%Y-%m-%dT%H:%M:%SZ"),
                         "creators": ["Organization: rolekit contributors",
                                      "Tool: rolekit cmake/bill_of_materials.py"]},
        "packages": [rolekit] + components,
        "relationships": [{"spdxElementId": "SPDXRef-DOCUMENT", "relationshipType": "DESCRIBES",
                           "relatedSpdxElement": "SPDXRef-rolekit"}] + [
            {"spdxElementId": "SPDXRef-rolekit", "relationshipType": "STATIC_LINK",
             "relatedSpdxElement": c["SPDXID"]} for c in components],
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--version", required=True)
    parser.add_argument("--executable", required=True, help="the unsigned rolekit.exe")
    parser.add_argument("--map", required=True, help="rolekit.exe's link map")
    parser.add_argument("--other-map", action="append", default=[], help="link maps for the notices only")
    parser.add_argument("--date", type=int, required=True, help="the release's time, in seconds since 1970")
    parser.add_argument("--commit", required=True, help="the commit the release is built from")
    parser.add_argument("--modified", required=True, help="a file that says yes when the checkout had local changes")
    parser.add_argument("--notices", required=True)
    parser.add_argument("--spdx", required=True)
    options = parser.parse_args()

    linked = linked_inputs(Path(options.map).read_text())
    others = set().union(*(linked_inputs(Path(m).read_text()) for m in options.other_map))
    packages = debian_packages(linked | others)
    # CRLF, for Notepad before Windows 10 1809, wherever the notices go.
    Path(options.notices).write_text(notices(packages), encoding="utf-8", newline="\r\n")
    created = datetime.datetime.fromtimestamp(options.date, datetime.timezone.utc)
    modified = Path(options.modified).read_text().strip() == "yes"
    ours = [dict(package, files=[f for f in package["files"] if f["path"] in linked]) for package in packages]
    document = spdx(options.version, options.executable, [p for p in ours if p["files"]], created, options.commit,
                    modified)
    Path(options.spdx).write_text(json.dumps(document, indent=2) + "\n", encoding="utf-8")


if __name__ == "__main__":
    main()
