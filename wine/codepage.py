"""Texts of a machine (bytes in its ANSI code page) as Wine converts them:
with Wine's own code-page table (its c_NNN.nls), so that a byte the code
page leaves undefined becomes the very character Wine's
MultiByteToWideChar makes of it (cp1252's 0x81 is U+0081, cp932's 0xA0 is
U+F8F0), and a host file the realizer names that way is the one the
program opens under Wine. Python's codecs refuse such bytes.

The table is Windows' CPTABLEINFO, read as Wine reads it
(RtlInitCodePageTable): a header whose first word is its length in words,
the second the code page; then the offset of the wide-character table, the
256 characters of single bytes, a word that is not zero when 256 glyphs
follow, then a word that is not zero for a double-byte code page, followed
by one offset per byte: zero for a byte that leads nothing, else where its
256 characters lie, counted from the first offset. A lead byte with no
byte after it is its single-byte character.
"""

import functools
import os
import struct

NLS_DIR = '/usr/share/wine/nls'


class Table:
    def __init__(self, words):
        at = words[0] + 1
        self.single = [chr(w) for w in words[at:at + 256]]
        at += 256
        at += 1 + (256 if words[at] else 0)
        self.rows = {}
        if words[at]:
            offsets = words[at + 1:]
            self.rows = {b: [chr(w) for w in offsets[offsets[b]:offsets[b] + 256]]
                         for b in range(256) if offsets[b]}
        # Back from characters to bytes: the first bytes that give each.
        self.encoder = {}
        for b in range(256):
            self.encoder.setdefault(self.single[b], bytes([b]))
            for t, c in enumerate(self.rows.get(b, ())):
                self.encoder.setdefault(c, bytes([b, t]))

    def decode(self, data):
        out, i = [], 0
        while i < len(data):
            row = self.rows.get(data[i])
            if row is not None and i + 1 < len(data):
                out.append(row[data[i + 1]])
                i += 2
            else:
                out.append(self.single[data[i]])
                i += 1
        return ''.join(out)

    def encode(self, text, fallback=b'?'):
        return b''.join(self.encoder.get(c, fallback) for c in text)


@functools.lru_cache(maxsize=None)
def table(codepage):
    """Wine's table of `codepage`; None when Wine has none here."""
    try:
        with open(os.path.join(NLS_DIR, 'c_%d.nls' % codepage), 'rb') as f:
            data = f.read()
    except OSError:
        return None
    return Table(struct.unpack('<%dH' % (len(data) // 2), data[:len(data) // 2 * 2]))


def decode(data, codepage):
    """Bytes of the machine as the Unicode text Wine makes of them (without
    Wine's table, Python's codec, an undefined byte as U+FFFD)."""
    t = table(codepage)
    return t.decode(data) if t else data.decode('cp%d' % codepage, 'replace')


def encode(text, codepage):
    """Unicode text (a host name Wine made) as the program's bytes, one
    character per byte as the simulator gives texts; '?' for a character
    the code page has no bytes for."""
    t = table(codepage)
    data = t.encode(text) if t else text.encode('cp%d' % codepage, 'replace')
    return data.decode('latin-1')
