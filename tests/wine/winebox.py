"""Runs the Windows build on Linux, under Wine, in throwaway prefixes.

"winebox.py run [--edition EDITION] PROGRAM [ARGS...]" runs one program in a
fresh prefix (the Windows build's unit tests come this way) and exits with its
exit code (low 8 bits only); "winebox.py demo ..." runs rolekit.exe once and
shows what it launched.
"""

import argparse
import os
import sys
from pathlib import Path

import launch
import prefixes
import standin


def quote(argument):
    """One argument as the Windows runtime will read it back (no embedded quotes expected)."""
    return f'"{argument}"' if argument == "" or any(c in argument for c in " \t") else argument


def demo(options):
    # The build that made rolekit.exe has the stand-in and report_exit.exe too.
    os.environ["ROLEKIT_BUILD_DIR"] = str(Path(options.rolekit).resolve().parent)
    arguments = " ".join(quote(a) for a in options.products) if options.products else None
    print(f"rolekit.exe {arguments or ''} on a Wine prefix standing for {options.edition}")

    def attempt():
        with prefixes.prefix(options.edition, launch.built("tests/wine/standin_dism.exe")) as (path, env):
            return launch.run_program(dict(env, ROLEKIT_STANDIN_EXIT=str(options.tool_exit)), options.rolekit,
                                      arguments, path / "demo", path)

    try:
        run = launch.retried(attempt, lambda: None)
    except launch.WineFailed as error:
        print(f"{error} (rolekit did not run)")
        return 1
    sys.stdout.write(run.stdout.decode("ascii", "replace"))
    for record in run.launches:
        image = record["image"]
        print(f"launched:   {image}")
        print(f"parameters: {record['command'].removeprefix(chr(34) + image + chr(34) + ' ')}")
        print(f"directory:  {record['directory']}")
        print(f"window:     {'hidden' if record['show'] == '0' else record['show']}")
        if record["unknown"]:
            print(f"refused:    unknown to this edition: {record['unknown']}")
        for name, parents in standin.left_off(record):
            print(f"left off:   {name}, " + (f"whose parents {' '.join(parents)} are neither enabled nor named"
                                             if parents else "which this edition cannot enable"))
    if not run.launches:
        print("launched:   nothing")
    print(f"exit code:  {run.code} (0x{run.code:08X})")
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="command", required=True)
    run = sub.add_parser("run", help="run one program in a throwaway prefix")
    run.add_argument("--edition", choices=standin.editions(), default="windows-10-11")
    run.add_argument("program")
    run.add_argument("args", nargs=argparse.REMAINDER)
    show = sub.add_parser("demo", help="run rolekit.exe once and show what it launched")
    show.add_argument("--edition", choices=standin.editions(), default="windows-10-11")
    show.add_argument("--tool-exit", type=lambda text: int(text, 0), default=0)
    show.add_argument("--rolekit", required=True)
    show.add_argument("products", nargs="*")
    options = parser.parse_args()
    if options.command == "demo":
        return demo(options)
    try:
        outcome = launch.retried(lambda: prefixes.run(options.edition, options.program, options.args), lambda: None)
    except launch.WineFailed as error:
        print(f"winebox: {error}", file=sys.stderr)
        return 125
    sys.stdout.buffer.write(outcome.stdout)
    sys.stderr.buffer.write(outcome.stderr)
    if outcome.code != 0 and outcome.wine:
        print(f"winebox: {Path(options.program).name} exited with {outcome.code}{launch.said(outcome)}",
              file=sys.stderr)
    return outcome.code


if __name__ == "__main__":
    sys.exit(main())
