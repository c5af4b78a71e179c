#!/usr/bin/env bash
# Renders every icon in svg/ to a single-image 32-bit Windows .ico next to
# this script, and the program icon (lumo) to PNGs in hicolor/ at the sizes
# of the desktop's hicolor icon theme.  Needs rsvg-convert (librsvg2-bin)
# and python3; the encoder below uses only the Python standard library.
#
#   bash resources/render-icons.sh
#
# The rendered .ico and .png files are committed, so building the program
# needs none of these tools.  Re-run this after changing an SVG.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

# name:size (pixels, square)
icons=(
  lumo:192
  setting:100
  download:200
  upload:200
  return:100
  addItem:100
  file:100
  folder:100
)

command -v rsvg-convert >/dev/null || { echo "rsvg-convert not found (apt-get install librsvg2-bin)" >&2; exit 1; }
command -v python3 >/dev/null || { echo "python3 not found" >&2; exit 1; }

tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

for entry in "${icons[@]}"; do
  name="${entry%%:*}"
  size="${entry##*:}"
  rsvg-convert --width "$size" --height "$size" --format png \
    --output "$tmp/$name.png" "$here/svg/$name.svg"
  python3 - "$tmp/$name.png" "$here/$name.ico" "$size" <<'PY'
import struct
import sys
import zlib


def read_png_rgba(path):
    """Decode an 8-bit, non-interlaced RGBA or RGB PNG into rows of RGBA bytes."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise SystemExit(f"{path}: not a PNG")
    pos = 8
    idat = bytearray()
    width = height = None
    while pos < len(data):
        length, ctype = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        pos += 12 + length
        if ctype == b"IHDR":
            width, height, depth, color, _comp, _filt, interlace = struct.unpack(">IIBBBBB", body)
            if depth != 8 or color not in (2, 6) or interlace != 0:
                raise SystemExit(f"{path}: unsupported PNG (depth {depth}, colour type {color}, interlace {interlace})")
            channels = 4 if color == 6 else 3
        elif ctype == b"IDAT":
            idat += body
        elif ctype == b"IEND":
            break
    raw = zlib.decompress(bytes(idat))
    stride = width * channels
    bpp = channels
    rows = []
    prev = bytearray(stride)
    i = 0
    for _ in range(height):
        ftype = raw[i]
        line = bytearray(raw[i + 1:i + 1 + stride])
        i += 1 + stride
        if ftype == 1:      # Sub
            for x in range(bpp, stride):
                line[x] = (line[x] + line[x - bpp]) & 0xFF
        elif ftype == 2:    # Up
            for x in range(stride):
                line[x] = (line[x] + prev[x]) & 0xFF
        elif ftype == 3:    # Average
            for x in range(stride):
                left = line[x - bpp] if x >= bpp else 0
                line[x] = (line[x] + ((left + prev[x]) >> 1)) & 0xFF
        elif ftype == 4:    # Paeth
            for x in range(stride):
                a = line[x - bpp] if x >= bpp else 0
                b = prev[x]
                c = prev[x - bpp] if x >= bpp else 0
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                pred = a if (pa <= pb and pa <= pc) else (b if pb <= pc else c)
                line[x] = (line[x] + pred) & 0xFF
        elif ftype != 0:
            raise SystemExit(f"{path}: bad filter type {ftype}")
        prev = line
        if channels == 3:
            rgba = bytearray()
            for x in range(0, stride, 3):
                rgba += line[x:x + 3] + b"\xff"
            line = rgba
        rows.append(bytes(line))
    return width, height, rows


def write_ico(path, width, height, rows):
    """One-image .ico: BITMAPINFOHEADER, 32-bpp BGRA bottom-up, 1-bpp AND mask."""
    if not (1 <= width <= 256 and 1 <= height <= 256):
        raise SystemExit("icon size must be 1..256")
    xor = bytearray()
    mask = bytearray()
    mask_stride = ((width + 31) // 32) * 4
    for row in reversed(rows):                 # DIB rows are stored bottom-up
        mrow = bytearray(mask_stride)
        for x in range(width):
            r, g, b, a = row[4 * x:4 * x + 4]
            xor += bytes((b, g, r, a))
            if a == 0:                         # fully transparent: mask bit set
                mrow[x >> 3] |= 0x80 >> (x & 7)
        mask += mrow
    image_size = len(xor) + len(mask)
    header = struct.pack("<IiiHHIIiiII",
                         40, width, height * 2, 1, 32, 0,  # BI_RGB
                         image_size, 0, 0, 0, 0)
    image = header + bytes(xor) + bytes(mask)
    icondir = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII",
                        width % 256, height % 256, 0, 0, 1, 32,
                        len(image), 6 + 16)
    with open(path, "wb") as f:
        f.write(icondir + entry + image)


src, dst, size = sys.argv[1], sys.argv[2], int(sys.argv[3])
w, h, rows = read_png_rgba(src)
if (w, h) != (size, size):
    raise SystemExit(f"{src}: rendered {w}x{h}, expected {size}x{size}")
write_ico(dst, w, h, rows)
PY
  echo "wrote ${name}.ico (${size}x${size})"
done

# The program icon for the desktop menu, installed as apps/<id>.png in the
# hicolor theme (see dist/install.cmake); the SVG goes to its scalable size.
mkdir -p "$here/hicolor"
for size in 16 22 24 32 48 64 128 256 512; do
  rsvg-convert --width "$size" --height "$size" --format png \
    --output "$here/hicolor/lumo-$size.png" "$here/svg/lumo.svg"
  echo "wrote hicolor/lumo-$size.png (${size}x${size})"
done
