"""Writes THIRD-PARTY-NOTICES.txt and the SPDX 2.3 document of rolekit.exe.

The components are what the linker took in, read from its maps: every archive
it pulled a member from and every object it loaded, outside the build tree.
Debian's package database says which package and version each came from, and
the notices carry that package's own copyright record. A component whose
licence is not known here stops the build rather than be described by guess.
"""

import argparse
import datetime
import hashlib
import json
import os
import re
import subprocess
from pathlib import Path

GCC_RUNTIME = "GPL-3.0-or-later WITH GCC-exception-3.1"
# Licences by the Debian package a component comes from; by file name where
# one package holds code under different terms.
PACKAGE_LICENCES = {
    "gcc-mingw-w64-x86-64-posix": GCC_RUNTIME,
    "g++-mingw-w64-x86-64-posix": GCC_RUNTIME,
    "gcc-mingw-w64-x86-64-win32": GCC_RUNTIME,
    "g++-mingw-w64-x86-64-win32": GCC_RUNTIME,
    "mingw-w64-x86-64-dev": "ZPL-2.1",  # the runtime and the import libraries
}
FILE_LICENCES = {"libpthread.a": "MIT", "libwinpthread.a": "MIT"}  # winpthreads

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


def component(path):
    package = query("-S", path).split(":", 1)[0]
    name = os.path.basename(path)
    licence = FILE_LICENCES.get(name) or PACKAGE_LICENCES.get(package)
    if licence is None:
        raise SystemExit(f"{path} (Debian package {package}) was linked in, but its licence is not known: "
                         "add it to cmake/bill_of_materials.py")
    return {"name": name, "path": path, "package": package, "version": query("-W", "-f=${Version}", package),
            "licence": licence}


def notices(components):
    """The components by package, then the package's Debian copyright record,
    once for all the packages that share it."""
    by_record = {}
    for c in components:
        record = Path(f"/usr/share/doc/{c['package']}/copyright").read_text(encoding="utf-8")
        by_record.setdefault(record, []).append(c)
    parts = ["Third-party software in rolekit.exe and in the example installers' custom action DLL\n"
             "=====================================================================================\n\n"
             "rolekit.exe and rolekit_custom_action.dll are statically linked with the runtime\n"
             "components below, built by the Debian packages named. Each package's copyright\n"
             "and licence record follows, as Debian ships it.\n"]
    for record, mine in by_record.items():
        parts.append(f"\n\n{'=' * 78}\n")
        for package, version in sorted({(c["package"], c["version"]) for c in mine}):
            names = ", ".join(f"{c['name']} ({c['licence']})" for c in mine if c["package"] == package)
            parts.append(f"{package} {version}: {names}\n")
        parts.append(f"{'=' * 78}\n\n{record}")
    return "".join(parts)


def spdx_id(name):
    return "SPDXRef-" + re.sub(r"[^A-Za-z0-9.-]", "-", name)


def spdx(version, executable, components):
    digest = hashlib.sha256(Path(executable).read_bytes()).hexdigest()
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    created = (datetime.datetime.fromtimestamp(int(epoch), datetime.timezone.utc) if epoch
               else datetime.datetime.now(datetime.timezone.utc))
    rolekit = {
        "name": "rolekit", "SPDXID": "SPDXRef-rolekit", "versionInfo": version,
        "packageFileName": "rolekit.exe", "supplier": "Organization: rolekit contributors",
        "downloadLocation": "NOASSERTION", "filesAnalyzed": False,
        "checksums": [{"algorithm": "SHA256", "checksumValue": digest}],
        "licenseConcluded": "MIT", "licenseDeclared": "MIT",
        "copyrightText": "Copyright (c) 2026 rolekit contributors", "primaryPackagePurpose": "APPLICATION",
    }
    packages = [rolekit] + [{
        "name": c["name"], "SPDXID": spdx_id(c["name"]), "versionInfo": c["version"],
        "packageFileName": c["path"], "downloadLocation": "NOASSERTION", "filesAnalyzed": False,
        "sourceInfo": f"built by the Debian package {c['package']} {c['version']}",
        "licenseConcluded": c["licence"], "licenseDeclared": c["licence"],
        "copyrightText": "NOASSERTION", "comment": "Its copyright record is in THIRD-PARTY-NOTICES.txt.",
        "primaryPackagePurpose": "LIBRARY",
    } for c in components]
    return {
        "spdxVersion": "SPDX-2.3", "dataLicense": "CC0-1.0", "SPDXID": "SPDXRef-DOCUMENT",
        "name": f"rolekit-{version}-win64",
        "documentNamespace": f"https://rolekit.invalid/spdx/rolekit-{version}-win64-{digest}",
        "creationInfo": {"created": created.strftime("%Y-%m-%dT%H:%M:%SZ"),
                         "creators": ["Tool: rolekit cmake/bill_of_materials.py"]},
        "packages": packages,
        "relationships": [{"spdxElementId": "SPDXRef-DOCUMENT", "relationshipType": "DESCRIBES",
                           "relatedSpdxElement": "SPDXRef-rolekit"}] + [
            {"spdxElementId": "SPDXRef-rolekit", "relationshipType": "STATIC_LINK",
             "relatedSpdxElement": p["SPDXID"]} for p in packages[1:]],
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--version", required=True)
    parser.add_argument("--executable", required=True, help="the unsigned rolekit.exe")
    parser.add_argument("--map", required=True, help="rolekit.exe's link map")
    parser.add_argument("--other-map", action="append", default=[], help="link maps for the notices only")
    parser.add_argument("--notices", required=True)
    parser.add_argument("--spdx", required=True)
    options = parser.parse_args()

    linked = linked_inputs(Path(options.map).read_text())
    others = set().union(*(linked_inputs(Path(m).read_text()) for m in options.other_map))
    everything = [component(path) for path in sorted(linked | others)]
    Path(options.notices).write_text(notices(everything), encoding="utf-8")
    mine = [c for c in everything if c["path"] in linked]
    Path(options.spdx).write_text(json.dumps(spdx(options.version, options.executable, mine), indent=2) + "\n",
                                  encoding="utf-8")


if __name__ == "__main__":
    main()
