"""What each Windows edition is asked for and how its DISM answers, on a new
installation and after an earlier run; the documentation's table of where it
works must say the same. A class per edition of windows-features/editions.tsv;
ROLEKIT_EDITION, when set, picks one."""

import os
import unittest

import e2e
import standin
from e2e import CONVERT, EDITION, EXIT, EXIT_AFTER_WAIT, LAUNCH, VERSION, WAIT

DOCUMENTED = e2e.README

# The questions rolekit must ask the platform, and what it then does: an
# edition, the arguments, the OS questions (None: nothing converted), whether
# it launches DISM.
TRACED = [
    ("windows-10-11", "Kestrel,kestrel,Orrery", [VERSION, VERSION, EDITION], True),
    ("server-2016-and-later", "Orrery", [EDITION, VERSION], True),
    ("server-2008-r2", "Orrery,Kestrel", [EDITION, VERSION, VERSION], True),
    ("windows-7", "Nightjar,,/?", [], False),
    ("windows-8.1", None, None, False),
]


def cell(record):
    """The table's cell for a run that the stand-in recorded."""
    names, unknown = e2e.feature_names(record["command"]), record["unknown"].split()
    queue = [name for name in ("MSMQ-Container", "MSMQ", "MSMQ-Services") if name in names]
    left_off = [f"`{name}` " + ("(needs " + " ".join(f"`{p}`" for p in parents) + ")" if parents else
                                "(cannot be enabled on this edition)") for name, parents in standin.left_off(record)]
    outcome = (f"refused ({' '.join(f'`{name}`' for name in unknown)} unknown)" if unknown else
               "50, left off: " + ", ".join(left_off) if left_off else "enabled")
    return f"{len(names)}" + (" with " + " ".join(f"`{name}`" for name in queue) if queue else "") + f": {outcome}"


class Edition(e2e.WinePrefix):
    maxDiff = None  # the whole cell the documentation must have

    def test_each_product_on_this_edition(self):
        label = standin.editions()[self.EDITION].label
        rows = [line for line in DOCUMENTED.read_text().splitlines() if line.startswith(f"| {label} |")]
        self.assertEqual(len(rows), 1, f"one row for {label} in {DOCUMENTED.name}")
        documented = [text.strip() for text in rows[0].strip("|").split("|")[1:]]
        web, queue = e2e.lists(self.EDITION)
        for column, runs in enumerate((["Kestrel"], ["Orrery"], ["Kestrel", "Orrery"], ["Kestrel,Orrery"])):
            with self.subTest(runs=runs):
                standin.new_machine(self.prefix, self.EDITION)
                for products in runs:
                    run = self.run_rolekit(products, starts_dism=True)
                    command = e2e.dism_command(*[web] * ("Kestrel" in products), *[queue] * ("Orrery" in products))
                    self.assertEqual((run.stdout, run.stderr, len(run.launches)), (b"", b"", 1), e2e.said(run))
                    (record,) = run.launches
                    self.assertEqual(dict(record, **{"left-off": ""}), e2e.record(command, self.unknown(command)))
                    self.assertEqual(run.code, e2e.REFUSED if record["unknown"] else
                                     e2e.LEFT_OFF if record["left-off"] else 0)
                self.assertEqual(cell(record), documented[column])

    def test_the_platform_is_asked_once_per_token_and_told_exactly_this(self):
        for edition, arguments, questions, launched in TRACED:
            if edition == self.EDITION:
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
