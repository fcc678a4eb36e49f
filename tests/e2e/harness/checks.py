"""What a finished run is compared against: the boxes, the calls setup.exe
made from its own image, its standard output, and the state it left in the
prefix."""

import filecmp
import os
import struct

from . import regfile
from .prefix import find_ci

CAPTION = 'Vantor CardBus Controller Setup Utility'
MB_OK = 0
MB_YESNO = 4

MESSAGES = [
    'System Error or copy inf file failed!',
    'No generic Vantor Cardbus controllers found!',
    'Installation successful!',
    'Installation successful! Do you want to reboot the system?',
    'Do you want to update Vantor Cardbus controllers?',
]
FAILED, NO_CONTROLLER, SUCCESS, SUCCESS_REBOOT, CONFIRM = range(5)


def image_range(exe_path, base):
    """[base, base + SizeOfImage) of a PE file loaded at base."""
    with open(exe_path, 'rb') as f:
        data = f.read(4096)
    pe = struct.unpack_from('<I', data, 0x3c)[0]
    if data[pe:pe + 4] != b'PE\0\0':
        raise ValueError('%s is not a PE file' % exe_path)
    size_of_image = struct.unpack_from('<I', data, pe + 24 + 56)[0]
    return base, base + size_of_image


# -- argument matchers -------------------------------------------------------

class NonZero:
    def matches(self, value):
        return isinstance(value, int) and value != 0

    def __repr__(self):
        return '<non-zero>'


def _matches(expected, value):
    if hasattr(expected, 'matches'):
        return expected.matches(value)
    if expected is None:
        return value is None or value == 0 or value == ''
    return expected == value


class Expected:
    """One expected call: function name and argument matchers."""

    def __init__(self, func, *args, retval=None):
        self.func = func
        self.args = args
        self.retval = retval

    def matches(self, call):
        if call.func != self.func or len(call.args) < len(self.args):
            return False
        for i, expected in enumerate(self.args):
            if not _matches(expected, call.arg(i)):
                return False
        return self.retval is None or call.retval == self.retval

    def __repr__(self):
        return '%s(%s)' % (self.func, ', '.join(repr(a) for a in self.args))


def box(text, kind):
    return Expected('MessageBoxA', 0, text, CAPTION, kind)


# -- the context of one finished run -----------------------------------------

class Outcome:
    """Everything a check looks at, and the failures it found."""

    def __init__(self, scenario, run, exe_path, prefix, package_unix):
        self.scenario = scenario
        self.run = run
        self.prefix = prefix
        self.package_unix = package_unix
        self.failures = []
        self.notes = []
        self.system = regfile.RegistryFile(os.path.join(prefix, 'system.reg'))
        log = run.log
        exe_name = os.path.basename(exe_path).lower()
        module = log.module('\\' + exe_name)
        if module is None:
            self.pid = None
            self.calls = []
            self.boxes = []
            self.fail('the log shows no load of %s (did it start?)' % exe_name)
        else:
            self.pid, self.exe_windows_path, base, _ = module
            low, high = image_range(exe_path, base)
            self.calls = log.calls_from(self.pid, low, high)
            self.boxes = log.box_texts(self.pid)
        self.stdout = run.stdout

    def fail(self, text):
        self.failures.append(text)

    def check(self, condition, text):
        if not condition:
            self.fail(text)
        return condition

    # -- process ------------------------------------------------------------

    def check_process(self):
        run = self.run
        self.check(not run.timed_out, 'setup.exe did not end in time')
        self.check(run.exit_code == 0, 'exit code %r, expected 0' % run.exit_code)
        for pid, line in run.log.crash_pids():
            if pid is not None and pid == self.pid:
                self.fail('setup.exe crashed: ' + line)
            else:
                self.notes.append('Wine helper crashed (not setup.exe): ' + line)

    # -- calls and boxes ------------------------------------------------------

    def check_calls(self, expected, only=None):
        """The calls setup.exe made from its own image, in order, are exactly
        `expected` (restricted to the functions in `only` when given)."""
        calls = [c for c in self.calls if only is None or c.func in only]
        ok = len(calls) == len(expected) and all(e.matches(c) for e, c in zip(expected, calls))
        if not ok:
            lines = ['calls differ from what was expected:']
            for i in range(max(len(calls), len(expected))):
                e = repr(expected[i]) if i < len(expected) else '(none)'
                c = repr(calls[i]) if i < len(calls) else '(none)'
                mark = '  ' if i < len(calls) and i < len(expected) and expected[i].matches(calls[i]) else '! '
                lines.append('%s expected %-60s got %s' % (mark, e, c))
            self.fail('\n    '.join(lines))
        return ok

    def check_box_texts(self, expected):
        """The texts the boxes showed (trace+msgbox), in order."""
        shown = [t or '' for t in self.boxes]
        self.check(shown == list(expected),
                   'box texts %r, expected %r' % (shown, list(expected)))
        answered = len(self.run.shots)
        self.check(answered == len(expected),
                   '%d boxes answered on screen, %d expected' % (answered, len(expected)))

    # -- standard output ------------------------------------------------------

    def trace_lines(self):
        text = self.stdout.decode('latin-1')
        lines = text.split('\n')
        if lines and lines[-1] == '':
            lines.pop()
        bare = [l for l in lines if not l.endswith('\r')]
        self.check(not bare, 'trace lines without CR LF (standard output not in text mode?): %r'
                   % bare[:3])
        return [l.rstrip('\r') for l in lines]

    # -- files ------------------------------------------------------------------

    def host_path(self, windows_path):
        drive, rest = windows_path[0].lower(), windows_path[3:]
        root = os.path.join(self.prefix, 'dosdevices', drive + ':')
        return find_ci(os.path.realpath(root), rest)

    def check_copied(self, names, target_dir):
        for name in names:
            source = os.path.join(self.package_unix, name)
            target = self.host_path(target_dir + '\\' + name)
            if self.check(target is not None, '%s\\%s was not created' % (target_dir, name)):
                self.check(filecmp.cmp(source, target, shallow=False),
                           '%s\\%s differs from the package file' % (target_dir, name))

    # -- registry ---------------------------------------------------------------

    def value_text(self, key, name):
        value = self.system.value(key, name)
        return None if value is None else value.text()
