#!/usr/bin/python3
"""Renders icon.svg and packs patcher.ico: 256x256 as PNG, 48x48 and 24x24 as
32-bit BGRA bitmaps with their AND masks, all at 32 bits per pixel.

Needs ImageMagick's convert. Run from anywhere:
    resources/make-icon.py [output.ico]
"""
import os
import struct
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ART = os.path.join(HERE, "icon.svg")
SIZES = (256, 48, 24)


def render(size, fmt):
    # -strip and the excluded chunks keep the PNG free of dates, so the same
    # art gives the same bytes.
    return subprocess.run(
        ["convert", "-background", "none", "-density", "96", ART,
         "-resize", f"{size}x{size}", "-depth", "8", "-strip",
         "-define", "png:exclude-chunks=date,time", f"{fmt}:-"],
        check=True, stdout=subprocess.PIPE).stdout


def bitmap(size):
    rgba = render(size, "rgba")
    if len(rgba) != size * size * 4:
        sys.exit(f"convert gave {len(rgba)} bytes for {size}x{size}")
    rows = [rgba[y * size * 4:(y + 1) * size * 4] for y in range(size)]
    pixels = bytearray()
    mask = bytearray()
    mask_stride = (size + 31) // 32 * 4
    for row in reversed(rows):  # bottom-up
        bits = bytearray(mask_stride)
        for x in range(size):
            r, g, b, a = row[4 * x:4 * x + 4]
            pixels += bytes((b, g, r, a))
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 32, 0,
                         len(pixels) + len(mask), 0, 0, 0, 0)
    return header + bytes(pixels) + bytes(mask)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "patcher.ico")
    images = [render(256, "png32") if s == 256 else bitmap(s) for s in SIZES]
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = len(directory) + 16 * len(images)
    entries = b""
    for size, data in zip(SIZES, images):
        dim = 0 if size == 256 else size  # 0 stands for 256
        entries += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data),
                               offset)
        offset += len(data)
    with open(out, "wb") as f:
        f.write(directory + entries + b"".join(images))


if __name__ == "__main__":
    main()
