"""Writes rolekit-<version>-win64.buildinfo: what a release was built from and with.

In the form of Debian's .buildinfo files: the source and its version, the
commit and SOURCE_DATE_EPOCH it was built from, the SHA-256 and size of each
release file, and the exact Debian version of every package that shaped
those bytes. A rebuild with other versions of these may differ for that
reason alone, which tools/verify-release then says. Nothing in it depends on
when or where it was made.
Usage: buildinfo.py OUTPUT VERSION COMMIT MODIFIED SECONDS_SINCE_1970 FILE...
(MODIFIED: yes when the checkout had changes that were not committed.)
"""

import hashlib
import subprocess
import sys
from pathlib import Path

# The compilers, binutils and the mingw-w64 runtime; CMake; the installer
# tools (NSIS, wixl and msitools with their MSI and cabinet libraries, and
# faketime, which dates them); the signing tool; zlib, which compresses the
# zip; and Python, which writes it.
PACKAGES = [
    "binutils-mingw-w64-x86-64", "cmake", "faketime", "g++-mingw-w64-x86-64-win32",
    "gcc-mingw-w64-x86-64-win32", "gcc-mingw-w64-x86-64-win32-runtime", "libfaketime", "libgcab-1.0-0",
    "libmsi0", "libpython3.11-stdlib", "mingw-w64-common", "mingw-w64-x86-64-dev", "msitools", "nsis",
    "nsis-common", "osslsigncode", "python3", "python3.11", "wixl", "zlib1g",
]


def installed(names, native):
    """(name, version) of each package as installed for the machine's own
    architecture (or for all), in name order; "" for one that is missing."""
    lines = subprocess.run(["dpkg-query", "-W", "-f=${Package} ${Architecture} ${Version} ${db:Status-Abbrev}\n",
                            *names], capture_output=True, text=True).stdout.splitlines()
    found = dict.fromkeys(names, "")
    for name, arch, version, *status in (line.split() for line in lines):
        if arch in (native, "all") and status == ["ii"] and not found[name]:
            found[name] = version
    return sorted(found.items())


def main(output, version, commit, modified, epoch, *files):
    checksums = []
    for name in sorted(files, key=lambda name: Path(name).name):
        data = Path(name).read_bytes()
        checksums.append(f" {hashlib.sha256(data).hexdigest()} {len(data)} {Path(name).name}")
    native = subprocess.run(["dpkg", "--print-architecture"], capture_output=True, text=True).stdout.strip()
    depends = [f" {name} (= {found})" for name, found in installed(PACKAGES, native) if found]
    lines = ["Format: 1.0", "Source: rolekit", f"Version: {version}", "Architecture: win64",
             f"Source-Commit: {commit}", f"Source-Modified: {modified}", "Checksums-Sha256:", *checksums,
             "Build-Origin: Debian", f"Build-Architecture: {native}",
             "Installed-Build-Depends:", ",\n".join(depends), "Environment:", f' SOURCE_DATE_EPOCH="{epoch}"']
    Path(output).write_text("\n".join(lines) + "\n", encoding="utf-8")


if __name__ == "__main__":
    main(*sys.argv[1:])
