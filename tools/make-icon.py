#!/usr/bin/env python3
"""Build a Windows .ico from one of our SVG icon sources.

    python3 tools/make-icon.py SOURCE.svg OUT.ico

The icon holds eight images, in this order; Windows takes the one whose
size and colour depth best fit the display, so these cover everything
from a 16-colour VGA session up:

    16, 32, 48 px at 32 bpp   (straight alpha, plus an AND mask)
    16, 32, 48 px at  8 bpp   (own palette, AND mask from alpha)
    16, 32     px at  4 bpp   (standard 16-colour palette, AND mask)

Small sizes: an SVG may carry several drawings of the same picture, each
in a group with the class "size-N" (N = the pixel size it was drawn for).
A 48 px drawing shrunk to 16 px turns to mush, so the 16 px one is drawn
separately on a 16-unit grid.  For a target of P pixels the drawing with
the smallest N >= P is rendered (the largest N if none is big enough);
the others are hidden through a user stylesheet handed to rsvg-convert.
The SVG itself hides every variant but the largest, so a browser or an
editor shows the full-size drawing.  An SVG without "size-N" groups is
simply rendered at every size.

Only the Python standard library is used, plus rsvg-convert (Debian
package librsvg2-bin, installed by tools/setup.sh) to rasterise the SVG
to PNG; the PNG is decoded here.  The output depends only on the input,
so the same SVG always gives the same bytes.
"""

import os
import re
import struct
import subprocess
import sys
import tempfile
import zlib

# (size in px, bits per pixel), in directory order.
LAYOUT = (
    (16, 32), (32, 32), (48, 32),
    (16, 8), (32, 8), (48, 8),
    (16, 4), (32, 4),
)

# The palette every 16-colour Windows display has; 4 bpp images use it
# as is, so they look the same on any such display.
WINDOWS_16 = (
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
)

# Palette images only have an on/off mask; a pixel at least half covered
# is drawn.  The 32 bpp mask uses the same cut so that all depths agree
# on the outline when alpha blending is not available.
OPAQUE_FROM = 128


class IconError(Exception):
    pass


# ---------------------------------------------------------------- PNG input

def _paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def _unfilter(raw, width, height, bpp):
    """Undo the per-row PNG filters; bpp is bytes per complete pixel."""
    stride = width * bpp
    if len(raw) < height * (stride + 1):
        raise IconError("PNG image data is truncated")
    out = bytearray(height * stride)
    prev = bytearray(stride)
    pos = 0
    for y in range(height):
        ftype = raw[pos]
        line = bytearray(raw[pos + 1:pos + 1 + stride])
        pos += stride + 1
        if ftype == 0:
            pass
        elif ftype == 1:
            for i in range(bpp, stride):
                line[i] = (line[i] + line[i - bpp]) & 0xFF
        elif ftype == 2:
            for i in range(stride):
                line[i] = (line[i] + prev[i]) & 0xFF
        elif ftype == 3:
            for i in range(stride):
                left = line[i - bpp] if i >= bpp else 0
                line[i] = (line[i] + ((left + prev[i]) >> 1)) & 0xFF
        elif ftype == 4:
            for i in range(stride):
                left = line[i - bpp] if i >= bpp else 0
                upleft = prev[i - bpp] if i >= bpp else 0
                line[i] = (line[i] + _paeth(left, prev[i], upleft)) & 0xFF
        else:
            raise IconError("PNG row %d has unknown filter type %d" % (y, ftype))
        out[y * stride:(y + 1) * stride] = line
        prev = line
    return out


def decode_png(data):
    """Return (width, height, pixels) with pixels as bytes RGBA, 8 bits each.

    Handles what a renderer plausibly writes: grey, grey+alpha, RGB, RGBA
    at 8 or 16 bits and 8-bit palette images, non-interlaced.
    """
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise IconError("not a PNG file")
    pos = 8
    header = None
    palette = None
    trns = None
    idat = []
    while pos + 8 <= len(data):
        length, ctype = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if len(body) != length:
            raise IconError("PNG chunk %r is truncated" % ctype)
        pos += 12 + length
        if ctype == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif ctype == b"PLTE":
            palette = [tuple(body[i:i + 3]) for i in range(0, len(body) - 2, 3)]
        elif ctype == b"tRNS":
            trns = bytes(body)
        elif ctype == b"IDAT":
            idat.append(body)
        elif ctype == b"IEND":
            break
    if header is None:
        raise IconError("PNG has no IHDR")
    width, height, depth, colour, _comp, _filt, interlace = header
    if interlace:
        raise IconError("interlaced PNG is not supported")
    channels = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}.get(colour)
    if channels is None:
        raise IconError("PNG colour type %d is not supported" % colour)
    if depth not in (8, 16) or (colour == 3 and depth != 8):
        raise IconError("PNG bit depth %d with colour type %d is not supported"
                        % (depth, colour))
    step = depth // 8
    try:
        raw = zlib.decompress(b"".join(idat))
    except zlib.error as exc:
        raise IconError("PNG image data is damaged: %s" % exc)
    flat = _unfilter(raw, width, height, channels * step)
    if step == 2:
        flat = flat[0::2]  # keep the high byte of every sample
    n = width * height
    rgba = bytearray(n * 4)
    if colour == 6:
        rgba[:] = flat
    elif colour == 2:
        rgba[0::4] = flat[0::3]
        rgba[1::4] = flat[1::3]
        rgba[2::4] = flat[2::3]
        rgba[3::4] = b"\xff" * n
        if trns is not None and len(trns) == 6 and step == 1:
            key = bytes((trns[1], trns[3], trns[5]))
            for i in range(n):
                if flat[i * 3:i * 3 + 3] == key:
                    rgba[i * 4 + 3] = 0
    elif colour == 0:
        rgba[0::4] = flat
        rgba[1::4] = flat
        rgba[2::4] = flat
        rgba[3::4] = b"\xff" * n
        if trns is not None and len(trns) == 2 and step == 1:
            for i in range(n):
                if flat[i] == trns[1]:
                    rgba[i * 4 + 3] = 0
    elif colour == 4:
        grey = flat[0::2]
        rgba[0::4] = grey
        rgba[1::4] = grey
        rgba[2::4] = grey
        rgba[3::4] = flat[1::2]
    else:  # palette
        if palette is None:
            raise IconError("palette PNG without PLTE")
        alphas = list(trns or b"") + [255] * (256 - len(trns or b""))
        for i, index in enumerate(flat):
            if index >= len(palette):
                raise IconError("PNG pixel uses palette entry %d of %d" % (index, len(palette)))
            rgba[i * 4:i * 4 + 4] = bytes(palette[index] + (alphas[index],))
    return width, height, bytes(rgba)


# ------------------------------------------------------------- rasterising

def variant_sizes(svg_text):
    """Sizes N of the "size-N" drawings an SVG carries, sorted."""
    sizes = set()
    for _, classes in re.findall(r"""\bclass\s*=\s*(["'])(.*?)\1""", svg_text, re.S):
        sizes.update(int(n) for n in re.findall(r"(?<![\w-])size-(\d+)(?![\w-])", classes))
    return sorted(sizes)


def pick_variant(sizes, px):
    """Which drawing to render for px pixels: smallest N >= px, else largest."""
    if not sizes:
        return None
    bigger = [n for n in sizes if n >= px]
    return min(bigger) if bigger else max(sizes)


def rasterise(svg_path, px, workdir):
    """Render the SVG at px x px and return its RGBA pixels."""
    with open(svg_path, encoding="utf-8") as f:
        sizes = variant_sizes(f.read())
    cmd = ["rsvg-convert", "--format", "png", "--width", str(px), "--height", str(px)]
    chosen = pick_variant(sizes, px)
    if chosen is not None:
        # A user sheet loses to the document's own rules unless marked
        # important, and the document hides the small drawings itself.
        rules = [".size-%d { display: none !important; }" % n for n in sizes if n != chosen]
        rules.append(".size-%d { display: inline !important; }" % chosen)
        css = os.path.join(workdir, "size-%d.css" % px)
        with open(css, "w", encoding="utf-8") as f:
            f.write("\n".join(rules) + "\n")
        cmd += ["--stylesheet", css]
    cmd.append(svg_path)
    try:
        done = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=False)
    except FileNotFoundError:
        raise IconError("rsvg-convert not found; run tools/setup.sh (package librsvg2-bin)")
    if done.returncode != 0:
        raise IconError("rsvg-convert failed on %s: %s"
                        % (svg_path, done.stderr.decode(errors="replace").strip()))
    width, height, rgba = decode_png(done.stdout)
    if (width, height) != (px, px):
        raise IconError("rsvg-convert gave %dx%d for %d px; is the SVG square?"
                        % (width, height, px))
    return rgba


# -------------------------------------------------------------- colour work

def _linear(c):
    c /= 255.0
    return c / 12.92 if c <= 0.04045 else ((c + 0.055) / 1.055) ** 2.4


def _lab(rgb):
    """sRGB to CIE L*a*b* (D65)."""
    r, g, b = (_linear(c) for c in rgb)
    xyz = ((0.4124 * r + 0.3576 * g + 0.1805 * b) / 0.95047,
           0.2126 * r + 0.7152 * g + 0.0722 * b,
           (0.0193 * r + 0.1192 * g + 0.9505 * b) / 1.08883)
    fx, fy, fz = (t ** (1.0 / 3) if t > 0.008856 else 7.787 * t + 16.0 / 116 for t in xyz)
    return (116 * fy - 16, 500 * (fx - fy), 200 * (fy - fz))


class Palette:
    """Nearest-colour lookup, measured in L*a*b*.

    In plain RGB the brown where the outline meets the brass lands on
    maroon in the 16-colour set and shows as red dots; by eye it is a
    dark olive, and L*a*b* distance agrees with the eye.
    """

    def __init__(self, colours):
        self.colours = list(colours)
        self._labs = [_lab(c) for c in self.colours]
        self._cache = {}

    def index(self, colour):
        found = self._cache.get(colour)
        if found is None:
            lab = _lab(colour)
            best = None
            for i, p in enumerate(self._labs):
                d = (lab[0] - p[0]) ** 2 + (lab[1] - p[1]) ** 2 + (lab[2] - p[2]) ** 2
                if best is None or d < best:
                    best, found = d, i
            self._cache[colour] = found
        return found


def median_cut(counts, limit):
    """Reduce {colour: pixel count} to at most limit colours.

    Boxes are split on their widest channel at the pixel-weighted median,
    always taking the box that covers the most pixels times its spread, so
    the colours that fill the picture get the finest steps.  Every step is
    ordered explicitly, so the result does not depend on dict order.
    """
    if len(counts) <= limit:
        return sorted(counts)
    boxes = [sorted(counts.items())]

    def spread(box):
        best = (0, 0)
        for ch in range(3):
            values = [c[ch] for c, _ in box]
            best = max(best, (max(values) - min(values), -ch))
        return best[0], -best[1]

    while len(boxes) < limit:
        ranked = []
        for i, box in enumerate(boxes):
            width, _ = spread(box)
            if len(box) > 1 and width > 0:
                ranked.append((width * sum(n for _, n in box), -i))
        if not ranked:
            break
        i = -max(ranked)[1]
        box = boxes[i]
        _, ch = spread(box)
        box.sort(key=lambda item: (item[0][ch], item[0]))
        total = sum(n for _, n in box)
        run = 0
        cut = 1
        for j, (_, n) in enumerate(box[:-1]):
            run += n
            cut = j + 1
            if run * 2 >= total:
                break
        boxes[i:i + 1] = [box[:cut], box[cut:]]
    palette = []
    for box in boxes:
        total = sum(n for _, n in box)
        palette.append(tuple((sum(c[ch] * n for c, n in box) + total // 2) // total
                             for ch in range(3)))
    return sorted(set(palette))


# ------------------------------------------------------------------ DIBs

def _mask_rows(rgba, px):
    """1-bit AND mask, bottom row first, rows padded to 4 bytes.

    A set bit leaves the screen pixel alone; the XOR data there is black,
    so nothing is drawn.
    """
    row_bytes = ((px + 31) // 32) * 4
    out = bytearray()
    for y in reversed(range(px)):
        row = bytearray(row_bytes)
        for x in range(px):
            if rgba[(y * px + x) * 4 + 3] < OPAQUE_FROM:
                row[x >> 3] |= 0x80 >> (x & 7)
        out += row
    return bytes(out)


def _info_header(px, bits, image_bytes):
    # Height is doubled: an icon DIB is the XOR image stacked on the mask.
    return struct.pack("<IiiHHIIiiII", 40, px, px * 2, 1, bits, 0, image_bytes, 0, 0, 0, 0)


def dib_32(rgba, px):
    xor = bytearray()
    for y in reversed(range(px)):
        for x in range(px):
            r, g, b, a = rgba[(y * px + x) * 4:(y * px + x) * 4 + 4]
            xor += bytes((b, g, r, a)) if a else b"\0\0\0\0"
    mask = _mask_rows(rgba, px)
    return _info_header(px, 32, len(xor) + len(mask)) + bytes(xor) + mask


def _dib_indexed(rgba, px, bits, palette):
    """Palette image; palette[0] must be black, it fills the masked pixels."""
    lookup = Palette(palette)
    indices = []
    for y in reversed(range(px)):
        row = []
        for x in range(px):
            r, g, b, a = rgba[(y * px + x) * 4:(y * px + x) * 4 + 4]
            row.append(lookup.index((r, g, b)) if a >= OPAQUE_FROM else 0)
        indices.append(row)
    row_bytes = ((px * bits + 31) // 32) * 4
    per_byte = 8 // bits
    xor = bytearray()
    for row in indices:
        packed = bytearray(row_bytes)
        for x, index in enumerate(row):
            shift = (per_byte - 1 - x % per_byte) * bits
            packed[x // per_byte] |= index << shift
        xor += packed
    mask = _mask_rows(rgba, px)
    table = bytearray()
    for r, g, b in palette:
        table += bytes((b, g, r, 0))
    table += bytes(4 * ((1 << bits) - len(palette)))
    return _info_header(px, bits, len(xor) + len(mask)) + bytes(table) + bytes(xor) + mask


def dib_8(rgba, px):
    counts = {}
    for i in range(0, len(rgba), 4):
        if rgba[i + 3] >= OPAQUE_FROM:
            c = tuple(rgba[i:i + 3])
            counts[c] = counts.get(c, 0) + 1
    # Entry 0 stays black for the masked pixels; black in the picture
    # maps onto it as well, so it is never wasted.
    colours = [c for c in median_cut(counts, 255) if c != (0, 0, 0)]
    return _dib_indexed(rgba, px, 8, [(0, 0, 0)] + colours)


def dib_4(rgba, px):
    return _dib_indexed(rgba, px, 4, list(WINDOWS_16))


# ------------------------------------------------------------------- ICO

def build_ico(svg_path):
    with tempfile.TemporaryDirectory(prefix="make-icon-") as workdir:
        renders = {px: rasterise(svg_path, px, workdir) for px in sorted({p for p, _ in LAYOUT})}
    images = []
    for px, bits in LAYOUT:
        encode = {32: dib_32, 8: dib_8, 4: dib_4}[bits]
        images.append((px, bits, encode(renders[px], px)))
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for px, bits, dib in images:
        colours = 1 << bits if bits < 8 else 0
        out += struct.pack("<BBBBHHII", px % 256, px % 256, colours, 0, 1, bits, len(dib), offset)
        offset += len(dib)
    for _, _, dib in images:
        out += dib
    return bytes(out)


def main(argv):
    if len(argv) != 3:
        sys.stderr.write("usage: %s SOURCE.svg OUT.ico\n" % os.path.basename(argv[0]))
        return 2
    source, target = argv[1], argv[2]
    try:
        data = build_ico(source)
    except (IconError, OSError) as exc:
        sys.stderr.write("make-icon: %s\n" % exc)
        return 1
    # Write beside the target and rename, so a failed run never leaves a
    # half-written icon for the resource compiler to pick up.
    tmp = target + ".tmp"
    try:
        with open(tmp, "wb") as f:
            f.write(data)
        os.replace(tmp, target)
    except OSError as exc:
        sys.stderr.write("make-icon: cannot write %s: %s\n" % (target, exc))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
