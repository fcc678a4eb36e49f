"""Reading what Wine wrote to standard error with
WINEDEBUG=+pid,+relay,trace+msgbox,+loaddll.

Every line of a Wine debug channel starts with "<pid>:<tid>:" (hex). The
relay channel, limited by RelayInclude, gives calls with their arguments and
return addresses:

    0020:0024:Call user32.MessageBoxA(00000000,0040a06e "Text",0040a100 "Title",00000004) ret=00401617
    0020:0024:Ret  user32.MessageBoxA() retval=00000006 ret=00401617

trace+msgbox gives the text each box shows:

    0020:0024:trace:msgbox:MSGBOX_OnInit L"Text"

and +loaddll where each module was loaded from:

    0020:0024:trace:loaddll:build_module Loaded L"C:\\pkg\\setup.exe" at 00400000: native
"""

import re

# Lines of different processes can run into each other ("wine client
# error:9c: 0020:0024:Ret ..."): a line is found wherever it starts.
_PREFIX = r'(?<![0-9A-Fa-f:])(?P<pid>[0-9a-f]{4,8}):(?P<tid>[0-9a-f]{4,8}):'
_CALL_RE = re.compile(_PREFIX + r'Call (?P<dll>[\w.\-]+)\.(?P<func>\w+)\((?P<args>.*)\) ret=(?P<ret>[0-9a-f]{8})\s*$')
_RET_RE = re.compile(_PREFIX + r'Ret  (?P<dll>[\w.\-]+)\.(?P<func>\w+)\(\) retval=(?P<retval>[0-9a-f]{8}) ret=(?P<ret>[0-9a-f]{8})\s*$')
_BOX_RE = re.compile(_PREFIX + r'trace:msgbox:MSGBOX_OnInit (?P<text>.*)$')
_LOAD_RE = re.compile(_PREFIX + r'trace:loaddll:\w+ Loaded L?"(?P<path>(?:[^"\\]|\\.)*)" at (?P<base>[0-9a-fA-F]{8}): (?P<kind>\w+)')
_CRASH_RE = re.compile(r'(?:' + _PREFIX + r')?wine: Unhandled (?P<what>.*?)\(thread (?P<thread>[0-9a-f]{4,8})\)')
_CRASH_ALT_RE = re.compile(r'(?:' + _PREFIX + r')?wine: Unhandled exception (?P<code>0x[0-9a-f]+) in thread (?P<thread>[0-9a-f]+) at address (?P<address>[0-9A-Fa-f]+)')
_ANY_PREFIX_RE = re.compile(_PREFIX)


def unquote(text):
    """Decodes a debugstr rendering: "..." or L"...", with C escapes."""
    text = text.strip()
    # debugstr_a writes a byte as \xNN, debugstr_w a character as \xNNNN.
    wide = text.startswith('L')
    if wide:
        text = text[1:]
    if len(text) < 2 or text[0] != '"':
        return None
    body = text[1:-1] if text.endswith('"') else text[1:]
    out = []
    i = 0
    while i < len(body):
        c = body[i]
        if c != '\\' or i + 1 == len(body):
            out.append(c)
            i += 1
            continue
        n = body[i + 1]
        simple = {'n': '\n', 'r': '\r', 't': '\t', '\\': '\\', '"': '"', '0': '\0'}
        if n == 'x':
            m = re.match(r'[0-9a-fA-F]{4}' if wide else r'[0-9a-fA-F]{2}', body[i + 2:])
            if m:
                out.append(chr(int(m.group(0), 16)))
                i += 2 + len(m.group(0))
                continue
        if n == 'u':
            m = re.match(r'[0-9a-fA-F]{4}', body[i + 2:])
            if m:
                out.append(chr(int(m.group(0), 16)))
                i += 6
                continue
        if n in '01234567':
            m = re.match(r'[0-7]{1,3}', body[i + 1:])
            out.append(chr(int(m.group(0), 8)))
            i += 1 + len(m.group(0))
            continue
        out.append(simple.get(n, n))
        i += 2
    return ''.join(out)


def split_args(text):
    """Splits a relay argument list into items.

    Each item is (number, string-or-None): a pointer argument that Wine knows
    to be a string is shown as its address followed by the quoted text.
    """
    items = []
    i = 0
    n = len(text)
    while i < n:
        m = re.match(r'\s*([0-9a-fA-F]+)', text[i:])
        if not m:
            raise ValueError('cannot read relay arguments %r' % text)
        number = int(m.group(1), 16)
        i += m.end()
        string = None
        if i < n and text[i] == ' ':
            j = i + 1
            if j < n and text[j] == 'L':
                j += 1
            if j < n and text[j] == '"':
                k = j + 1
                while k < n:
                    if text[k] == '\\':
                        k += 2
                        continue
                    if text[k] == '"':
                        break
                    k += 1
                string = unquote(text[i + 1:k + 1])
                i = k + 1
        items.append((number, string))
        if i < n and text[i] == ',':
            i += 1
    return items


class Call:
    def __init__(self, pid, tid, dll, func, args, ret):
        self.pid = pid
        self.tid = tid
        self.dll = dll
        self.func = func
        self.args = args  # list of (number, string or None)
        self.ret = ret  # return address
        self.retval = None  # filled from the matching Ret line

    def arg(self, index):
        """The string of a string argument, else the number."""
        number, string = self.args[index]
        return string if string is not None else number

    def __repr__(self):
        shown = ', '.join(repr(s) if s is not None else '%x' % v for v, s in self.args)
        result = '' if self.retval is None else ' -> %x' % self.retval
        return '%s(%s)%s' % (self.func, shown, result)


class WineLog:
    def __init__(self, text):
        self.calls = []
        self.boxes = []  # (pid, text)
        self.loads = []  # (pid, path, base, kind)
        self.crashes = []  # (pid or None, description, tid)
        self.thread_pid = {}
        pending = {}
        for line in text.splitlines():
            p = _ANY_PREFIX_RE.match(line)
            if p:
                self.thread_pid.setdefault(int(p.group('tid'), 16), int(p.group('pid'), 16))
            m = _CALL_RE.search(line)
            if m:
                try:
                    args = split_args(m.group('args'))
                except ValueError:
                    args = []
                call = Call(int(m.group('pid'), 16), int(m.group('tid'), 16), m.group('dll'),
                            m.group('func'), args, int(m.group('ret'), 16))
                self.calls.append(call)
                pending.setdefault((call.tid, call.func), []).append(call)
                continue
            m = _RET_RE.search(line)
            if m:
                stack = pending.get((int(m.group('tid'), 16), m.group('func')))
                if stack:
                    stack.pop().retval = int(m.group('retval'), 16)
                continue
            m = _BOX_RE.search(line)
            if m:
                self.boxes.append((int(m.group('pid'), 16), unquote(m.group('text'))))
                continue
            m = _LOAD_RE.search(line)
            if m:
                path = unquote('"' + m.group('path') + '"')
                self.loads.append((int(m.group('pid'), 16), path, int(m.group('base'), 16),
                                   m.group('kind')))
                continue
            m = _CRASH_ALT_RE.search(line) or _CRASH_RE.search(line)
            if m and 'wine: Unhandled' in line:
                tid = int(m.group('thread'), 16)
                self.crashes.append((tid, line.strip()))

    def module(self, name_suffix):
        """(pid, path, base, kind) of the first load whose path ends with
        name_suffix (case-insensitive), or None."""
        for entry in self.loads:
            if entry[1].lower().endswith(name_suffix.lower()):
                return entry
        return None

    def crash_pids(self):
        """(pid or None, line) for each unhandled exception reported."""
        return [(self.thread_pid.get(tid), line) for tid, line in self.crashes]

    def calls_from(self, pid, low, high):
        """The calls a process made from code in [low, high)."""
        return [c for c in self.calls if c.pid == pid and low <= c.ret < high]

    def box_texts(self, pid):
        return [text for p, text in self.boxes if p == pid]
