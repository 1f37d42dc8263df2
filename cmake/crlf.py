"""Copies text files into a folder with CRLF line endings: Notepad before
Windows 10 1809 (Server 2016, for one) shows a file with bare LF endings as
a single line.
Usage: crlf.py FOLDER FILE...
"""

import sys
from pathlib import Path

folder = Path(sys.argv[1])
for name in sys.argv[2:]:
    text = Path(name).read_bytes().replace(b"\r\n", b"\n")
    (folder / Path(name).name).write_bytes(text.replace(b"\n", b"\r\n"))
