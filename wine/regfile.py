"""Reading and editing Wine's registry files (system.reg, user.reg).

The files are edited only while no wineserver has the prefix open: Wine keeps
the registry in memory and rewrites the files when it saves, so a change made
under a running server would be lost.

Format (as Wine writes it):

    WINE REGISTRY Version 2
    ;; All keys relative to REGISTRY\\Machine
    #arch=win32

    [Software\\Wine] 1700000000
    #time=1d9...
    "Version"="win98"
    "Flag"=dword:00000001
    "Data"=hex:01,02,\\
      03
    @="default value"

Key names and strings escape a backslash as two backslashes.
"""

import re

REG_SZ = 1
REG_EXPAND_SZ = 2
REG_BINARY = 3
REG_DWORD = 4
REG_MULTI_SZ = 7

_HEADER_RE = re.compile(r'^\[(?P<name>(?:[^\]\\]|\\.)*)\](?P<rest>.*)$')


def _unescape(text):
    """Undoes Wine's string escaping (the body between the quotes)."""
    out = []
    i = 0
    while i < len(text):
        c = text[i]
        if c != '\\' or i + 1 == len(text):
            out.append(c)
            i += 1
            continue
        n = text[i + 1]
        simple = {'\\': '\\', '"': '"', 'n': '\n', 'r': '\r', 't': '\t', 'a': '\a',
                  'b': '\b', 'e': '\x1b', 'f': '\f', 'v': '\v', '[': '[', ']': ']'}
        if n in simple:
            out.append(simple[n])
            i += 2
        elif n == 'x':
            m = re.match(r'[0-9a-fA-F]{1,4}', text[i + 2:])
            if m:
                out.append(chr(int(m.group(0), 16)))
                i += 2 + len(m.group(0))
            else:
                out.append('x')
                i += 2
        elif n in '01234567':
            m = re.match(r'[0-7]{1,3}', text[i + 1:])
            out.append(chr(int(m.group(0), 8)))
            i += 1 + len(m.group(0))
        else:
            out.append(n)
            i += 2
    return ''.join(out)


def escape(text):
    """Escapes a key name or string value the way Wine writes it."""
    out = []
    for c in text:
        if c == '\\':
            out.append('\\\\')
        elif c == '"':
            out.append('\\"')
        elif c == '\n':
            out.append('\\n')
        elif c == '\r':
            out.append('\\r')
        elif ord(c) < 32 or ord(c) > 126:
            out.append('\\x%04x' % ord(c))
        else:
            out.append(c)
    return ''.join(out)


def _decode_utf16(data):
    if len(data) % 2:
        data = data + b'\0'
    return data.decode('utf-16-le', errors='replace')


class Value:
    """One registry value: its type and its raw data as Wine stored it."""

    def __init__(self, kind, data):
        self.kind = kind
        self.data = data  # str for string kinds written as text, int for dword, bytes otherwise

    def text(self):
        """The value as a string, cut at its first NUL (how a reader sees it)."""
        if isinstance(self.data, str):
            return self.data.split('\0', 1)[0]
        if isinstance(self.data, bytes) and self.kind in (REG_SZ, REG_EXPAND_SZ):
            return _decode_utf16(self.data).split('\0', 1)[0]
        raise ValueError('value of type %d is not a string' % self.kind)

    def __repr__(self):
        return 'Value(%d, %r)' % (self.kind, self.data)


def parse_value(encoded):
    """Parses the right-hand side of a value line (after '=')."""
    if encoded.startswith('"'):
        return Value(REG_SZ, _unescape(encoded[1:-1]))
    if encoded.startswith('str(2):"'):
        return Value(REG_EXPAND_SZ, _unescape(encoded[8:-1]))
    if encoded.startswith('str(7):"'):
        return Value(REG_MULTI_SZ, _unescape(encoded[8:-1]))
    if encoded.startswith('dword:'):
        return Value(REG_DWORD, int(encoded[6:], 16))
    m = re.match(r'hex(?:\(([0-9a-fA-F]+)\))?:(.*)$', encoded, re.S)
    if m:
        kind = int(m.group(1), 16) if m.group(1) else REG_BINARY
        body = re.sub(r'\\\s*\n\s*', '', m.group(2)).replace(' ', '').strip().rstrip(',')
        data = bytes(int(b, 16) for b in body.split(',') if b)
        return Value(kind, data)
    raise ValueError('cannot parse registry value %r' % encoded[:60])


class Section:
    def __init__(self, name, header_rest, lines):
        self.name = name  # unescaped key path relative to the file's root
        self.header_rest = header_rest
        self.lines = lines  # raw lines after the header, without the blank separator

    def values(self):
        """Maps lower-cased value names ('' for the default) to (name, Value)."""
        result = {}
        for logical in _join_continuations(self.lines):
            if logical.startswith('#') or not logical.strip():
                continue
            name, encoded = _split_value_line(logical)
            result[name.lower()] = (name, parse_value(encoded))
        return result


def _join_continuations(lines):
    logical = []
    buffer = ''
    for line in lines:
        if buffer:
            buffer += '\n' + line
        else:
            buffer = line
        if not buffer.endswith('\\') or buffer.startswith('#'):
            logical.append(buffer)
            buffer = ''
    if buffer:
        logical.append(buffer)
    return logical


def _split_value_line(line):
    if line.startswith('@='):
        return '', line[2:]
    if not line.startswith('"'):
        raise ValueError('unexpected registry line %r' % line[:60])
    i = 1
    while i < len(line):
        if line[i] == '\\':
            i += 2
            continue
        if line[i] == '"':
            break
        i += 1
    name = _unescape(line[1:i])
    if line[i + 1:i + 2] != '=':
        raise ValueError('unexpected registry line %r' % line[:60])
    return name, line[i + 2:]


class RegistryFile:
    """A whole .reg file of a Wine prefix, kept in its written order."""

    def __init__(self, path):
        self.path = path
        with open(path, encoding='utf-8', errors='surrogateescape') as f:
            text = f.read()
        self.preamble = []
        self.sections = []
        current = None
        for line in text.split('\n'):
            m = _HEADER_RE.match(line)
            if m:
                current = Section(_unescape(m.group('name')), m.group('rest'), [])
                self.sections.append(current)
            elif current is None:
                self.preamble.append(line)
            elif line.strip() or current.lines and current.lines[-1].endswith('\\'):
                current.lines.append(line)
        while self.preamble and not self.preamble[-1].strip():
            self.preamble.pop()
        self._index = {s.name.lower(): s for s in self.sections}

    def save(self):
        out = list(self.preamble) + ['']
        for s in self.sections:
            out.append('[%s]%s' % (escape(s.name), s.header_rest))
            out.extend(s.lines)
            out.append('')
        with open(self.path, 'w', encoding='utf-8', errors='surrogateescape') as f:
            f.write('\n'.join(out))

    def key(self, name):
        """The section of a key, or None. Names compare without regard to case."""
        return self._index.get(name.lower())

    def has_key(self, name):
        return self.key(name) is not None

    def subkeys(self, name):
        """Names of every key below `name` (any depth), as full paths."""
        prefix = name.lower() + '\\'
        return [s.name for s in self.sections if s.name.lower().startswith(prefix)]

    def value(self, key, name):
        """The Value of `name` under `key`, or None."""
        section = self.key(key)
        if section is None:
            return None
        entry = section.values().get(name.lower())
        return entry[1] if entry else None

    def ensure_key(self, name):
        section = self.key(name)
        if section is None:
            section = Section(name, ' 0', [])
            self.sections.append(section)
            self._index[name.lower()] = section
        return section

    def set_string(self, key, name, text):
        self._set(key, name, '"%s"' % escape(text))

    def set_raw(self, key, name, kind, data):
        """A value of any type from its bytes as RegQueryValueExW returns them."""
        body = ','.join('%02x' % b for b in data)
        self._set(key, name, 'hex(%x):%s' % (kind, body) if kind != REG_BINARY else 'hex:' + body)

    def set_dword(self, key, name, number):
        self._set(key, name, 'dword:%08x' % number)

    def _set(self, key, name, encoded):
        section = self.ensure_key(key)
        self._drop_value(section, name)
        label = '@' if name == '' else '"%s"' % escape(name)
        section.lines.append('%s=%s' % (label, encoded))

    def delete_value(self, key, name):
        section = self.key(key)
        if section is not None:
            self._drop_value(section, name)

    @staticmethod
    def _drop_value(section, name):
        kept = []
        for logical in _join_continuations(section.lines):
            if not logical.startswith('#') and logical.strip():
                if _split_value_line(logical)[0].lower() == name.lower():
                    continue
            kept.extend(logical.split('\n'))
        section.lines = kept
