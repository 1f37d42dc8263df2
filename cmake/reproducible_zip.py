"""Rewrites a zip archive so that its bytes depend only on the files in it.

CPack's archive keeps each file's time (in local time, so the time zone too),
owner and permissions and the order the folder listed them in. The rewrite
keeps the names and contents; the entries go in name order, every one dated
the release's time in UTC, readable by all and executable where it was.
Usage: reproducible_zip.py ARCHIVE SECONDS_SINCE_1970
"""

import sys
import time
import zipfile


def main(path, epoch):
    # A zip date cannot be before 1980.
    date = time.gmtime(max(int(epoch), 315532800))[:6]
    with zipfile.ZipFile(path) as archive:
        entries = [(info, archive.read(info)) for info in archive.infolist() if not info.is_dir()]
    with zipfile.ZipFile(path, "w") as archive:
        for old, data in sorted(entries, key=lambda entry: entry[0].filename):
            info = zipfile.ZipInfo(old.filename, date)
            info.create_system = 3  # Unix: the permissions below are read
            executable = (old.external_attr >> 16) & 0o111
            info.external_attr = (0o100755 if executable else 0o100644) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(info, data, compresslevel=9)


if __name__ == "__main__":
    main(*sys.argv[1:])
