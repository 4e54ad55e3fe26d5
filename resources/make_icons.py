#!/usr/bin/env python3
# Turns the pixel art of icons.txt into one .ico file per icon, each holding
# one 16x16 image of 16 colours; run by the build, output is byte-for-byte
# reproducible. Usage: make_icons.py icons.txt output-directory
import os
import struct
import sys

SIZE = 16


def read_art(path):
    """Returns (palette as [(r, g, b)], {char: index}, [(name, rows)])."""
    palette, index, icons = [], {}, []
    rows = None
    with open(path, encoding="ascii") as art:
        for number, line in enumerate(art, 1):
            line = line.rstrip("\n")
            where = f"{path}:{number}"
            if not line.strip() or line.startswith("#"):
                continue
            words = line.split()
            if words[0] == "palette":
                index[words[1]] = len(palette)
                palette.append(tuple(bytes.fromhex(words[2])))
            elif words[0] == "icon":
                rows = []
                icons.append((words[1], rows))
            else:
                if rows is None or len(rows) == SIZE or len(line) != SIZE:
                    sys.exit(f"{where}: expected a row of {SIZE} pixels")
                for char in line:
                    if char != "." and char not in index:
                        sys.exit(f"{where}: colour {char!r} is not in the palette")
                rows.append(line)
    if len(palette) != 16:
        sys.exit(f"{path}: the palette needs 16 colours, not {len(palette)}")
    for name, rows in icons:
        if len(rows) != SIZE:
            sys.exit(f"{path}: icon {name} has {len(rows)} rows, not {SIZE}")
    return palette, index, icons


def icon_image(palette, index, rows):
    """A 4-bit DIB with its AND mask, as the icon resource stores it."""
    xor_row = SIZE // 2                 # two pixels a byte, already a multiple of 4
    and_row = (SIZE // 8 + 3) // 4 * 4  # one bit a pixel, rows padded to 4 bytes
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 4, 0,
                         SIZE * (xor_row + and_row), 0, 0, 16, 0)
    colours = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in palette)
    xor, mask = b"", b""
    for line in reversed(rows):  # bottom-up, like every DIB
        pixels = [0 if c == "." else index[c] for c in line]
        xor += bytes(pixels[i] << 4 | pixels[i + 1] for i in range(0, SIZE, 2))
        bits = 0
        for c in line:
            bits = bits << 1 | (c == ".")
        mask += bits.to_bytes(SIZE // 8, "big").ljust(and_row, b"\0")
    return header + colours + xor + mask


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: make_icons.py icons.txt output-directory")
    palette, index, icons = read_art(sys.argv[1])
    os.makedirs(sys.argv[2], exist_ok=True)
    for name, rows in icons:
        image = icon_image(palette, index, rows)
        directory = struct.pack("<HHH", 0, 1, 1)
        entry = struct.pack("<BBBBHHII", SIZE, SIZE, 16, 0, 1, 4, len(image), 6 + 16)
        with open(os.path.join(sys.argv[2], name + ".ico"), "wb") as out:
            out.write(directory + entry + image)


main()
