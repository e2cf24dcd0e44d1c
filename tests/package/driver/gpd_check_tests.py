"""tools/check-gpd against broken copies of package/driver/orvl.gpd: each kind of
breakage must fail the check with its own message."""
import os
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", ".."))
CHECK = os.path.join(ROOT, "tools", "check-gpd")
with open(os.path.join(ROOT, "package", "driver", "orvl.gpd"), encoding="latin-1") as f:
    SHIPPED = f.read()


def run_check(text):
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "orvl.gpd")
        with open(path, "w", encoding="latin-1") as f:
            f.write(text)
        done = subprocess.run([sys.executable, CHECK, path], capture_output=True, text=True)
        return done.returncode, done.stdout


def broken(old, new, count=1):
    assert SHIPPED.count(old) >= count, old
    return SHIPPED.replace(old, new, count)


class BrokenCopiesFail(unittest.TestCase):
    CASES = {
        "default option naming no option": (
            broken("*DefaultOption: AUTO", "*DefaultOption: MANUAL"),
            "*DefaultOption MANUAL of feature InputBin names none of its options"),
        "DPI not dividing the master units": (
            broken("*DPI: PAIR(204, 196)", "*DPI: PAIR(204, 200)"),
            "resolution Fine: DPI 204 x 200 does not divide *MasterUnits 1632 x 1568"),
        "printable area outside the paper": (
            broken("*PrintableArea: PAIR(13872, 17248)", "*PrintableArea: PAIR(13872, 17264)"),
            "paper LETTER: printable area 17264 + origin 0 lies outside the paper's y size 17248"),
        "printable area off the dot grid": (
            broken("*PrintableArea: PAIR(13488, 18320)", "*PrintableArea: PAIR(13488, 18312)"),
            "paper A4: printable area y 18312 is not a multiple of 16, one dot of resolution Standard"),
        "unbalanced brace": (
            SHIPPED.rstrip().rstrip("}"), "unbalanced brace: '{' never closed"),
        "comment before the version": (
            "*% A comment first\n" + SHIPPED, "*GPDSpecVersion must be the first entry"),
        "missing form feed": (
            broken('*Command: CmdFF { *Cmd : "<0C>" }\n', ""), "command CmdFF is missing"),
        "macro giving an area outside the paper": (
            broken("*PrintableArea: PAIR(13872, 21952)", "*InsertBlock: =LegalArea").replace(
                "*MasterUnits:",
                "*Macros: Sizes\n{\n    LegalY: PAIR(13872, 21968)\n}\n"
                "*BlockMacro: LegalArea\n{\n    *PrintableArea: =LegalY\n}\n*MasterUnits:", 1),
            "paper LEGAL: printable area 21968 + origin 0 lies outside the paper's y size 21952"),
    }

    def test_shipped_file_passes(self):
        code, out = run_check(SHIPPED)
        self.assertEqual(code, 0, out)
        self.assertTrue(out.endswith(": ok\n"), out)

    def test_each_breakage_fails_with_its_message(self):
        for name, (text, message) in self.CASES.items():
            with self.subTest(name):
                code, out = run_check(text)
                self.assertEqual(code, 1, out)
                self.assertIn(message, out)


if __name__ == "__main__":
    unittest.main()
