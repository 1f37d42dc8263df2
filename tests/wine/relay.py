"""Wine's trace of the platform calls a program makes.

A traced run sets WINEDEBUG for the program under test alone (report_exit.exe
does that for its child): +relay prints every call into Wine's DLLs with its
arguments, restricted to RELAYED by the RelayInclude setting every template
has, and +exec prints the record the shell's launch was given.
"""

import re
import struct
from pathlib import Path

# The platform calls a traced run reports, each with the positions of the
# arguments that matter (not buffers, which move from run to run); the launch
# comes from the shell's own trace of the record it was given.
RELAYED = {"MultiByteToWideChar": (0, 1), "VerifyVersionInfoW": (1, 2), "RegOpenKeyExW": (0, 2, 3),
           "RegGetValueW": (3,), "SHGetFolderPathW": (0, 1, 2, 3),
           "WaitForSingleObject": (0, 1), "GetExitCodeProcess": (0,), "CloseHandle": (0,)}
HANDLES = {"WaitForSingleObject", "GetExitCodeProcess", "CloseHandle"}
TRACE = "+pid,+loaddll,+relay,trace+exec"
TRACE_LINE = re.compile(rb"^([0-9a-f]+:[0-9a-f]+):(.*)$")


def is_trace(line):
    """Whether one of Wine's lines is part of the trace rather than a message of its own."""
    found = TRACE_LINE.match(line)
    return bool(found) and not found[2].startswith(b"err:")


def _value(text):
    """A traced argument: a number as hex, wide text as itself."""
    text = text.strip()
    if text.startswith('L"'):
        return text[2:-1].replace("\\\\", "\\")
    return hex(int(text.split()[0], 16))


def platform_calls(trace, name, image_size):
    """The calls that the traced program's main thread made from its own image,
    in order, as "Function(argument,...)"; process handles read h1, h2, ... in
    order of first use. The thread is the one that loaded the image: the trace
    also holds the processes it starts (dism.exe loads at the same address),
    and once under CI its first line was not the image loading."""
    lines = [TRACE_LINE.match(line) for line in trace if TRACE_LINE.match(line)]
    loaded = re.compile(rb'trace:loaddll:\w+ Loaded L".*\\' + re.escape(name.encode()) + rb'" at ([0-9A-Fa-f]+): ',
                        re.IGNORECASE)
    own = next((line for line in lines if loaded.match(line[2])), None)
    if own is None:
        raise ValueError(f"Wine's trace never says it loaded {name}; it begins:\n"
                         + "\n".join(line[0].decode("utf-8", "replace") for line in lines[:5]))
    thread, base = own[1], int(loaded.match(own[2])[1], 16)
    calls, handles = [], {}
    for line in (line for line in lines if line[1] == thread):
        text = line[2].decode("utf-8", "replace")
        call = re.match(r"Call \w+\.(\w+)\((.*)\) ret=([0-9a-f]+)$", text)
        launch = re.match(r"trace:exec:SHELL_execute mask=(\S+) hwnd=(\S+) verb=(.*) file=(.*) parm=.* "
                          r"dir=(.*) show=(\S+) class=", text)
        if call and call[1] in RELAYED and base <= int(call[3], 16) < base + image_size:
            given = call[2].split(",")
            arguments = [_value(given[i]) for i in RELAYED[call[1]]]
            if call[1] in HANDLES:
                arguments[0] = handles.setdefault(arguments[0], f"h{len(handles) + 1}")
            calls.append(f"{call[1]}({','.join(arguments)})")
        elif launch:
            names = ("mask", "hwnd", "verb", "file", "dir", "show")
            calls.append(f"ShellExecuteExW({','.join(f'{n}={_value(v)}' for n, v in zip(names, launch.groups()))})")
    return calls


def image_size(program):
    """SizeOfImage from the PE header: how far the loaded image reaches."""
    data = Path(program).read_bytes()
    (pe,) = struct.unpack_from("<I", data, 0x3C)
    return struct.unpack_from("<I", data, pe + 24 + 56)[0]
