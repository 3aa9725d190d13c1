#!/usr/bin/env python3
"""Draws the main window's background picture (454 x 283, 24-bit) and the program icon.

Run once after changing the drawing; the results are committed beside this script.
"""
import struct

W, H = 454, 283


def lerp(a, b, t):
    return int(a + (b - a) * t)


def background():
    px = [[(0, 0, 0)] * W for _ in range(H)]
    top, bottom = (236, 244, 252), (196, 216, 240)
    for y in range(H):
        t = y / (H - 1)
        row = (lerp(top[0], bottom[0], t), lerp(top[1], bottom[1], t), lerp(top[2], bottom[2], t))
        px[y] = [row] * W
    # A band behind the status lines.
    for y in range(96, 190):
        px[y] = [tuple(min(255, c + 14) for c in px[y][0])] * W
    # Barcode, top left.
    x = 24
    widths = [2, 1, 3, 1, 1, 2, 4, 1, 2, 1, 3, 2, 1, 1, 3, 1, 2, 2, 1, 3, 1, 2, 1, 1, 4, 1, 2]
    for i, w in enumerate(widths):
        if i % 2 == 0:
            for yy in range(18, 74):
                for xx in range(x, x + w * 2):
                    px[yy][xx] = (30, 50, 90)
        x += w * 2
    # ID card outline, next to the barcode.
    cx, cy, cw, ch = 150, 16, 84, 56
    for yy in range(cy, cy + ch):
        for xx in range(cx, cx + cw):
            edge = yy in (cy, cy + ch - 1) or xx in (cx, cx + cw - 1)
            px[yy][xx] = (30, 50, 90) if edge else (250, 250, 255)
    for yy in range(cy + 10, cy + 40):
        for xx in range(cx + 8, cx + 30):
            px[yy][xx] = (170, 190, 220)
    for k in range(4):
        for xx in range(cx + 38, cx + 76):
            px[cy + 12 + k * 9][xx] = (120, 140, 170)
    return px


def write_bmp(path, px):
    row_bytes = (W * 3 + 3) & ~3
    data = bytearray()
    for y in range(H - 1, -1, -1):
        row = bytearray()
        for (r, g, b) in px[y]:
            row += bytes((b, g, r))
        row += b"\0" * (row_bytes - len(row))
        data += row
    header = struct.pack("<2sIHHI", b"BM", 54 + len(data), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, W, H, 1, 24, 0, len(data), 2835, 2835, 0, 0)
    with open(path, "wb") as f:
        f.write(header + info + data)


def write_ico(path):
    size = 32
    pixels = bytearray()
    for y in range(size - 1, -1, -1):
        for x in range(size):
            inside = 2 <= x < 30 and 6 <= y < 26
            bar = inside and 5 <= y < 23 and (x // 2) % 3 != 2 and 5 <= x < 27
            if bar:
                pixels += bytes((90, 50, 30, 255))
            elif inside:
                pixels += bytes((250, 244, 236, 255))
            else:
                pixels += bytes((0, 0, 0, 0))
    mask = bytes(((size + 31) // 32) * 4 * size)
    info = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(pixels) + len(mask), 0, 0, 0, 0)
    image = info + pixels + mask
    header = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(image), 6 + 16)
    with open(path, "wb") as f:
        f.write(header + entry + image)


if __name__ == "__main__":
    write_bmp("background.bmp", background())
    write_ico("ordane.ico")
