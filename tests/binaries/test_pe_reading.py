"""What pe_reading.py does with data that does not add up: it must refuse
it, never hand a check a template, menu or symbol list read halfway.

Runs beside test_binaries.py, on the same stage (GAGENT_STAGE_DIR) and
objdump (GAGENT_OBJDUMP).
"""

import os
import tempfile
import unittest
from pathlib import Path

import pe_reading as pe

IDD_KEY_MANAGER = 110
IDR_MAIN_MENU = 101
IDI_KEY = 101


def english_module():
    stage = os.environ.get("GAGENT_STAGE_DIR")
    if not stage:
        raise unittest.SkipTest("GAGENT_STAGE_DIR names no stage")
    return pe.Image(Path(stage) / "1033" / "gagent.dll")


class CutShortResourcesTest(unittest.TestCase):
    """A resource cut anywhere is refused, or read as the whole of it when
    only padding was cut: never read as a shorter template."""

    @classmethod
    def setUpClass(cls):
        resources = english_module().resources()
        cls.data = {(r.type, r.name): r.data for r in resources}

    def check_every_cut(self, parse, data):
        whole = parse(data)
        for length in range(len(data)):
            with self.subTest(cut_at=length, of=len(data)):
                try:
                    self.assertEqual(parse(data[:length]), whole)
                except pe.ReadError:
                    pass

    def test_dialog_template(self):
        self.check_every_cut(pe.parse_dialog, self.data[(pe.RT_DIALOG, IDD_KEY_MANAGER)])

    def test_menu(self):
        self.check_every_cut(pe.parse_menu, self.data[(pe.RT_MENU, IDR_MAIN_MENU)])

    def test_icon_group_and_its_images(self):
        group = self.data[(pe.RT_GROUP_ICON, IDI_KEY)]
        self.check_every_cut(pe.parse_group_icon, group)
        for entry in pe.parse_group_icon(group):
            with self.subTest(icon=entry.icon_id):
                image = self.data[(pe.RT_ICON, entry.icon_id)]
                self.check_every_cut(pe.parse_icon_image, image[:40])

    def test_string_bundles(self):
        bundles = [name for kind, name in self.data if kind == pe.RT_STRING]
        self.assertTrue(bundles)
        for bundle in bundles:
            with self.subTest(bundle=bundle):
                self.check_every_cut(lambda data: pe.string_bundle(bundle, data),
                                     self.data[(pe.RT_STRING, bundle)])


class ObjectSymbolsTest(unittest.TestCase):
    """The symbol lists come from objdump; what it cannot read is an error,
    not an empty list that a check would take for "no wide calls"."""

    def setUp(self):
        self.objdump = os.environ.get("GAGENT_OBJDUMP")
        if not self.objdump:
            self.skipTest("GAGENT_OBJDUMP names no objdump")

    def test_a_file_objdump_cannot_read_is_refused(self):
        with tempfile.NamedTemporaryFile(suffix=".obj") as junk:
            junk.write(b"not an object file at all")
            junk.flush()
            with self.assertRaises(pe.ReadError):
                pe.read_objects(self.objdump, junk.name)

    def test_a_missing_file_is_refused(self):
        with self.assertRaises(pe.ReadError):
            pe.read_objects(self.objdump, "/nonexistent/libgagent_core.a")

    def test_an_image_that_is_no_pe_file_is_refused(self):
        with tempfile.NamedTemporaryFile(suffix=".dll") as junk:
            junk.write(b"MZ" + b"\0" * 200)
            junk.flush()
            with self.assertRaises(pe.ReadError):
                pe.Image(junk.name)


if __name__ == "__main__":
    unittest.main()
