#!/usr/bin/env python3
"""Draws the program icon (TrevikUpd.ico): a blue tile with a white upward arrow, 16 and 32 pixels,
32-bit with alpha. Run once; the .ico is kept in the repository."""
import struct, sys

def pixels(size):
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            u, v = (x + 0.5) / size, (y + 0.5) / size
            inside = 0.06 < u < 0.94 and 0.06 < v < 0.94
            corner = min(u, 1 - u) < 0.16 and min(v, 1 - v) < 0.16
            if corner:
                cu = 0.16 if u < 0.5 else 0.84
                cv = 0.16 if v < 0.5 else 0.84
                inside = inside and (u - cu) ** 2 + (v - cv) ** 2 < 0.10 ** 2
            if not inside:
                row.append((0, 0, 0, 0))
                continue
            head = v < 0.52 and abs(u - 0.5) < (v - 0.16) * 0.95
            shaft = 0.4 < u < 0.6 and 0.45 <= v < 0.84
            if head or shaft:
                row.append((255, 255, 255, 255))
            else:
                shade = int(150 + 80 * (1 - v))
                row.append((shade, 90, 20, 255))  # BGRA: blue tile
        rows.append(row)
    return rows

def dib(size):
    rows = pixels(size)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    xor = b''.join(bytes(c for px in rows[size - 1 - y] for c in px) for y in range(size))
    stride = ((size + 31) // 32) * 4
    andmask = bytearray()
    for y in range(size):
        bits = bytearray(stride)
        for x in range(size):
            if rows[size - 1 - y][x][3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        andmask += bits
    return header + xor + bytes(andmask)

images = [dib(s) for s in (32, 16)]
out = struct.pack('<HHH', 0, 1, len(images))
offset = 6 + 16 * len(images)
for s, img in zip((32, 16), images):
    out += struct.pack('<BBBBHHII', s, s, 0, 0, 1, 32, len(img), offset)
    offset += len(img)
out += b''.join(images)
open(sys.argv[1] if len(sys.argv) > 1 else 'TrevikUpd.ico', 'wb').write(out)
