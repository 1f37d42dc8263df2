"""What the dism.exe stand-in (standin_dism.cpp) is told, and what it records.

Each Wine prefix hands its stand-in, in files under C:\\standin, its edition's
optional features with their parents and what the machine has enabled, from
the tables in windows-features/ (its README says what each holds).
"""

import re
from dataclasses import dataclass
from pathlib import Path

TABLES = Path(__file__).resolve().parent / "windows-features"
# Where in a prefix the stand-in finds the edition's features, and keeps what is enabled.
FILES = {"ROLEKIT_STANDIN_FEATURES": "standin/features.txt", "ROLEKIT_STANDIN_ENABLED": "standin/enabled.txt"}
NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9-]*")


class StandinError(Exception):
    """The stand-in could not play DISM, and said why in its record."""


@dataclass(frozen=True)
class Edition:
    name: str
    label: str  # what the documentation calls it
    matrix: tuple  # the rows of the README's table of supported Windows that it stands for
    features: str  # its column of features.tsv, and its name in parents.tsv's enabled-when-new
    winecfg: str  # the Windows version winecfg sets
    version: tuple  # (major, minor), as the system reports it to a program that declares it supported
    server: bool
    server_levels: tuple  # the values its ServerLevels key sets to 1; the key is absent where there are none
    installation_type: str  # its InstallationType; None where the value is absent
    never_enabled: tuple  # features it has that DISM will not enable on it

    @property
    def core(self):
        """Whether it runs without its desktop, as Microsoft says to tell it:
        by ServerLevels where that key is there, else by InstallationType."""
        if self.server_levels:
            return set(self.server_levels) == {"ServerCore"}
        return self.installation_type == "Server Core"


def rows(table):
    lines = [line.split("\t") for line in (TABLES / table).read_text().splitlines()]
    for number, line in enumerate(lines[1:], 2):
        if len(line) != len(lines[0]):
            raise ValueError(f"{table}, line {number}: {len(line)} cells, not {len(lines[0])}")
    return [dict(zip(lines[0], line)) for line in lines[1:]]


def names(cell):
    """The names in a blank-separated cell; none for "-"."""
    found = [] if cell == "-" else cell.split()
    for name in found:
        if not NAME.fullmatch(name):
            raise ValueError(f"{name!r} is no feature name")
    return found


def editions():
    """Every edition a prefix can stand for, by name, in the table's order."""
    return {row["edition"]: Edition(
        row["edition"], row["label"], tuple(names for names in row["matrix"].split("|") if names != "-"),
        row["features"], row["winecfg"],
        tuple(int(part) for part in row["version"].split(".")), {"WinNT": False, "ServerNT": True}[row["product-type"]],
        tuple(names(row["server-levels"])), None if row["installation-type"] == "-" else row["installation-type"],
        tuple(names(row["never-enabled"]))) for row in rows("editions.tsv")}


def parents(row, server):
    """A feature's parents on a client or a server; None where that kind of
    edition has no feature of that name."""
    cell = row["parents-server" if server else "parents-client"]
    if cell == f"(unknown on {'servers' if server else 'clients'})":
        return None
    return names(cell)


def edition_features(edition):
    """{name: its parent features} of every optional feature the edition has."""
    edition = editions()[edition]
    known = {row["name"] for row in rows("features.tsv") if row[edition.features] == "1"}
    found = {row["name"]: parents(row, edition.server) for row in rows("parents.tsv") if row["name"] in known}
    wrong = sorted(known - {name for name, parent in found.items() if parent is not None})
    if wrong:
        raise ValueError(f"parents.tsv gives no parents on {edition.name} for {' '.join(wrong)}")
    return found


def new_machine(path, edition):
    """Gives the stand-in of the prefix at path the edition's features and
    what a new installation of it has enabled, and nothing more."""
    files = {variable: path / "drive_c" / name for variable, name in FILES.items()}
    files["ROLEKIT_STANDIN_FEATURES"].parent.mkdir(exist_ok=True)
    never = editions()[edition].never_enabled
    files["ROLEKIT_STANDIN_FEATURES"].write_text("".join(
        f"{name}\t{' '.join(parents)}{chr(9) + 'never' if name in never else ''}\n"
        for name, parents in edition_features(edition).items()))
    column = editions()[edition].features
    files["ROLEKIT_STANDIN_ENABLED"].write_text(
        "".join(f"{row['name']}\n" for row in rows("parents.tsv") if column in row["enabled-when-new"].split()))


def environment():
    """The variables that tell a prefix's stand-in where its files are."""
    return {variable: "C:\\" + name.replace("/", "\\") for variable, name in FILES.items()}


def read_records(log):
    """The stand-in's records in the log, each a dict of its fields."""
    if not log.exists():
        return []
    records = [dict(line.split("=", 1) for line in block.splitlines())
               for block in log.read_text(encoding="utf-8").split("\n\n") if block]
    for record in records:
        if "error" in record:
            raise StandinError(f"the dism.exe stand-in could not play DISM: {record['error']}")
    return records


def left_off(record):
    """[(name, [the parents it missed])] of a record; no parents for a
    feature its edition cannot enable at all."""
    return [(name, parents.split(",") if parents else []) for name, _, parents in
            (entry.partition(":") for entry in record["left-off"].split())]
