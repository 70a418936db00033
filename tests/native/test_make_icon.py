"""Checks tools/make-icon.py and the icons it builds from resources/icons.

Run from the repository root:
    python3 -m unittest tests/native/test_make_icon.py

The ICO files are read back with a parser written here, independent of
the generator, so a mistake in the writer is not mirrored by the reader.
"""

import math
import random
import runpy
import struct
import subprocess
import sys
import tempfile
import types
import unittest
import zlib
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
SCRIPT = ROOT / "tools" / "make-icon.py"
ICONS = ("key", "key-lock")

# (size, bits per pixel) in directory order.
LAYOUT = [(16, 32), (32, 32), (48, 32), (16, 8), (32, 8), (48, 8), (16, 4), (32, 4)]

STANDARD_16 = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]


def load_generator():
    # The script's name has a dash, so it is loaded from its path.
    return types.SimpleNamespace(**runpy.run_path(str(SCRIPT), run_name="make_icon"))


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
    done = subprocess.run([sys.executable, str(SCRIPT), str(svg), str(out)],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if done.returncode != 0:
        raise AssertionError("make-icon.py failed on %s: %s"
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
                        self.assertIn(im.image_size, (0, im.xor_and_mask_length))
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

    def test_four_bit_images_use_the_standard_palette(self):
        for name, data in sorted(self.data.items()):
            with self.subTest(icon=name):
                _, _, images = read_ico(data)
                for im in images[6:]:
                    self.assertEqual([p[:3] for p in im.palette], STANDARD_16)

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


def encode_png(width, height, colour_type, channels, pixels, filters, extra=b"", depth=8):
    """PNG writer for the decoder tests; pixels is a flat byte string."""
    channels *= depth // 8  # from here on: bytes per pixel
    stride = width * channels
    out = bytearray()
    prev = bytes(stride)
    for y in range(height):
        line = pixels[y * stride:(y + 1) * stride]
        ftype = filters[y % len(filters)]
        filtered = bytearray()
        for i in range(stride):
            left = line[i - channels] if i >= channels else 0
            up = prev[i]
            upleft = prev[i - channels] if i >= channels else 0
            if ftype == 0:
                pred = 0
            elif ftype == 1:
                pred = left
            elif ftype == 2:
                pred = up
            elif ftype == 3:
                pred = (left + up) // 2
            else:
                p = left + up - upleft
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - upleft)
                pred = left if pa <= pb and pa <= pc else (up if pb <= pc else upleft)
            filtered.append((line[i] - pred) & 0xFF)
        out.append(ftype)
        out += filtered
        prev = line

    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body
                + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))

    ihdr = struct.pack(">IIBBBBB", width, height, depth, colour_type, 0, 0, 0)
    compressed = zlib.compress(bytes(out))
    # Split the data over two IDAT chunks, as encoders may.
    half = len(compressed) // 2
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + extra
            + chunk(b"IDAT", compressed[:half]) + chunk(b"IDAT", compressed[half:])
            + chunk(b"IEND", b""))


class PngDecoding(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.gen = load_generator()
        rng = random.Random(7)
        cls.w, cls.h = 13, 9  # odd sizes: no accidental alignment
        cls.rgba = bytes(rng.randrange(256) for _ in range(cls.w * cls.h * 4))

    def test_every_filter_type_round_trips(self):
        for filters in ([0], [1], [2], [3], [4], [4, 3, 2, 1, 0]):
            with self.subTest(filters=filters):
                data = encode_png(self.w, self.h, 6, 4, self.rgba, filters)
                self.assertEqual(self.gen.decode_png(data), (self.w, self.h, self.rgba))

    def test_sixteen_bit_samples_keep_their_high_byte(self):
        rng = random.Random(11)
        low = bytes(rng.randrange(256) for _ in range(len(self.rgba)))
        wide = bytes(b for pair in zip(self.rgba, low) for b in pair)
        data = encode_png(self.w, self.h, 6, 4, wide, [4, 3, 1], depth=16)
        self.assertEqual(self.gen.decode_png(data), (self.w, self.h, self.rgba))

    def test_rgb_without_alpha_comes_out_opaque(self):
        rgb = bytes(b for i, b in enumerate(self.rgba) if i % 4 != 3)
        data = encode_png(self.w, self.h, 2, 3, rgb, [4, 1])
        _, _, out = self.gen.decode_png(data)
        self.assertEqual(out[0::4], rgb[0::3])
        self.assertEqual(out[2::4], rgb[2::3])
        self.assertEqual(set(out[3::4]), {255})

    def test_palette_with_transparency(self):
        plte = bytes([10, 20, 30, 200, 100, 50])
        trns = bytes([0])
        extra = (struct.pack(">I", len(plte)) + b"PLTE" + plte
                 + struct.pack(">I", zlib.crc32(b"PLTE" + plte) & 0xFFFFFFFF)
                 + struct.pack(">I", len(trns)) + b"tRNS" + trns
                 + struct.pack(">I", zlib.crc32(b"tRNS" + trns) & 0xFFFFFFFF))
        indices = bytes([0, 1, 1, 0])
        _, _, out = self.gen.decode_png(encode_png(2, 2, 3, 1, indices, [2], extra))
        self.assertEqual(out, bytes([10, 20, 30, 0, 200, 100, 50, 255,
                                     200, 100, 50, 255, 10, 20, 30, 0]))

    def test_unknown_filter_type_is_refused(self):
        stride = self.w * 4
        raw = b"".join(bytes([5 if y == 0 else 0]) + self.rgba[y * stride:(y + 1) * stride]
                       for y in range(self.h))
        with self.assertRaises(self.gen.IconError):
            self.gen.decode_png(encode_raw(self.w, self.h, raw))


def encode_raw(width, height, raw):
    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body
                + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))
    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))


class Quantising(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.gen = load_generator()

    def test_more_colours_than_the_palette_holds(self):
        # 2304 different colours in a 48 px image: the 8 bpp image has to
        # choose 255 of them and stay close to every pixel.
        px = 48
        rgba = bytearray()
        for y in range(px):
            for x in range(px):
                rgba += bytes((x * 5, y * 5, (x + y) * 2 + 20, 255))
        dib = self.gen.dib_8(bytes(rgba), px)
        ico = struct.pack("<HHH", 0, 1, 1) + struct.pack(
            "<BBBBHHII", px, px, 0, 0, 1, 8, len(dib), 22) + dib
        _, _, (im,) = read_ico(ico)
        used = {i for row in im.indices for i in row}
        self.assertGreater(len(used), 200, "palette budget left unused")
        errors = [math.dist(im.pixels[y][x][:3], tuple(rgba[(y * px + x) * 4:(y * px + x) * 4 + 3]))
                  for y in range(px) for x in range(px)]
        # Pixels are matched to the palette by eye (L*a*b*), so a single
        # pixel may sit farther off in RGB than the box spacing suggests;
        # on average it has to stay close.  64 colours would give ~14.
        self.assertLess(sum(errors) / len(errors), 10)
        self.assertLess(max(errors), 36)

    def test_variant_choice(self):
        pick = self.gen.pick_variant
        self.assertEqual([pick([16, 48], n) for n in (16, 20, 32, 48, 64)], [16, 48, 48, 48, 48])
        self.assertEqual(pick([16, 32, 48], 32), 32)
        self.assertIsNone(pick([], 16))

    def test_both_sources_carry_a_16_px_drawing(self):
        for name in ICONS:
            text = (ROOT / "resources" / "icons" / (name + ".svg")).read_text(encoding="utf-8")
            self.assertEqual(self.gen.variant_sizes(text), [16, 48], name)


if __name__ == "__main__":
    unittest.main()
