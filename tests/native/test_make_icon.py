"""Checks the icons tools/make-icon.sh builds from resources/icons.

Run from the repository root:
    python3 -m unittest tests/native/test_make_icon.py

The ICO files are read back here, pixel by pixel, to see what a display
of each depth shows.
"""

import math
import struct
import subprocess
import tempfile
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
SCRIPT = ROOT / "tools" / "make-icon.sh"
ICONS = ("key", "key-lock")

# (size, bits per pixel) in directory order.
LAYOUT = [(16, 32), (32, 32), (48, 32), (16, 8), (32, 8), (48, 8), (16, 4), (32, 4)]

STANDARD_16 = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]


class Image:
    """One icon image as stored: directory entry, DIB header and pixels."""

    def __init__(self, data, index):
        base = 6 + 16 * index
        (self.width_byte, self.height_byte, self.colour_count, self.entry_reserved,
         self.entry_planes, self.entry_bits, self.size, self.offset) = struct.unpack(
            "<BBBBHHII", data[base:base + 16])
        dib = data[self.offset:self.offset + self.size]
        self.dib_length = len(dib)
        (self.header_size, self.width, self.height, self.planes, self.bits,
         self.compression, self.image_size, _xppm, _yppm, self.colours_used,
         _important) = struct.unpack("<IiiHHIIiiII", dib[:40])
        px = self.width
        pos = 40
        self.palette = []
        if self.bits <= 8:
            entries = self.colours_used or (1 << self.bits)
            for i in range(entries):
                b, g, r, reserved = dib[pos + 4 * i:pos + 4 * i + 4]
                self.palette.append((r, g, b, reserved))
            pos += 4 * entries
        xor_row = ((px * self.bits + 31) // 32) * 4
        mask_row = ((px + 31) // 32) * 4
        self.expected_length = pos + xor_row * px + mask_row * px
        self.xor_and_mask_length = xor_row * px + mask_row * px
        xor = dib[pos:pos + xor_row * px]
        mask = dib[pos + xor_row * px:pos + xor_row * px + mask_row * px]
        # Rows are stored bottom-up; index everything top-down here.
        self.pixels = [[None] * px for _ in range(px)]
        self.indices = [[None] * px for _ in range(px)]
        self.masked = [[False] * px for _ in range(px)]
        for stored in range(px):
            y = px - 1 - stored
            row = xor[stored * xor_row:(stored + 1) * xor_row]
            for x in range(px):
                if self.bits == 32:
                    b, g, r, a = row[4 * x:4 * x + 4]
                    self.pixels[y][x] = (r, g, b, a)
                elif self.bits in (8, 4):
                    per_byte = 8 // self.bits
                    shift = (per_byte - 1 - x % per_byte) * self.bits
                    value = (row[x // per_byte] >> shift) & ((1 << self.bits) - 1)
                    self.indices[y][x] = value
                    if value < len(self.palette):
                        self.pixels[y][x] = self.palette[value][:3] + (255,)
        for stored in range(px):
            y = px - 1 - stored
            row = mask[stored * mask_row:(stored + 1) * mask_row]
            for x in range(px):
                self.masked[y][x] = bool(row[x // 8] & (0x80 >> (x % 8)))


def read_ico(data):
    reserved, kind, count = struct.unpack("<HHH", data[:6])
    return reserved, kind, [Image(data, i) for i in range(count)]


def run_generator(svg, out):
    done = subprocess.run([str(SCRIPT), str(svg), str(out)],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if done.returncode != 0:
        raise AssertionError("make-icon.sh failed on %s: %s"
                             % (svg, done.stderr.decode(errors="replace")))
    return Path(out).read_bytes()


class GeneratedIcons(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="test-make-icon-")
        cls.data = {}
        for name in ICONS:
            svg = ROOT / "resources" / "icons" / (name + ".svg")
            cls.data[name] = run_generator(svg, Path(cls.tmp.name) / (name + ".ico"))

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_directory_lists_the_eight_images_in_order(self):
        for name, data in sorted(self.data.items()):
            with self.subTest(icon=name):
                reserved, kind, images = read_ico(data)
                self.assertEqual((reserved, kind), (0, 1))
                self.assertEqual([(im.width_byte, im.entry_bits) for im in images], LAYOUT)
                for im, (px, bits) in zip(images, LAYOUT):
                    self.assertEqual(im.height_byte, px)
                    self.assertEqual(im.colour_count, 16 if bits == 4 else 0)
                    self.assertEqual(im.entry_reserved, 0)
                    self.assertEqual(im.entry_planes, 1)

    def test_images_are_packed_back_to_back_to_the_end_of_the_file(self):
        for name, data in sorted(self.data.items()):
            with self.subTest(icon=name):
                _, _, images = read_ico(data)
                offset = 6 + 16 * len(images)
                for im in images:
                    self.assertEqual(im.offset, offset)
                    self.assertEqual(im.dib_length, im.size, "entry runs past end of file")
                    offset += im.size
                self.assertEqual(offset, len(data))

    def test_each_dib_header_agrees_with_its_entry(self):
        for name, data in sorted(self.data.items()):
            with self.subTest(icon=name):
                _, _, images = read_ico(data)
                for im, (px, bits) in zip(images, LAYOUT):
                    with self.subTest(size=px, bits=bits):
                        self.assertEqual(im.header_size, 40)
                        self.assertEqual(im.width, px)
                        self.assertEqual(im.height, 2 * px, "height must count XOR and AND halves")
                        self.assertEqual(im.planes, 1)
                        self.assertEqual(im.bits, bits)
                        self.assertEqual(im.compression, 0)
                        # Windows takes the image size from the shape; a
                        # size given must not claim more than the entry holds.
                        self.assertLessEqual(im.image_size, im.xor_and_mask_length)
                        self.assertEqual(im.expected_length, im.size,
                                         "header + palette + XOR + AND rows do not fill the entry")
                        if bits <= 8:
                            self.assertLessEqual(len(im.palette), 1 << bits)
                            self.assertTrue(all(p[3] == 0 for p in im.palette))
                            used = {i for row in im.indices for i in row}
                            self.assertLess(max(used), len(im.palette))

    def test_mask_is_transparent_wherever_alpha_is_zero(self):
        for name, data in sorted(self.data.items()):
            with self.subTest(icon=name):
                _, _, images = read_ico(data)
                alpha = {im.width: [[p[3] for p in row] for row in im.pixels]
                         for im in images if im.bits == 32}
                for im in images:
                    with self.subTest(size=im.width, bits=im.bits):
                        a = alpha[im.width]
                        for y in range(im.width):
                            for x in range(im.width):
                                if a[y][x] == 0:
                                    self.assertTrue(im.masked[y][x], "pixel %d,%d shows" % (x, y))
                                if a[y][x] == 255:
                                    self.assertFalse(im.masked[y][x], "pixel %d,%d hidden" % (x, y))
                                # A palette image cannot blend: a pixel is
                                # drawn when at least half covered.
                                if im.bits <= 8:
                                    self.assertEqual(im.masked[y][x], a[y][x] < 128,
                                                     "pixel %d,%d, alpha %d" % (x, y, a[y][x]))

    def test_masked_pixels_of_palette_images_are_black(self):
        # Windows XORs the colour image onto the screen after the mask:
        # anything but black under a set mask bit would tint the desktop.
        for name, data in sorted(self.data.items()):
            with self.subTest(icon=name):
                _, _, images = read_ico(data)
                for im in images:
                    if im.bits > 8:
                        continue
                    with self.subTest(size=im.width, bits=im.bits):
                        for y in range(im.width):
                            for x in range(im.width):
                                if im.masked[y][x]:
                                    self.assertEqual(im.pixels[y][x][:3], (0, 0, 0))

    def test_small_image_is_not_empty(self):
        for name, data in sorted(self.data.items()):
            with self.subTest(icon=name):
                _, _, images = read_ico(data)
                small = images[0]
                middle = [small.pixels[y][x][3] for y in range(4, 12) for x in range(4, 12)]
                self.assertGreaterEqual(sum(1 for a in middle if a == 255), 12)

    def test_small_image_comes_from_the_pixel_drawing(self):
        # The 16 px drawing sits on whole pixels; if the generator fell
        # back to shrinking the large drawing, soft edges would show up.
        for name, data in sorted(self.data.items()):
            with self.subTest(icon=name):
                _, _, images = read_ico(data)
                soft = [p for row in images[0].pixels for p in row if 0 < p[3] < 255]
                self.assertEqual(soft, [])
                # ...and the large drawing did render at 32 px, soft edges and all.
                soft32 = [p for row in images[1].pixels for p in row if 0 < p[3] < 255]
                self.assertGreater(len(soft32), 10)

    def test_four_bit_images_use_only_the_standard_colours(self):
        for name, data in sorted(self.data.items()):
            with self.subTest(icon=name):
                _, _, images = read_ico(data)
                for im in images[6:]:
                    used = {im.palette[i][:3] for row in im.indices for i in row}
                    self.assertLessEqual(used, set(STANDARD_16))

    def test_palette_images_keep_the_colours(self):
        for name, data in sorted(self.data.items()):
            with self.subTest(icon=name):
                _, _, images = read_ico(data)
                truth = {im.width: im.pixels for im in images if im.bits == 32}
                for im in images[3:6]:
                    with self.subTest(size=im.width):
                        worst = max(math.dist(im.pixels[y][x][:3], truth[im.width][y][x][:3])
                                    for y in range(im.width) for x in range(im.width)
                                    if truth[im.width][y][x][3] == 255)
                        self.assertLess(worst, 16)
                for im in images[6:]:
                    with self.subTest(size=im.width, bits=4):
                        opaque = [im.pixels[y][x][:3] for y in range(im.width) for x in range(im.width)
                                  if not im.masked[y][x]]
                        # Brass has to come out as yellow or olive, not as
                        # whatever a swapped channel order would give.
                        brass = sum(1 for c in opaque if c in ((255, 255, 0), (128, 128, 0)))
                        self.assertGreater(brass, len(opaque) // 3)
                        self.assertGreaterEqual(len(set(opaque)), 3)

    def test_same_source_gives_same_bytes(self):
        with tempfile.TemporaryDirectory(prefix="test-make-icon-") as tmp:
            again = run_generator(ROOT / "resources" / "icons" / "key-lock.svg",
                                  Path(tmp) / "again.ico")
        self.assertEqual(again, self.data["key-lock"])


class FailingDrawing(unittest.TestCase):

    def test_a_drawing_that_does_not_render_fails_and_leaves_no_icon(self):
        # The build takes an icon that is there for one that was made.
        with tempfile.TemporaryDirectory(prefix="test-make-icon-") as tmp:
            svg = Path(tmp) / "broken.svg"
            svg.write_text("<svg xmlns='http://www.w3.org/2000/svg'><rect", encoding="utf-8")
            out = Path(tmp) / "broken.ico"
            done = subprocess.run([str(SCRIPT), str(svg), str(out)],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            self.assertNotEqual(done.returncode, 0)
            self.assertIn(b"make-icon: " + bytes(svg), done.stderr)
            self.assertFalse(out.exists())

if __name__ == "__main__":
    unittest.main()
