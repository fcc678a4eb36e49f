#!/usr/bin/env python3
"""Draw the program's icon and write it as a Windows .ico file.

The picture is a PC Card seen from above: dark body, contact comb at the
connector end, a white label with a blue "V". Four images, as Windows 98
and its display drivers want them:

    32x32, 16 colours      32x32, monochrome
    32x16, monochrome      16x16, 16 colours

Output is byte for byte the same on every run (no dates, no dictionaries
iterated in arbitrary order), so the generated res/setup.ico is committed
and a test regenerates it to prove it matches.

Usage: mkicon.py [--output FILE]     (default: res/setup.ico of this tree)
"""

import argparse
import os
import struct
import sys

# The standard 16-colour VGA palette, as (red, green, blue).
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]

# Drawing characters and their palette index; "." is transparent.
INK = {
    "K": 0,   # black: outline, gaps between contacts
    "O": 3,   # olive: connector shadow
    "N": 4,   # navy: shading of the V
    "S": 7,   # silver: bevel and label shadow
    "G": 8,   # dark grey: card body
    "Y": 11,  # yellow: gold contacts
    "B": 12,  # blue: the V
    "W": 15,  # white: label
}

# In the monochrome images the card and the V are black, the label,
# contacts and bevel white.
MONO_WHITE = set("SYW")

# The "V" on the label, in two sizes.
V_LARGE = [
    "BBN.......BBN",
    "BBN.......BBN",
    ".BBN.....BBN.",
    ".BBN.....BBN.",
    "..BBN...BBN..",
    "..BBN...BBN..",
    "...BBN.BBN...",
    "...BBNBBN....",
    "....BBBN.....",
    ".....BN......",
]
V_SMALL = [
    "BN...BN",
    "BN...BN",
    ".BN.BN.",
    "..BBN..",
    "...N...",
]


def draw_card(size, top, bottom, chamfer, comb, label, glyph, glyph_at):
    """Returns rows of drawing characters for one card picture.

    size: width and height; top/bottom: first and last row of the card;
    chamfer: length of the cut top-right corner; comb: (first, last) column
    of the contact comb; label: (left, top, right, bottom) of the label;
    glyph/glyph_at: the V and its top-left corner.
    """
    left, right = 0, size - 1

    def on_card(r, c):
        if not (top <= r <= bottom and left <= c <= right):
            return False
        # The cut corner: above the diagonal through the top-right corner.
        return (c - (right - chamfer)) <= (r - top)

    grid = [["." for _ in range(size)] for _ in range(size)]
    for r in range(size):
        for c in range(size):
            if not on_card(r, c):
                continue
            edge = any(not on_card(r + dr, c + dc)
                       for dr, dc in ((-1, 0), (1, 0), (0, -1), (0, 1)))
            grid[r][c] = "K" if edge else "G"

    # Bevel: a light line just inside the top and left edges.
    for c in range(left + 1, right):
        if grid[top + 1][c] == "G":
            grid[top + 1][c] = "S"
    for r in range(top + 1, bottom):
        grid[r][left + 1] = "S"

    # Contact comb at the connector end: gold contacts with black gaps,
    # shadowed on the inside.
    first, last = comb
    for r in range(top + 2, bottom - 1):
        for c in range(first, last + 1):
            grid[r][c] = "Y" if (r - top) % 2 == 0 else "K"
        grid[r][last + 1] = "O"

    # Label with a silver shadow on its right and bottom sides.
    l_left, l_top, l_right, l_bottom = label
    for r in range(l_top, l_bottom + 1):
        for c in range(l_left, l_right + 1):
            grid[r][c] = "W"
    for r in range(l_top + 1, l_bottom + 2):
        grid[r][l_right + 1] = "S"
    for c in range(l_left + 1, l_right + 2):
        grid[l_bottom + 1][c] = "S"

    g_row, g_col = glyph_at
    for dr, line in enumerate(glyph):
        for dc, ch in enumerate(line):
            if ch != ".":
                grid[g_row + dr][g_col + dc] = ch
    return ["".join(row) for row in grid]


def large_picture():
    return draw_card(32, top=6, bottom=25, chamfer=4, comb=(2, 3),
                     label=(8, 9, 27, 22), glyph=V_LARGE, glyph_at=(11, 11))


def small_picture():
    return draw_card(16, top=3, bottom=12, chamfer=2, comb=(2, 2),
                     label=(5, 5, 13, 10), glyph=V_SMALL, glyph_at=(6, 6))


def to_mono(rows):
    """Black/white/transparent version of a colour picture."""
    out = []
    for row in rows:
        out.append("".join("." if ch == "." else ("W" if ch in MONO_WHITE else "K")
                           for ch in row))
    return out


def halve_height(rows):
    """Squeezes a monochrome picture to half height for the 32x16 image
    (CGA-era displays had tall pixels): a pixel pair becomes black if
    either is black, transparent if both are transparent, else white."""
    out = []
    for upper, lower in zip(rows[0::2], rows[1::2]):
        line = []
        for a, b in zip(upper, lower):
            if "K" in (a, b):
                line.append("K")
            elif a == "." and b == ".":
                line.append(".")
            else:
                line.append("W")
        out.append("".join(line))
    return out


def pack_rows(rows, bits, value):
    """Packs rows bottom-up into a DIB with 4-byte aligned rows; value()
    gives each pixel's number."""
    data = bytearray()
    for row in reversed(rows):
        acc, nbits, line = 0, 0, bytearray()
        for ch in row:
            acc = (acc << bits) | value(ch)
            nbits += bits
            if nbits == 8:
                line.append(acc)
                acc, nbits = 0, 0
        if nbits:
            line.append(acc << (8 - nbits))
        while len(line) % 4:
            line.append(0)
        data += line
    return bytes(data)


def icon_image(rows, bits):
    """One icon image: BITMAPINFOHEADER, palette, colour (XOR) bitmap and
    transparency (AND) mask. Transparent pixels are colour 0 with mask 1."""
    width, height = len(rows[0]), len(rows)
    if bits == 4:
        palette = PALETTE
        colour = lambda ch: 0 if ch == "." else INK[ch]
    elif bits == 1:
        palette = [PALETTE[0], PALETTE[15]]
        colour = lambda ch: 1 if ch == "W" else 0
    else:
        raise ValueError("unsupported depth %d" % bits)
    xor = pack_rows(rows, bits, colour)
    mask = pack_rows(rows, 1, lambda ch: 1 if ch == "." else 0)
    header = struct.pack("<IiiHHIIiiII", 40, width, height * 2, 1, bits, 0,
                         len(xor) + len(mask), 0, 0, 0, 0)
    colours = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in palette)
    return width, height, bits, len(palette), header + colours + xor + mask


def build_icon():
    large = large_picture()
    small = small_picture()
    large_mono = to_mono(large)
    images = [
        icon_image(large, 4),
        icon_image(large_mono, 1),
        icon_image(halve_height(large_mono), 1),
        icon_image(small, 4),
    ]
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for width, height, bits, colours, data in images:
        out += struct.pack("<BBBBHHII", width, height, colours, 0, 1, bits,
                           len(data), offset)
        offset += len(data)
    for image in images:
        out += image[4]
    return bytes(out)


def main(argv):
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description="Write the program's icon.")
    parser.add_argument("--output", default=os.path.join(here, "..", "res", "setup.ico"),
                        help="where to write the .ico (default: res/setup.ico)")
    args = parser.parse_args(argv)
    data = build_icon()
    try:
        with open(args.output, "wb") as f:
            f.write(data)
    except OSError as e:
        print("mkicon.py: cannot write %s: %s" % (args.output, e.strerror), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
