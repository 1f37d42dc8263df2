"""The batch recipe, enable-features.cmd, as the release zip has it beside
rolekit.exe, under Wine's cmd.exe: every product reaches rolekit byte for
byte, and its lines and exit code tell the outcomes apart."""

import re
import shutil
import unittest
from pathlib import Path

import e2e
import launch
import standin
from e2e import NOTHING

WEB, MESSAGING = e2e.lists("windows-10-11")
ENABLED = ": enabled the Windows features for "


def log(*lines):
    return "".join(f"rolekit: {line}\r\n" for line in lines).encode()


def recipe(folder, products):
    """cmd's arguments for the recipe in the folder, with the products (None: none)."""
    return f'/c ""{folder}\\enable-features.cmd"{" " + products if products is not None else ""}"'


class BatchRecipe(e2e.WinePrefix, unittest.TestCase):
    # Unpacked where cmd must take the script's path as it is: spaces, !, & and ^ included.
    FOLDER = r"C:\recipe a b!&^c"

    @classmethod
    def prepare(cls, path):
        super().prepare(path)
        e2e.unpack(launch.unix_path(cls.FOLDER, {"WINEPREFIX": path}))

    def test_the_recipe_passes_every_product_on_and_reports_the_exact_code(self):
        web, both, messaging = (e2e.dism_command(*lists) for lists in ([WEB], [WEB, MESSAGING], [MESSAGING]))
        dism, rolekit = (launch.unix_path(path, self.env) for path in (e2e.DISM, self.FOLDER + r"\rolekit.exe"))
        enabled, restart = ENABLED, "; Windows must restart to finish"
        dism_log = r"; DISM's log is C:\windows\Logs\DISM\dism.log"
        hint = ("a parent feature was missing: give Orrery together with one of Kestrel, Tamarind, Lanternfly "
                "(for example Kestrel,Orrery), or after one of them")
        usage = (b"Usage: enable-features.cmd [Product1,Product2 ...]\r\n"
                 b"Runs rolekit.exe from this folder with the products (default Kestrel,Orrery),\r\n"
                 b"prints the outcome and exits with rolekit's exit code.\r\n")
        long = "Kestrel," * 249 + "Tamarind"  # 2,000 characters, which batch splits into 250 arguments
        cases = [  # products, the tool's answer or the file that is gone, what it starts, exit code, output
            (None, 0, both, 0, log('given "Kestrel,Orrery"' + enabled + "Kestrel,Orrery")),
            ("Kestrel", 0, web, 0, log('given "Kestrel"' + enabled + "Kestrel")),
            ("Kestrel,Orrery", 3010, both, 3010, log('given "Kestrel,Orrery"' + enabled + "Kestrel,Orrery" + restart)),
            ("Kestrel", 0x800F081F, web, 0x800F081F,
             log('given "Kestrel": failed with exit code -2146498529 (0x800F081F)' + dism_log)),
            ("Kestrel;Orrery Lanternfly", 87, both, 87,
             log('given "Kestrel,Orrery,Lanternfly": failed with exit code 87 (0x00000057)' + dism_log)),
            ('"Kestrel, Orrery"', 0, web, 0,
             log('ignored " Orrery", which names no product', 'given "Kestrel, Orrery"' + enabled + "Kestrel")),
            ("Kestrel,Orery", 0, web, 0,
             log('ignored "Orery", which names no product', 'given "Kestrel,Orery"' + enabled + "Kestrel")),
            # Orrery on a new machine, without a product of list A: DISM leaves features off.
            ('",,Kes-trel,,oRRERY,"', 3010, messaging, 50,
             log('ignored "Kes-trel", which names no product',
                 'given ",,Kes-trel,,oRRERY,": failed with exit code 50 (0x00000032)' + dism_log, hint)),
            ("Kestrel,Orr!ery", 0, web, 0,
             log('ignored "Orr!ery", which names no product', 'given "Kestrel,Orr!ery"' + enabled + "Kestrel")),
            ('"Orr^ery,Kestrel&Orrery"', 0, None, 2,
             log('ignored "Orr^ery", which names no product', 'ignored "Kestrel&Orrery", which names no product') +
             NOTHING + log('given "Orr^ery,Kestrel&Orrery": no product named, nothing enabled (exit code 2)')),
            (long, 3010, web, 3010, log(f'given "{long}"' + enabled + long + restart)),
            ('""', 0, None, 2, NOTHING + log('given "": no product named, nothing enabled (exit code 2)')),
            ("Nightjar", 0, None, 2, log('ignored "Nightjar", which names no product') + NOTHING +
             log('given "Nightjar": no product named, nothing enabled (exit code 2)')),
            # Nothing ran: the recipe names no DISM log, and says why where it can.
            ("Orrery", dism, None, 2, log('given "Orrery": failed with exit code 2 (0x00000002); DISM did not run')),
            ("Kestrel", rolekit, None, 9009, log(f'given "Kestrel": nothing enabled: there is no "{self.FOLDER}'
                                                 r'\rolekit.exe"; keep rolekit.exe beside this script')),
            ("/?", 0, None, 1, usage),
        ]
        for products, answer, command, code, output in cases:
            with self.subTest(products=products[:40] if products else None, answer=answer):
                standin.new_machine(self.prefix, self.EDITION)
                gone = answer if isinstance(answer, Path) else None
                if gone:
                    gone.rename(gone.with_suffix(".gone"))
                try:
                    run = self.run_rolekit(recipe(self.FOLDER, products), 0 if gone else answer, e2e.CMD,
                                           again=gone is None, starts_dism=command is not None)
                finally:
                    if gone:
                        gone.with_suffix(".gone").rename(gone)
                self.assertEqual((run.stdout, run.stderr, run.code), (output, b"", code), e2e.said(run))
                self.assertEqual([dict(record, **{"left-off": ""}) for record in run.launches],
                                 [] if command is None else [e2e.record(command)])

    def test_the_recipe_runs_from_any_one_folder_it_is_copied_to_with_rolekit(self):
        # A deployment tool (a Configuration Manager cache, a task sequence's
        # package) copies the two files into a folder of its own: the one case
        # that puts shipped files together itself.
        folder = self.work / "ccmcache" / "2"
        folder.mkdir(parents=True)
        for name in ("rolekit.exe", "enable-features.cmd"):
            shutil.copyfile(launch.unix_path(rf"{e2e.UNPACKED}\{name}", self.env), folder / name)
        run = self.run_rolekit(recipe(launch.windows_path(folder), "Kestrel"), program=e2e.CMD, starts_dism=True)
        self.assertEqual((run.stdout, run.stderr, run.code), (log('given "Kestrel"' + ENABLED + "Kestrel"), b"", 0))
        self.assertEqual(run.launches, [e2e.record(e2e.dism_command(WEB))])

    def test_the_recipe_and_the_detection_script_name_the_catalogue_s_products_and_features(self):
        script = (e2e.SOURCE / "examples/cmd/enable-features.cmd").read_text()
        detection = (e2e.SOURCE / "examples/detect/detect-features.ps1").read_text()
        for kind in ("web", "messaging"):
            names = e2e.PARTS[f"products-{kind}"]
            self.assertIn(f'set "{kind}={" ".join(names)}"', script)
            self.assertIn(f"${kind.title()}Products = " + ", ".join(f"'{name}'" for name in names), detection)
        found = {name: re.findall(r"'([\w-]+)'", re.search(rf"^\${name} = (.*?)\n(?! )", detection, re.S | re.M)[1])
                 for name in ("Web", "Console", "Messaging", "ClientQueue", "ServerQueue")}
        core, server = e2e.lists("server-core-2016-and-later"), e2e.lists("server-2016-and-later")
        self.assertEqual([sorted(found["Web"] + found["Console"]), found["Web"],
                          sorted(found["Messaging"] + found["ClientQueue"]),
                          sorted(found["Messaging"] + found["ServerQueue"])], [WEB, core[0], MESSAGING, server[1]])


if __name__ == "__main__":
    unittest.main()
