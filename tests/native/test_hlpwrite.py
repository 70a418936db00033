"""Runs the WinHelp writer as the build runs it, on wrong sources: each kind
must stop the build with a message naming the file and line, and leave no
help file behind, not even one from an earlier run.

    HLPWRITE=build/native/tools/hlpwrite/hlpwrite python3 -m unittest tests/native/test_hlpwrite.py
"""

import os
import subprocess
import tempfile
import unittest
from pathlib import Path

MAP = "IDH_A 1000\nIDH_B 2000\n"
SOURCE = """.title T
.language 1033
.contents IDH_A

.topic IDH_A Title
Text with a [link](IDH_B).

.popup IDH_B
Popup text.
"""


class WrongSources(unittest.TestCase):
    def setUp(self):
        self.tool = os.environ.get("HLPWRITE")
        if not self.tool:
            self.fail("HLPWRITE names no hlpwrite program")
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)
        self.root = Path(self.folder.name)

    def write(self, map_text, source_text):
        map_path = self.root / "contexts.txt"
        source_path = self.root / "gagent.txt"
        output = self.root / "gagent.hlp"
        map_path.write_text(map_text, encoding="utf-8")
        source_path.write_text(source_text, encoding="utf-8")
        output.write_bytes(b"left over from an earlier build")
        run = subprocess.run([self.tool, str(map_path), str(source_path), str(output)],
                             capture_output=True, text=True)
        return run, map_path, source_path, output

    def test_a_right_source_is_written(self):
        run, _, _, output = self.write(MAP, SOURCE)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(output.read_bytes()[:4], b"\x3f\x5f\x03\x00")

    def test_each_kind_of_wrong_source_stops_with_file_and_line(self):
        cases = [
            ("unknown context", MAP, SOURCE + "\n.popup IDH_C\nMore.\n",
             "source", 11, "unknown context IDH_C"),
            ("link to a missing topic", MAP, SOURCE.replace("(IDH_B)", "(IDH_MISSING)"),
             "source", 6, "link to IDH_MISSING, which no topic or popup of this file defines"),
            ("duplicate context number", "IDH_A 1000\nIDH_B 1000\n", SOURCE,
             "map", 2, "duplicate context number 1000: IDH_A has it already"),
            ("text outside the code page", MAP, SOURCE.replace("Popup text.", "Popup \u30bd text."),
             "source", 9, "'\u30bd' (U+30BD) has no character in code page 1252"),
            ("context without a topic", MAP + "IDH_C 3000\n", SOURCE,
             "map", 3, "IDH_C has no topic or popup in"),
            ("bold left open", MAP, SOURCE.replace("Popup text.", "Popup **text."),
             "source", 9, "bold text is not closed with **"),
            ("paragraph longer than a block", MAP, SOURCE.replace("Popup text.", "word " * 900),
             "source", 9, "the paragraph takes 4539 bytes, more than the 4084 of a topic block"),
        ]
        for name, map_text, source_text, where, line, message in cases:
            with self.subTest(name):
                run, map_path, source_path, output = self.write(map_text, source_text)
                self.assertEqual(run.returncode, 1, run.stderr)
                path = source_path if where == "source" else map_path
                expected = f"{path}:{line}: {message}"
                self.assertTrue(any(l.startswith(expected) for l in run.stderr.splitlines()),
                                f"{expected!r} not among:\n{run.stderr}")
                self.assertFalse(output.exists(), "a help file was left for the build to ship")


if __name__ == "__main__":
    unittest.main()
