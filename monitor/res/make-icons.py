#!/usr/bin/env python3
"""Draws the tray program's three icon groups (a ring with a quill stroke, coloured by state) as
32-bit .ico files: python3 make-icons.py <output folder>."""
import math
import struct
import sys


def image(size, rgb):
    """One 32-bit icon image (BITMAPINFOHEADER, BGRA rows bottom-up, empty AND mask)."""
    pixels = bytearray()
    centre = (size - 1) / 2.0
    outer = size / 2.0 - 0.5
    inner = outer * 0.62
    for row in range(size - 1, -1, -1):
        for column in range(size):
            dx, dy = column - centre, row - centre
            distance = math.hypot(dx, dy)
            # the stroke: a diagonal bar from the centre to the lower right
            on_stroke = abs(dx - dy) < size * 0.09 and 0 <= dx <= outer and 0 <= dy <= outer
            alpha = 0
            if inner <= distance <= outer or on_stroke:
                alpha = 255
            elif distance < inner:
                alpha = 60
            r, g, b = rgb
            pixels += bytes((b, g, r, alpha))
    mask_row = ((size + 31) // 32) * 4
    mask = bytes(mask_row * size)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, len(pixels) + len(mask),
                         0, 0, 0, 0)
    return header + bytes(pixels) + mask


def icon(sizes, rgb):
    images = [image(size, rgb) for size in sizes]
    data = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, blob in zip(sizes, images):
        data += struct.pack('<BBBBHHII', size % 256, size % 256, 0, 0, 1, 32, len(blob), offset)
        offset += len(blob)
    for blob in images:
        data += blob
    return data


if __name__ == '__main__':
    folder = sys.argv[1] if len(sys.argv) > 1 else '.'
    groups = {
        'startup.ico': ([48], (40, 110, 200)),
        'running.ico': ([48], (30, 160, 70)),
        'stopped.ico': ([48, 40, 32, 24, 20, 16], (150, 150, 150)),
    }
    for name, (sizes, rgb) in groups.items():
        with open(f'{folder}/{name}', 'wb') as out:
            out.write(icon(sizes, rgb))
