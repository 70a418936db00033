#!/usr/bin/env bash
# Builds a Windows icon from one of the SVG drawings of resources/icons:
#   tools/make-icon.sh SOURCE.svg OUT.ico
# It holds eight images, in this order; Windows takes the one whose size
# and colour depth best fit the display, from a 16-colour VGA session up:
#   16, 32, 48 px at 32 bpp   alpha, and an AND mask from it
#   16, 32, 48 px at  8 bpp   a palette of the picture's own colours
#   16, 32     px at  4 bpp   the colours every 16-colour display has
# rsvg-convert renders each size, ImageMagick reduces the colours and
# icotool packs the images. icotool gives each image the smallest depth
# its colours fit, so the icon is listed back and refused unless it has
# exactly this layout.
#
# A drawing may carry smaller drawings of the same picture in groups of
# class "size-N": a 48 px key shrunk to 16 px turns to mush. For P pixels
# the drawing with the smallest N >= P is rendered (the largest N if none
# is big enough) and the others are hidden by a user stylesheet.
set -eEuo pipefail
if [ $# != 2 ]; then
  echo "usage: $0 SOURCE.svg OUT.ico" >&2
  exit 2
fi
svg=$1
out=$2
layout="16:32 32:32 48:32 16:8 32:8 48:8 16:4 32:4"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Says which step failed: the build log shows this, not only make's exit code.
trap 'echo "make-icon: $svg: failed: $BASH_COMMAND" >&2' ERR

variants=$(grep -oE '(^|[^[:alnum:]_-])size-[0-9]+' "$svg" | grep -oE '[0-9]+$' | sort -nu || true)

variant_for() { # pixels
  local n largest=
  for n in $variants; do
    [ "$n" -lt "$1" ] || { echo "$n"; return; }
    largest=$n
  done
  echo "$largest"
}

render() { # pixels -> $work/PIXELS.png, straight alpha
  local px=$1 chosen n
  local args=(--format png --width "$px" --height "$px")
  chosen=$(variant_for "$px")
  if [ -n "$chosen" ]; then
    # A user sheet loses to the document's own rules unless marked
    # important, and the document hides the small drawings itself.
    for n in $variants; do
      [ "$n" = "$chosen" ] || echo ".size-$n { display: none !important; }"
    done >"$work/size-$px.css"
    echo ".size-$chosen { display: inline !important; }" >>"$work/size-$px.css"
    args+=(--stylesheet "$work/size-$px.css")
  fi
  rsvg-convert "${args[@]}" --output "$work/$px.png" "$svg"
}

# Palette images have a mask but no blending: a pixel at least half covered
# is drawn, the others are black under the mask (Windows XORs the colour
# image onto the screen, so any other colour there would tint the desktop).
# No dithering: at 16 px it is noise, not shading.
reduce() { # pixels bits -> $work/PIXELS-BITS.png
  local px=$1 bits=$2 colours
  if [ "$bits" = 8 ]; then
    colours=(-colors 255)
  else
    colours=(-remap "$work/windows-16.png")
  fi
  # The colours are reduced without the alpha channel (a palette image
  # would lose it), which is then put back.
  convert "$work/$px.png" -channel A -threshold 50% +channel \
    \( +clone -alpha off -dither None "${colours[@]}" \) +swap -compose CopyOpacity -composite \
    -background black -alpha background "PNG32:$work/$px-$bits.png"
}

# The palette of every 16-colour Windows display, so that the 4 bpp images
# look the same on any of them.
convert xc:'#000000' xc:'#800000' xc:'#008000' xc:'#808000' xc:'#000080' xc:'#800080' \
  xc:'#008080' xc:'#c0c0c0' xc:'#808080' xc:'#ff0000' xc:'#00ff00' xc:'#ffff00' \
  xc:'#0000ff' xc:'#ff00ff' xc:'#00ffff' xc:'#ffffff' +append "$work/windows-16.png"

# icotool gives all the images of one icon the same depth when told one,
# and otherwise each the smallest its colours fit (a 16 px drawing of few
# colours would become 4 bpp): each depth is packed on its own, and the
# three directories are joined.
parts=()
for bits in 32 8 4; do
  images=()
  for entry in $layout; do
    [ "${entry#*:}" = "$bits" ] || continue
    px=${entry%:*}
    [ -f "$work/$px.png" ] || render "$px"
    if [ "$bits" = 32 ]; then
      images+=("$work/$px.png")
    else
      reduce "$px" "$bits"
      images+=("$work/$px-$bits.png")
    fi
  done
  icotool --create --bit-depth="$bits" --alpha-threshold=127 --output="$work/$bits.ico" "${images[@]}"
  parts+=("$work/$bits.ico")
done
python3 - "$work/icon.ico" "${parts[@]}" <<'JOIN'
import struct, sys
entries, images = [], []
for path in sys.argv[2:]:
    data = open(path, "rb").read()
    count = struct.unpack_from("<3H", data)[2]
    for i in range(count):
        entry = data[6 + 16 * i:22 + 16 * i]
        size, offset = struct.unpack_from("<II", entry, 8)
        entries.append(entry[:8])
        images.append(data[offset:offset + size])
offset = 6 + 16 * len(entries)
with open(sys.argv[1], "wb") as out:
    out.write(struct.pack("<3H", 0, 1, len(entries)))
    for entry, image in zip(entries, images):
        out.write(entry + struct.pack("<II", len(image), offset))
        offset += len(image)
    out.write(b"".join(images))
JOIN

made=$(icotool --list "$work/icon.ico" |
  sed -E 's/.*--width=([0-9]+) .*--bit-depth=([0-9]+) .*/\1:\2/' | tr '\n' ' ')
if [ "${made% }" != "$layout" ]; then
  echo "make-icon: $svg gave the images ${made% }, not $layout" >&2
  exit 1
fi
mv "$work/icon.ico" "$out"
