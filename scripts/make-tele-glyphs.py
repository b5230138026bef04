#!/usr/bin/env python3
"""Writes src/telepointer/tele_glyphs.cpp: the 20 telepointer glyphs as X bitmap data.

Each glyph is 25 by 25: an arrow whose solid head fills the corner its direction names, a
diagonal shaft three pixels wide, a feathered tail near the opposite corner, and the style's
digit, upright, in the free corner beside the shaft. Run it again only to change the drawing;
the output is checked in as data.
"""
import os

SIZE = 25
DIGITS = {  # 5 by 7
    1: ['..#..', '.##..', '..#..', '..#..', '..#..', '..#..', '.###.'],
    2: ['.###.', '#...#', '....#', '...#.', '..#..', '.#...', '#####'],
    3: ['####.', '....#', '....#', '.###.', '....#', '....#', '####.'],
    4: ['...#.', '..##.', '.#.#.', '#..#.', '#####', '...#.', '...#.'],
    5: ['#####', '#....', '####.', '....#', '....#', '#...#', '.###.'],
}
DIRECTIONS = ['UL', 'UR', 'DR', 'DL']
DIGIT_AT = {'UL': (14, 3), 'UR': (6, 3), 'DR': (14, 3), 'DL': (6, 3)}


def arrow_up_left():
    """The arrow for the up-left direction, as a set of (x, y)."""
    on = set()
    for y in range(SIZE):
        for x in range(SIZE):
            if x + y <= 10:                                   # the head
                on.add((x, y))
            if abs(x - y) <= 1 and 4 <= x <= 20 and 4 <= y <= 20:  # the shaft
                on.add((x, y))
    for b in (14, 17, 20):                      # the feathers, slanting back towards the tail
        for k in range(1, 4):
            on.add((b + k + 1, b))
            on.add((b, b + k + 1))
    return on


def glyph(style, direction):
    flip_x = direction in ('UR', 'DR')
    flip_y = direction in ('DR', 'DL')
    on = {(SIZE - 1 - x if flip_x else x, SIZE - 1 - y if flip_y else y) for x, y in arrow_up_left()}
    # The digit sits in a corner the shaft leaves free, away from head and tail.
    left, top = DIGIT_AT[direction]
    for dy, row in enumerate(DIGITS[style]):
        for dx, c in enumerate(row):
            if c == '#':
                on.add((left + dx, top + dy))
    return on


def bits(on):
    out = []
    for y in range(SIZE):
        row = 0
        for x in range(SIZE):
            if (x, y) in on:
                row |= 1 << x
        out += [(row >> (8 * i)) & 0xff for i in range(4)]
    return out


def main():
    root = os.path.join(os.path.dirname(__file__), '..')
    lines = ['// The telepointer glyphs as X bitmap data, written by scripts/make-tele-glyphs.py.',
             '#include "tele_glyphs.h"', '']
    for style in range(1, 6):
        for d in DIRECTIONS:
            data = bits(glyph(style, d))
            lines.append(f'const unsigned char tp0{style}{d}_bits[100] = {{')
            for i in range(0, 100, 16):
                lines.append('    ' + ', '.join(f'0x{b:02x}' for b in data[i:i + 16]) + ',')
            lines.append('};')
    lines.append('')
    lines.append('const unsigned char *const tele_bits[20] = {')
    for style in range(1, 6):
        lines.append('    ' + ', '.join(f'tp0{style}{d}_bits' for d in DIRECTIONS) + ',')
    lines.append('};')
    with open(os.path.join(root, 'src/telepointer/tele_glyphs.cpp'), 'w') as f:
        f.write('\n'.join(lines) + '\n')


if __name__ == '__main__':
    main()
