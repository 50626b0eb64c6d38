"""Writes the program's Windows icon file from its PNG pictures:

    make_ico.py OUT.ico 16.png 32.png 48.png 128.png 256.png

Sizes below 256 pixels are stored as 32-bit bitmaps with an AND mask, which
every Windows and Wine draws; the 256-pixel picture stays PNG, as Windows
keeps large icons. Takes 8-bit RGBA PNG files without interlacing, as
scripts/make-icons writes them."""

import struct
import sys
import zlib


def read_png(path):
    """Width, height and the rows of RGBA bytes of a PNG file."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise SystemExit(path + ": not a PNG file")
    pos, compressed = 8, b""
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", body)
            if (depth, colour, interlace) != (8, 6, 0):
                raise SystemExit(path + ": not 8-bit RGBA without interlacing")
        elif kind == b"IDAT":
            compressed += body
        pos += 12 + length
    raw = zlib.decompress(compressed)
    stride = width * 4
    rows, previous = [], bytearray(stride)
    for y in range(height):
        start = y * (stride + 1)
        kind, line = raw[start], bytearray(raw[start + 1:start + 1 + stride])
        for i in range(stride):
            left = line[i - 4] if i >= 4 else 0
            up = previous[i]
            corner = previous[i - 4] if i >= 4 else 0
            if kind == 1:
                line[i] = (line[i] + left) & 0xFF
            elif kind == 2:
                line[i] = (line[i] + up) & 0xFF
            elif kind == 3:
                line[i] = (line[i] + (left + up) // 2) & 0xFF
            elif kind == 4:
                estimate = left + up - corner
                pa, pb, pc = abs(estimate - left), abs(estimate - up), abs(estimate - corner)
                nearest = left if pa <= pb and pa <= pc else (up if pb <= pc else corner)
                line[i] = (line[i] + nearest) & 0xFF
        rows.append(bytes(line))
        previous = line
    return width, height, rows


def bitmap_entry(width, height, rows):
    """A BITMAPINFOHEADER, the BGRA pixels bottom-up, then the AND mask."""
    header = struct.pack("<IiiHHIIiiII", 40, width, height * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b"".join(
        bytes(b for i in range(0, len(row), 4) for b in (row[i + 2], row[i + 1], row[i], row[i + 3]))
        for row in reversed(rows))
    mask_stride = ((width + 31) // 32) * 4
    mask = b""
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x in range(width):
            if row[x * 4 + 3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bytes(bits)
    return header + pixels + mask


def main():
    out, pictures = sys.argv[1], sys.argv[2:]
    images = []
    for path in pictures:
        width, height, rows = read_png(path)
        if width >= 256:
            with open(path, "rb") as f:
                images.append((width, height, f.read()))
        else:
            images.append((width, height, bitmap_entry(width, height, rows)))
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    body = b""
    for width, height, data in images:
        directory += struct.pack("<BBBBHHII", width % 256, height % 256, 0, 0, 1, 32, len(data),
                                 offset + len(body))
        body += data
    with open(out, "wb") as f:
        f.write(directory + body)


if __name__ == "__main__":
    main()
