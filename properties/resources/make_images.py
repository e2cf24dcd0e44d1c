#!/usr/bin/env python3
"""Draws the preview bitmaps (a fax page, portrait 35x45 and landscape 45x35,
8 bits per pixel) and the printer icon (32x32 and 16x16 at 4, 8 and 32 bits
per pixel). Run it to rebuild portrait.bmp, landscape.bmp and properties.ico."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

# 16 colours; the first 16 entries of every palette.
BASE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
    (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
    (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, DGRAY, LGRAY, WHITE, BLUE, NAVY = 0, 8, 7, 15, 12, 4
FACE = 7  # button face; the page's preview fills around the bitmap with it


def palette256():
    pal = list(BASE)
    while len(pal) < 256:
        pal.append((0, 0, 0))
    return pal


def fax_page(w, h):
    """A sheet with a folded corner, a header bar and text lines."""
    px = [[FACE] * w for _ in range(h)]
    fold = 7
    for y in range(1, h - 1):
        for x in range(2, w - 2):
            px[y][x] = WHITE
    # outline
    for x in range(2, w - 2):
        px[1][x] = BLACK
        px[h - 2][x] = BLACK
    for y in range(1, h - 1):
        px[y][2] = BLACK
        px[y][w - 3] = BLACK
    # folded corner at the top right
    for i in range(fold):
        for j in range(fold - i):
            px[1 + i][w - 3 - j] = FACE
        px[1 + i][w - 3 - (fold - i)] = BLACK
        px[1 + fold][w - 3 - i] = BLACK
        for j in range(i):
            px[1 + fold - j][w - 3 - i] = LGRAY if j else BLACK
    # shadow
    for y in range(3, h):
        if y < h:
            px[y][w - 2] = DGRAY
    for x in range(4, w - 1):
        px[h - 1][x] = DGRAY
    # header bar "FAX"
    for y in range(4, 7):
        for x in range(5, min(w - 4 - fold, 5 + (w - 10) // 2)):
            px[y][x] = NAVY
    # text lines
    y = 10
    while y < h - 5:
        end = w - 6 if (y // 3) % 3 else w - 12
        for x in range(5, end):
            px[y][x] = DGRAY
        y += 3
    return px


def bmp8(px):
    h = len(px)
    w = len(px[0])
    stride = (w + 3) & ~3
    pal = palette256()
    rows = b""
    for row in reversed(px):
        rows += bytes(row) + b"\0" * (stride - w)
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 8, 0, len(rows), 2835, 2835, 256, 0)
    paldata = b"".join(struct.pack("BBBB", b, g, r, 0) for (r, g, b) in pal)
    offset = 14 + len(info) + len(paldata)
    header = struct.pack("<2sIHHI", b"BM", offset + len(rows), 0, 0, offset)
    return header + info + paldata + rows


def printer_icon(n):
    """A fax printer: grey body, white sheet coming out, blue panel. None is transparent."""
    s = n / 32.0
    px = [[None] * n for _ in range(n)]

    def rect(x0, y0, x1, y1, c):
        for y in range(int(y0 * s), int(y1 * s)):
            for x in range(int(x0 * s), int(x1 * s)):
                if 0 <= x < n and 0 <= y < n:
                    px[y][x] = c

    rect(9, 2, 25, 14, BLACK)       # sheet outline
    rect(10, 3, 24, 14, WHITE)      # sheet
    for ly in (5, 8, 11):
        rect(12, ly, 22, ly + 1, DGRAY)
    rect(2, 13, 30, 27, BLACK)      # body outline
    rect(3, 14, 29, 26, LGRAY)      # body
    rect(3, 22, 29, 26, DGRAY)      # base
    rect(5, 16, 13, 20, BLUE)       # panel
    rect(22, 16, 24, 18, 10)        # green lamp
    rect(8, 24, 24, 25, BLACK)      # paper slot
    rect(4, 27, 28, 29, DGRAY)      # feet shadow
    return px


def icon_image(px, bpp):
    n = len(px)
    mask_stride = ((n + 31) // 32) * 4
    mask = b""
    for row in reversed(px):
        bits = 0
        out = bytearray(mask_stride)
        for x, c in enumerate(row):
            if c is None:
                out[x // 8] |= 0x80 >> (x % 8)
        mask += bytes(out)
    if bpp == 32:
        data = b""
        for row in reversed(px):
            for c in row:
                if c is None:
                    data += b"\0\0\0\0"
                else:
                    r, g, b = BASE[c]
                    data += struct.pack("BBBB", b, g, r, 255)
        colors = 0
        pal = b""
    else:
        count = 16 if bpp == 4 else 256
        pal = b"".join(struct.pack("BBBB", b, g, r, 0) for (r, g, b) in (palette256()[:count]))
        stride = ((n * bpp + 31) // 32) * 4
        data = b""
        for row in reversed(px):
            out = bytearray(stride)
            for x, c in enumerate(row):
                v = 0 if c is None else c
                if bpp == 8:
                    out[x] = v
                else:
                    out[x // 2] |= (v << 4) if x % 2 == 0 else v
            data += bytes(out)
        colors = count
    info = struct.pack("<IiiHHIIiiII", 40, n, n * 2, 1, bpp, 0, len(data) + len(mask), 0, 0,
                       colors if bpp != 32 else 0, 0)
    return info + pal + data + mask


def ico(images):
    head = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries = b""
    blobs = b""
    for n, bpp, blob in images:
        colors = 16 if bpp == 4 else 0
        entries += struct.pack("<BBBBHHII", n % 256, n % 256, colors, 0, 1, bpp, len(blob), offset)
        offset += len(blob)
        blobs += blob
    return head + entries + blobs


def main():
    with open(os.path.join(HERE, "portrait.bmp"), "wb") as f:
        f.write(bmp8(fax_page(35, 45)))
    with open(os.path.join(HERE, "landscape.bmp"), "wb") as f:
        f.write(bmp8(fax_page(45, 35)))
    images = []
    for bpp in (4, 8, 32):
        for n in (32, 16):
            images.append((n, bpp, icon_image(printer_icon(n), bpp)))
    with open(os.path.join(HERE, "properties.ico"), "wb") as f:
        f.write(ico(images))


if __name__ == "__main__":
    main()
