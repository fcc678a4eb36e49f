#!/usr/bin/env python3
"""Write capture/codepages.cpp: the simulator's code-page tables
(sim/codepage_tables.cpp) in the compact form vntrcapture.exe carries.

The capture program writes each text byte above 0x7F as the character the
simulator reads back to that byte, so it needs the simulator's tables; in
full they would take a sixth of its 16 KB. Here each table is a list of
runs: consecutive bytes that stand for consecutive characters. A unit test
decodes every table and compares it with the simulator's, so a table changed
there and not here fails the tests: rerun this script then.

Usage: mkcodepages.py [--output FILE]   (default: capture/codepages.cpp)
"""

import argparse
import os
import re

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def read_tables(path):
    with open(path, encoding='utf-8') as f:
        text = f.read()
    tables = []
    for codepage, body in re.findall(r'\{(\d+),\s*\{([^}]*)\}\}', text):
        chars = [int(x, 16) for x in re.findall(r'0x[0-9A-Fa-f]+', body)]
        if len(chars) != 128:
            raise SystemExit('%s: code page %s has %d characters, not 128' % (path, codepage,
                                                                               len(chars)))
        tables.append((int(codepage), chars))
    if not tables:
        raise SystemExit('%s: no code-page tables found' % path)
    return tables


def runs_of(chars):
    runs, i = [], 0
    while i < len(chars):
        j = i + 1
        while j < len(chars) and chars[j] == chars[i] + (j - i):
            j += 1
        runs.append((j - i, chars[i]))
        i = j
    return runs


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--output', default=os.path.join(ROOT, 'capture', 'codepages.cpp'))
    args = parser.parse_args()
    tables = read_tables(os.path.join(ROOT, 'sim', 'codepage_tables.cpp'))
    out = ['// Made by scripts/mkcodepages.py from sim/codepage_tables.cpp; do not edit.',
           '// Each code page: its number (2 bytes, low first), the number of its runs,',
           '// then each run: how many bytes, the character of the first (2 bytes).',
           '// A number 0 ends the list.',
           '#include "capture/output.h"',
           '',
           '// clang-format off',
           'const unsigned char kCodePageRuns[] = {']
    for codepage, chars in tables:
        runs = runs_of(chars)
        out.append('    // %d' % codepage)
        data = [codepage & 0xFF, codepage >> 8, len(runs)]
        for count, first in runs:
            data += [count, first & 0xFF, first >> 8]
        for i in range(0, len(data), 12):
            out.append('    ' + ' '.join('0x%02X,' % b for b in data[i:i + 12]))
    out += ['    0x00, 0x00,', '};', '// clang-format on', '']
    with open(args.output, 'w', encoding='utf-8') as f:
        f.write('\n'.join(out))


if __name__ == '__main__':
    main()
