#!/usr/bin/env python3
"""Write the ANSI code-page tables of the simulated machine, and the list
of their numbers for vntrcapture.exe. The build runs it.

    mkcodepages.py --tables FILE     the simulator's tables (a C++ source)
    mkcodepages.py --capture FILE    the list (a C header): the capture writes
                                     the texts of these code pages as
                                     characters, of others as their bytes

The characters come from the C library's iconv (glibc's CP874, CP1250 to
CP1258, CP932, CP936, CP949 and CP950 follow Windows' tables, down to which
of two codes a character is written as). Which bytes lead a double-byte
character comes from the codecs Python ships: iconv does not tell the rows
a code page keeps for user-defined characters, which lead all the same.

Single-byte code pages (874, 1250 to 1258): the character of each byte from
0x80. A byte the code page leaves undefined stands for the character of the
same number (U+0080 to U+00FF), which the code page has no other byte for,
so every table stays one to one. (Windows gives a few such bytes a
private-use character.)

Double-byte code pages (932, 936, 949, 950): the character of each single
byte from 0x80 (undefined ones as above), the lead bytes (0x80 and 0xFF
never lead on Windows), and for each lead byte the character of each trail
byte from 0x40, 0 where the pair stands for no character (user-defined and
unassigned pairs). Where two pairs stand for one character (cp932's NEC and
IBM rows), the one iconv writes the character as is its code; the other is
listed as an alternate.

Upper case: each character above U+007F of these code pages whose upper
case (Python's, a single character) is another such character, not an
ASCII letter (dotless i and long s stay themselves, as in Windows NT's
upper-case table).
"""

import argparse
import ctypes
import ctypes.util
import os

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

SINGLE_BYTE = (874, 1250, 1251, 1252, 1253, 1254, 1255, 1256, 1257, 1258)
# Python's codec of each double-byte code page, for its lead bytes.
DOUBLE_BYTE = ((932, 'cp932'), (936, 'gbk'), (949, 'cp949'), (950, 'cp950'))
FIRST_TRAIL = 0x40


class Iconv:
    """One direction of conversion through the C library's iconv."""

    _libc = None

    def __init__(self, to, frm):
        libc = Iconv._load()
        self._cd = libc.iconv_open(to.encode(), frm.encode())
        if self._cd in (None, ctypes.c_void_p(-1).value):
            raise SystemExit('mkcodepages.py: iconv cannot convert %s to %s' % (frm, to))
        self._out = ctypes.create_string_buffer(64)

    @staticmethod
    def _load():
        if Iconv._libc is None:
            libc = ctypes.CDLL(ctypes.util.find_library('c'), use_errno=True)
            libc.iconv_open.restype = ctypes.c_void_p
            libc.iconv_open.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
            pointer, size = ctypes.POINTER(ctypes.c_char_p), ctypes.POINTER(ctypes.c_size_t)
            libc.iconv.argtypes = [ctypes.c_void_p, pointer, size, pointer, size]
            libc.iconv.restype = ctypes.c_size_t
            Iconv._libc = libc
        return Iconv._libc

    def __call__(self, data):
        """The converted bytes, or None when iconv refuses them."""
        libc = Iconv._libc
        libc.iconv(self._cd, None, None, None, None)  # a fresh start
        held = ctypes.create_string_buffer(data, len(data))
        inp, inleft = ctypes.c_char_p(ctypes.addressof(held)), ctypes.c_size_t(len(data))
        outp = ctypes.c_char_p(ctypes.addressof(self._out))
        outleft = ctypes.c_size_t(len(self._out))
        failed = libc.iconv(self._cd, ctypes.byref(inp), ctypes.byref(inleft), ctypes.byref(outp),
                            ctypes.byref(outleft)) == ctypes.c_size_t(-1).value
        # What a stateful conversion holds back (cp1255 waits for a combining
        # mark) comes out now.
        failed = failed or libc.iconv(self._cd, None, None, ctypes.byref(outp),
                                      ctypes.byref(outleft)) == ctypes.c_size_t(-1).value
        if failed or inleft.value:
            return None
        return self._out.raw[:len(self._out) - outleft.value]


class CodePage:
    def __init__(self, cp):
        self.decoder = Iconv('UTF-16LE', 'CP%d' % cp)
        self.encoder = Iconv('CP%d' % cp, 'UTF-16LE')

    def char(self, data):
        """The one character (below U+10000) `data` stands for, or None."""
        out = self.decoder(data)
        return int.from_bytes(out, 'little') if out and len(out) == 2 else None

    def code(self, char):
        out = self.encoder(char.to_bytes(2, 'little'))
        return int.from_bytes(out, 'big') if out else None


def single_byte_table(cp):
    page = CodePage(cp)
    high = [page.char(bytes([b])) or b for b in range(0x80, 0x100)]
    if len(set(high)) != 128:
        raise SystemExit('code page %d: two bytes stand for one character' % cp)
    return high


def is_lead(codec, b):
    if b in (0x80, 0xFF):
        return False
    try:
        bytes([b]).decode(codec)
        return False
    except UnicodeDecodeError as e:
        return 'incomplete' in e.reason


def double_byte_table(cp, codec):
    page = CodePage(cp)
    high, leads, rows, alternates = [], [], [], []
    for b in range(0x80, 0x100):
        if is_lead(codec, b):
            leads.append(b)
            high.append(0)
            row = []
            for t in range(FIRST_TRAIL, 0x100):
                c = page.char(bytes([b, t]))
                if c is not None and page.code(c) != (b << 8 | t):
                    alternates.append(b << 8 | t)
                row.append(c or 0)
            rows.append(row)
        else:
            high.append(page.char(bytes([b])) or b)
    return high, leads, rows, alternates


def upper_pairs(chars):
    """(character, its upper case) for the characters above U+007F that have
    one among `chars`, in order."""
    pairs = []
    for c in sorted(c for c in chars if c >= 0x80):
        up = chr(c).upper()
        if len(up) == 1 and ord(up) != c and ord(up) >= 0x80 and ord(up) in chars:
            pairs.append((c, ord(up)))
    return pairs


def numbers(values, per_line=12, indent='    '):
    lines = []
    for i in range(0, len(values), per_line):
        lines.append(indent + ' '.join('0x%04X,' % v for v in values[i:i + per_line]))
    return lines


def write_tables(path):
    out = ['// Made by scripts/mkcodepages.py from the C library\'s iconv; do not edit.',
           '#include "sim/codepage_tables.h"',
           '',
           'namespace sim {',
           '',
           '// clang-format off']
    entries = []
    chars = set()
    for cp in SINGLE_BYTE:
        high = single_byte_table(cp)
        chars.update(high)
        out.append('static const uint16_t kHigh%d[128] = {' % cp)
        out += numbers(high)
        out.append('};')
        entries.append('    {%d, kHigh%d, nullptr, nullptr, nullptr},' % (cp, cp))
    for cp, codec in DOUBLE_BYTE:
        high, leads, rows, alternates = double_byte_table(cp, codec)
        chars.update(high)
        for row in rows:
            chars.update(row)
        out.append('static const uint16_t kHigh%d[128] = {' % cp)
        out += numbers(high)
        out.append('};')
        lead_index = [0] * 128
        for i, b in enumerate(leads):
            lead_index[b - 0x80] = i + 1
        out.append('static const uint8_t kLeads%d[128] = {' % cp)
        for i in range(0, 128, 16):
            out.append('    ' + ' '.join('%d,' % v for v in lead_index[i:i + 16]))
        out.append('};')
        out.append('static const uint16_t kPairs%d[%d] = {' % (cp, len(rows) * (0x100 - FIRST_TRAIL)))
        for b, row in zip(leads, rows):
            out.append('    // lead byte 0x%02X' % b)
            out += numbers(row)
        out.append('};')
        out.append('static const uint16_t kAlternates%d[] = {' % cp)
        out += numbers(alternates + [0])
        out.append('};')
        entries.append('    {%d, kHigh%d, kLeads%d, kPairs%d, kAlternates%d},' % (cp, cp, cp, cp, cp))
    upper = upper_pairs(chars)
    out.append('const uint16_t kUpperCase[][2] = {')
    for i in range(0, len(upper), 6):
        out.append('    ' + ' '.join('{0x%04X, 0x%04X},' % p for p in upper[i:i + 6]))
    out.append('};')
    out.append('const size_t kUpperCaseCount = sizeof kUpperCase / sizeof kUpperCase[0];')
    out.append('// clang-format on')
    out.append('')
    out.append('const CodePageTable kCodePageTables[] = {')
    out += entries
    out.append('};')
    out.append('')
    out.append('const size_t kCodePageCount = sizeof kCodePageTables / sizeof kCodePageTables[0];')
    out.append('')
    out.append('}  // namespace sim')
    out.append('')
    write(path, out)


def write_capture(path):
    codes = ', '.join(str(cp) for cp in SINGLE_BYTE + tuple(cp for cp, _ in DOUBLE_BYTE))
    write(path, ['// Made by scripts/mkcodepages.py; do not edit.',
                 '// The code pages the simulator knows, whose texts vntrcapture writes as',
                 '// characters.',
                 '#define SIMULATED_CODE_PAGES %s' % codes, ''])


def write(path, lines):
    text = '\n'.join(lines)
    try:
        with open(path, encoding='utf-8') as f:
            if f.read() == text:
                return  # unchanged: nothing is rebuilt
    except OSError:
        pass
    with open(path, 'w', encoding='utf-8') as f:
        f.write(text)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--tables', metavar='FILE')
    parser.add_argument('--capture', metavar='FILE')
    args = parser.parse_args()
    if not args.tables and not args.capture:
        parser.error('give --tables FILE, --capture FILE or both')
    if args.tables:
        write_tables(args.tables)
    if args.capture:
        write_capture(args.capture)


if __name__ == '__main__':
    main()
