"""What each Windows edition is asked for and how its DISM answers, on a new
installation and after an earlier run; the documentation's table of where it
works, and the README's table of supported Windows, must say the same. A
class per edition of windows-features/editions.tsv;
ROLEKIT_EDITION, when set, picks one."""

import os
import re
import unittest

import e2e
import standin
from e2e import BY_LEVELS, BY_TYPE, CONVERT, EDITION, EXIT, EXIT_AFTER_WAIT, LAUNCH, VERSION, WAIT

PAGE = e2e.SOURCE / "docs/where-it-works.md"
# Names the documentation gives as one, where a cell holds all of them.
GROUPS = {"list B's six IIS features": [name for name in e2e.PARTS["messaging"] if name.startswith("IIS-")],
          "the six `WCF-*45`": [name for name in e2e.PARTS["messaging"] if name.startswith("WCF-")]}
# The page's columns, each the runs on a new machine; the README answers for
# those of one run (its column: the page's), by its outcome.
RUNS = (["Kestrel"], ["Orrery"], ["Kestrel", "Orrery"], ["Kestrel,Orrery"])
README_COLUMNS = {0: 0, 1: 1, 3: 2}
ANSWERS = {"enabled": "yes", "50": "partial (exit 50)", "refused": "no"}

# The questions rolekit must ask the platform, and what it then does, a row
# for each edition: the arguments, the OS questions (None: nothing
# converted), whether it launches DISM.
TRACED = [
    ("windows-10-11", "Kestrel,kestrel,Orrery", [VERSION, *BY_TYPE, VERSION, *BY_TYPE, EDITION], True),
    ("server-2016-and-later", "Orrery", [EDITION, VERSION], True),
    ("server-core-2016-and-later", "Orrery,Kestrel", [EDITION, VERSION, VERSION, *BY_LEVELS], True),
    ("server-2012-r2", "Kestrel", [VERSION, *BY_LEVELS[:3]], True),
    ("server-2008-r2", "Orrery,Kestrel", [EDITION, VERSION, VERSION, *BY_TYPE], True),
    ("windows-7", "Nightjar,,/?", [], False),
    ("windows-8.1", None, None, False),
    ("windows-8", "Orrery", [EDITION], True),
    ("servercore-container", "Tamarind", [VERSION, *BY_TYPE], True),
    ("server-registry-silent", "Lanternfly,Orrery", [VERSION, *BY_TYPE, EDITION, VERSION], True),
    ("server-core-2012-r2", "Kestrel", [VERSION, *BY_LEVELS], True),
    ("server-2012", "Orrery,Kestrel", [EDITION, VERSION, VERSION, *BY_LEVELS[:3]], True),
]


def listed(names, never=()):
    """Feature names as a cell lists them."""
    names, items = list(names), []
    for label, group in GROUPS.items():
        if set(group) <= set(names):
            names = [name for name in names if name not in group]
            items.append(label)
    return ", ".join([*(f"`{name}`" + " (cannot be enabled here)" * (name in never) for name in names), *items])


def cell(record, before=()):
    """The page's cell for a run that the stand-in recorded, where the cell
    before it in the row named the unknown names before."""
    names, unknown = e2e.feature_names(record["command"]), record["unknown"].split()
    queue = [name for name in ("MSMQ-Container", "MSMQ", "MSMQ-Services") if name in names]
    left_off = standin.left_off(record)
    if unknown:
        same = unknown == list(before)
        outcome = f"refused, {'the same names' if same else listed(unknown)} unknown"
    elif left_off:
        never = [name for name, parents in left_off if not parents]
        outcome = f"50, {listed([name for name, _ in left_off], never)} left off"
    else:
        outcome = "enabled"
    return f"{len(names)}" + (" with " + " ".join(f"`{name}`" for name in queue) if queue else "") + f": {outcome}"


def row(page, label):
    """The cells of the page's one table row for the label."""
    rows = [line for line in page.read_text().splitlines() if line.startswith(f"| {label} |")]
    return [text.strip() for text in rows[0].strip("|").split("|")[1:]] if len(rows) == 1 else None


class Edition(e2e.WinePrefix):
    maxDiff = None  # the whole cell the documentation must have

    def test_each_product_on_this_edition(self):
        label, matrix = standin.editions()[self.EDITION].label, standin.editions()[self.EDITION].matrix
        documented, answers = row(PAGE, label), [row(e2e.README, name) for name in matrix]
        self.assertTrue(documented, f"one row for {label} in {PAGE.name}")
        self.assertNotIn(None, answers, f"one row in the README for each of {matrix}")
        parents = PAGE.read_text().splitlines()
        web, queue = e2e.lists(self.EDITION)

        def command(products):
            return e2e.dism_command(*[web] * ("Kestrel" in products), *[queue] * ("Orrery" in products))

        for column, runs in enumerate(RUNS):
            with self.subTest(runs=runs):
                standin.new_machine(self.prefix, self.EDITION)
                for products in runs:
                    run = self.run_rolekit(products, starts_dism=True)
                    self.assertEqual((run.stdout, run.stderr, len(run.launches)), (b"", b"", 1), e2e.said(run))
                    (record,) = run.launches
                    self.assertEqual(dict(record, **{"left-off": ""}),
                                     e2e.record(command(products), self.unknown(command(products))))
                    self.assertEqual(run.code, e2e.REFUSED if record["unknown"] else
                                     e2e.LEFT_OFF if record["left-off"] else 0)
                before = self.unknown(command(RUNS[column - 1][-1])) if column else ()
                self.assertEqual(cell(record, before), documented[column])
                # The page names once the parents that a left-off feature missed.
                for name, missed in standin.left_off(record):
                    if missed:
                        self.assertIn(f"- `{name}` needs " + ", ".join(f"`{parent}`" for parent in missed), parents)
                if column in README_COLUMNS:
                    outcome = re.match(r"[^:]*: (\w+)", cell(record))[1]
                    for answer in answers:
                        self.assertEqual(answer[README_COLUMNS[column]], ANSWERS[outcome])

    def test_the_platform_is_asked_once_per_token_and_told_exactly_this(self):
        ((arguments, questions, launched),) = [row[1:] for row in TRACED if row[0] == self.EDITION]
        run = self.run_rolekit(arguments, trace=True, starts_dism=launched)
        self.assertEqual(run.stderr, b"")
        expected = ([] if questions is None else CONVERT + questions) + (
            LAUNCH + WAIT + EXIT_AFTER_WAIT if launched else EXIT)
        self.assertEqual(run.calls, expected)
        self.assertEqual(len(run.launches), int(launched))


def load_tests(loader, tests, pattern):
    suite = unittest.TestSuite()
    for name in [os.environ["ROLEKIT_EDITION"]] if "ROLEKIT_EDITION" in os.environ else standin.editions():
        case = type(name, (Edition, unittest.TestCase), {"EDITION": name})
        suite.addTests(loader.loadTestsFromTestCase(case))
    return suite
