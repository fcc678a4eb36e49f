"""A machine, as `vntrsetup-sim --dump-machine` resolves it, made into a Wine
prefix: the same Windows version, locale, directories, files, registry keys
and values, present devices, libraries and answers.

plan() decides, without touching anything, how each part of the machine is
held under Wine. A setting Wine holds otherwise is realized as near as Wine
allows and named with what was used instead (a "difference"), with the parts
of the run that stay comparable; a setting without which the run cannot be
made at all is a "blocker", and a machine with one does not run. apply()
then writes the plan into a fresh prefix copy. Text values of the dump are
byte strings with one character per byte (U+0000..U+00FF) in the machine's
code page.
"""

import hashlib
import os
import re
import shutil
import subprocess
import zlib

from . import codepage, pe, regfile
from .prefix import NT_VERSION_KEY, find_ci, replace_file

WINE_WINDOWS_DIR = 'C:\\windows'
WINE_SYSTEM_DIR = 'C:\\windows\\system32'
CURRENT_VERSION = 'Software\\Microsoft\\Windows\\CurrentVersion'
# Wine's builtin PE libraries, which the stubs forward to.
WINE_PE_DIR = '/usr/lib/i386-linux-gnu/wine/i386-windows'

# The version records Wine 8 reports in its named modes (Wine's own, not the
# program's): (platform, major, minor, dwBuildNumber, CSD) -> mode.
NAMED_VERSIONS = {
    (0, 3, 10, 0, 'Win32s 1.3'): 'win31',
    (1, 4, 0, 0x040003B6, ''): 'win95',
    (1, 4, 10, 0x040A08AE, ' A '): 'win98',
    (1, 4, 90, 0x045A0BB8, ' '): 'winme',
    (2, 5, 0, 2195, 'Service Pack 4'): 'win2k',
    (2, 5, 1, 2600, 'Service Pack 3'): 'winxp',
    (2, 5, 2, 3790, 'Service Pack 2'): 'win2003',
}

# What a difference leaves comparable: the whole run (EVERYTHING: the
# setting reaches nothing the comparison reads, or reaches it alike on both
# sides); the whole run but the Windows directory's name in paths (PATHS);
# the whole run but the driver update's result and the box that reports it
# (UPDATE: Wine's update succeeds where Windows would refuse the INF); or
# nothing event by event (NOTHING): the program takes another way through its
# run (another message file, another answer from the search or the update).
EVERYTHING, PATHS, UPDATE, NOTHING = 'everything', 'paths', 'update', 'nothing'
# What each of them leaves compared, as the report says it.
LEAVES = {
    EVERYTHING: 'everything',
    PATHS: 'all but the Windows directory\'s name in paths',
    UPDATE: 'all but the driver update\'s result and the box that reports it',
    NOTHING: 'nothing event by event',
}
# Files setup.exe hands to Windows whole: the package's INF and catalog. Run
# over made-up bytes they would give a run no machine can have.
PACKAGE_FILES_NEEDED = ('.inf', '.cat')

# Where the machine's devices go, and their class (any class would do: the
# driver installation takes the class the INF names).
DEVICE_ROOT = 'System\\CurrentControlSet\\Enum\\ROOT\\VNTR_TEST'
SYSTEM_CLASS = '{4D36E97D-E325-11CE-BFC1-08002BE10318}'

# The libraries the program binds and Wine's own copy of each.
SYSTEM_LIBRARIES = ('setupapi.dll', 'newdev.dll')


class Blocker:
    """A setting Wine cannot hold."""

    def __init__(self, field, line, why):
        self.field, self.line, self.why = field, line, why

    def __str__(self):
        where = '%s (line %d)' % (self.field, self.line) if self.line else self.field
        return '%s: %s' % (where, self.why)

    __repr__ = __str__


class Difference:
    """A setting Wine holds otherwise: what the machine has, what was used
    instead and why, and what of the comparison it leaves (PATHS or
    NOTHING)."""

    def __init__(self, field, line, wanted, used, why, leaves):
        self.field, self.line = field, line
        self.wanted, self.used, self.why, self.leaves = wanted, used, why, leaves

    def __str__(self):
        where = '%s (line %d)' % (self.field, self.line) if self.line else self.field
        return '%s: %s, under Wine %s (%s)' % (where, self.wanted, self.used, self.why)

    __repr__ = __str__

    def as_json(self):
        return {'field': self.field, 'line': self.line, 'machine': self.wanted,
                'under_wine': self.used, 'why': self.why, 'compared': LEAVES[self.leaves]}


class Plan:
    def __init__(self, dump):
        self.dump = dump
        self.blockers = []
        self.differences = []
        self.notes = []
        self.version = None  # ('named', mode) | ('9x', (major, minor, build, csd)) | ('nt', ...)
        self.locale = None  # Unix locale name for LC_CTYPE, or None for Wine's default
        self.codepage = dump.get('codepage', 1252)  # the ANSI code page under Wine
        self.devices = []  # hardware-identifier properties (bytes), None for none
        self.overrides = {}  # DLL name (no .dll) -> load order, for setup.exe only
        self.stubs = []  # (library, kept-out entries)
        self.broken = []  # libraries that must fail to load
        self.planted = []  # (library, Windows directory)
        self.answers = list(dump.get('answers', []))
        self.exe_dir = dump.get('exe_dir') or dump['current_dir']
        # The simulator's machine object (its --json document's), when the
        # plan was made with the simulator's run.
        self.machine = None
        # file_bytes(path): the bytes of a file the dump gives by size and
        # CRC-32 only, from the simulator (simulator.file_bytes).
        self.file_bytes = None

    @property
    def realizable(self):
        return not self.blockers

    @property
    def update_left_out(self):
        """Whether the driver update's result, and the box that reports it,
        are left out of the comparison (UPDATE)."""
        return any(d.leaves == UPDATE for d in self.differences)

    @property
    def comparable(self):
        """Whether the run can be compared with the simulator's at all."""
        return not any(d.leaves == NOTHING for d in self.differences)

    def path_masks(self):
        """(the machine's directory, Wine's) whose names are not compared:
        the Windows directory where Wine's is another."""
        return [(d.wanted, d.used) for d in self.differences
                if d.field == 'windows_dir' and d.leaves == PATHS]

    def comparison(self):
        """What a comparison with the simulator's run compares, as a line."""
        said = 'comparable with the simulator\'s run: '
        if not self.comparable:
            return said + 'nothing event by event (%s realized otherwise)' % ', '.join(
                d.field for d in self.differences if d.leaves == NOTHING)
        left_out = []
        if self.path_masks():
            left_out.append('the Windows directory\'s name left out of paths (%s)' % '; '.join(
                '%s under Wine, %s on the machine' % (used, wanted)
                for wanted, used in self.path_masks()))
        if self.update_left_out:
            left_out.append('the driver update\'s result and the box that reports it left out')
        if not left_out:
            return said + 'everything'
        return said + 'boxes, calls, trace, state and exit code, with ' + ' and '.join(left_out)

    def wine_path(self, path):
        """A path of the machine as it is under Wine: below the Windows
        directory Wine's own, when the machine's is another."""
        for wanted, used in [(d.wanted, d.used) for d in self.differences
                             if d.field == 'windows_dir']:
            if path.lower() == wanted.lower() or path.lower().startswith(wanted.lower() + '\\'):
                return used + path[len(wanted):]
        return path

    def text(self, value):
        """A text of the dump (one character per byte) as Unicode, read in
        the code page Wine runs the program in."""
        return codepage.decode(value.encode('latin-1'), self.codepage)

    def line_of(self, field):
        """The line of the file that gave `field`, or of the nearest setting
        that contains it (e.g. "devices" for "devices[2].present"); 0 when
        the value is a default."""
        best = (0, 0)
        for s in self.dump.get('settings', []):
            name = s.get('field', '')
            if field == name:
                return s.get('line', 0)
            for sep in ('.', '['):
                if field.startswith(name + sep) and len(name) > best[0]:
                    best = (len(name), s.get('line', 0))
        if not best[1]:
            # Another setting of the same table, e.g. devices[1].ids[0].
            element = re.match(r'[^.\[]+(\[\d+\])?', field).group(0)
            for s in self.dump.get('settings', []):
                if s.get('field', '').startswith(element + '.'):
                    return s.get('line', 0)
        return best[1]

    def _where(self, field, why):
        line = self.line_of(field)
        if not line and field in ('windows_dir', 'system_dir', 'registry_delete'):
            # Not in the file: the Windows version's own.
            line = self.line_of('os')
            why += ' (the default of os)'
        return line, why

    def block(self, field, why):
        line, why = self._where(field, why)
        self.blockers.append(Blocker(field, line, why))

    def differ(self, field, wanted, used, why, leaves=NOTHING):
        line, why = self._where(field, why)
        self.differences.append(Difference(field, line, wanted, used, why, leaves))


def _same_path(a, b):
    return a.rstrip('\\').lower() == b.rstrip('\\').lower()


def _plan_version(p, d):
    os_ = d['os']
    key = (os_['platform'], os_['major'], os_['minor'], os_['build_number'], os_['csd'])
    if key in NAMED_VERSIONS:
        p.version = ('named', NAMED_VERSIONS[key])
    elif os_['platform'] == 1 and (os_['build_number'] >> 16) == (os_['major'] << 8 | os_['minor']):
        # Wine's 9x registry version: VersionNumber and SubVersionNumber.
        p.version = ('9x', (os_['major'], os_['minor'], os_['build_number'] & 0xFFFF, os_['csd']))
    elif os_['platform'] == 2:
        p.version = ('nt', (os_['major'], os_['minor'], os_['build_number'], os_['csd']))
    else:
        p.block('os', 'Wine cannot report platform %d, version %d.%d, build number 0x%08x' % (
            os_['platform'], os_['major'], os_['minor'], os_['build_number']))
        return
    legacy = os_['platform'] == 1
    wanted = d.get('registry_delete', 'legacy' if legacy else 'nt')
    own = 'legacy' if legacy else 'nt'
    if wanted != own:
        p.differ('registry_delete', '"%s"' % wanted, '"%s"' % own,
                 'Wine\'s RegDeleteKeyA %s' % ('deletes trees in its 9x modes' if legacy else
                                                'refuses keys with subkeys in its NT modes'))


def _plan_directories(p, d):
    windows = d['windows_dir'].rstrip('\\')
    if not _same_path(windows, WINE_WINDOWS_DIR):
        # What lies below it is laid out below Wine's. A folder at a drive
        # root (Windows 2000's C:\WINNT) gives the program paths a few
        # characters apart, which it builds alike: they compare but for the
        # directory's name. A deeper one is another run (paths that no
        # longer fit the program's buffers fit under Wine's).
        shallow = re.fullmatch(r'[A-Za-z]:\\[^\\]+', windows) is not None
        p.differ('windows_dir', windows, WINE_WINDOWS_DIR,
                 'Wine\'s Windows directory is always %s' % WINE_WINDOWS_DIR,
                 PATHS if shallow else NOTHING)
    legacy_system = d['os']['platform'] != 2 and _same_path(d['system_dir'], windows + '\\SYSTEM')
    if legacy_system:
        # Only the NT flow asks for the system directory.
        p.notes.append('system directory %s is %s under Wine (only the NT flow reads it)' % (
            d['system_dir'], WINE_SYSTEM_DIR))
    elif not _same_path(d['system_dir'], WINE_SYSTEM_DIR):
        below = _same_path(d['system_dir'], windows + '\\system32')
        p.differ('system_dir', d['system_dir'].rstrip('\\'), WINE_SYSTEM_DIR,
                 'Wine\'s system directory is always %s' % WINE_SYSTEM_DIR,
                 PATHS if below else NOTHING)
    for field, path in (('current_dir', d['current_dir']), ('exe_dir', d.get('exe_dir'))):
        if path and (len(path) < 3 or path[1:3] != ':\\'):
            p.block(field, 'not an absolute path with a drive letter: %s' % path)


def _plan_locale(p, d):
    """Wine takes its system locale and ANSI code page from the Unix locale
    of LC_CTYPE; the simulator names the one that gives the machine's
    (unix_locale of --dump-machine), or the nearest."""
    lcid = d.get('locale', 0x0409)
    unix = d.get('unix_locale')
    if not unix:
        raise ValueError('the simulator\'s --dump-machine gives no unix_locale: rebuild it')
    p.codepage = unix['codepage']
    if unix['locale'] != lcid:
        p.differ('locale', '0x%04x' % lcid, '0x%04x (%s)' % (unix['locale'], unix['name']),
                 'no Unix locale gives 0x%04x to Wine' % lcid)
    if d.get('codepage', p.codepage) != p.codepage:
        p.differ('codepage', str(d['codepage']), str(p.codepage),
                 'Wine\'s ANSI code page follows its system locale')
    if unix['name'] != 'en_US':
        p.locale = unix['name'] + '.UTF-8'


def _plan_devices(p, d):
    # The machine's own devices come after the preset's ordinary ones; the
    # file numbers only its own.
    own = [int(m.group(1)) for m in (re.match(r'devices\[(\d+)\]', s.get('field', ''))
                                     for s in d.get('settings', [])) if m]
    first = len(d.get('devices', [])) - (max(own) + 1 if own else 0)
    for i, dev in enumerate(d.get('devices', [])):
        where = 'devices[%d]' % (i - first) if i >= first else 'os (its ordinary device %d)' % i
        if dev.get('reported_size') is not None:
            p.differ(where + '.reported_size', str(dev['reported_size']), 'the real size',
                     'Wine reports the real size of a property')
        if dev.get('insufficient_forever'):
            p.differ(where + '.insufficient_forever', 'true', 'a read that succeeds',
                     'Wine\'s property read succeeds with room')
        if dev.get('size_query_succeeds'):
            p.differ(where + '.size_query_succeeds', 'true', 'error 122',
                     'Wine\'s size query without a buffer fails with error 122')
        if dev.get('present', True) is False:
            p.differ(where + '.present', 'false', 'present', 'Wine 8 lists every registered '
                     'device as present (DIGCF_PRESENT passes none over)')
        ids = dev.get('hardware_ids_hex')
        p.devices.append(None if ids is None else bytes.fromhex(ids))


def _plan_modules(p, d):
    platform = d['os']['platform']
    wanted = set(SYSTEM_LIBRARIES) if platform == 2 else {'setupapi.dll'}
    seen = set()
    for i, mod in enumerate(d.get('modules', [])):
        name = mod['name'].lower()
        where = 'modules."%s"' % mod['name']
        if mod.get('planted'):
            p.planted.append((mod['name'], mod['dir']))
            p.overrides[os.path.splitext(name)[0]] = 'native,builtin'
            continue
        if name not in SYSTEM_LIBRARIES:
            p.block(where, 'only %s are made into Wine libraries' % ' and '.join(SYSTEM_LIBRARIES))
            continue
        seen.add(name)
        if not _same_path(mod['dir'], d['system_dir']):
            p.block(where + '.dir', 'Wine keeps its libraries in %s' % WINE_SYSTEM_DIR)
        base = os.path.splitext(name)[0]
        if not mod.get('loads', True):
            p.broken.append(mod['name'])
            p.overrides[base] = 'native'
        elif mod.get('missing'):
            p.stubs.append((name, sorted(mod['missing'])))
            p.overrides[base] = 'native'
            # Wine's newdev.dll imports from setupapi.dll: an entry it needs
            # that the stub leaves out makes the driver update crash.
            needed = wine_imports('newdev.dll', name) if platform == 2 else set()
            for entry in sorted(set(mod['missing']) & needed):
                p.block(where + '.missing', '%s is imported by Wine\'s newdev.dll, which then '
                        'cannot update the driver' % entry)
    for name in sorted(wanted - seen):
        # Left out of the machine: Wine's copy is turned off for setup.exe.
        p.overrides[os.path.splitext(name)[0]] = ''


def _package_folders(d):
    return {x.rstrip('\\').lower() for x in (d['current_dir'], d.get('exe_dir')) if x}


def _plan_files(p, d):
    """A file the dump gives by size and CRC-32 gets its bytes from the
    simulator (Realizer._files). A placeholder, whose bytes the simulator
    makes up because neither the machine file nor a package it knows has
    them, runs with those bytes on both sides; the package's INF or
    catalog as a placeholder cannot run (PACKAGE_FILES_NEEDED)."""
    folders = _package_folders(d)
    for f in d.get('files', []):
        # The dump shows a small placeholder's bytes too, and says what it is.
        if f.get('dir') or not f.get('placeholder', 'hex' not in f):
            continue
        path = f['path']
        folder, _, name = path.rpartition('\\')
        if folder.lower() in folders and name.lower().endswith(PACKAGE_FILES_NEEDED):
            p.block('files', '%s is a placeholder (known by its size and CRC-32 only): '
                    'setup.exe would hand Windows made-up bytes; give the file\'s bytes '
                    '(capture it again, or name the package folder in the machine file: package = '
                    '{ from = "DIR" })' % path)
        else:
            shown = bytes.fromhex(f.get('hex', ''))
            p.differ('files', '%s known by its size (%d) and CRC-32 (%08x) only' % (
                path, f.get('size', len(shown)), f.get('crc32', zlib.crc32(shown))),
                'bytes of that size and CRC-32, made up as the simulator makes them',
                'a placeholder: neither the machine file nor a package the simulator knows '
                'holds its bytes', EVERYTHING)


# The longest name the host's file systems hold, in bytes (Linux's
# NAME_MAX); Wine names host files in UTF-8.
HOST_NAME_MAX = 255


def _plan_names(p, d):
    """Every path the realizer makes a host file or folder of, each name as
    Wine names it: a name Windows takes (255 characters) may be more bytes
    in UTF-8 than the host holds, and a lead byte without its trail byte is
    U+0000 to Wine, which no host name holds."""
    paths = [('files', f['path']) for f in d.get('files', [])]
    paths += [(field, d[field]) for field in ('current_dir', 'exe_dir') if d.get(field)]
    paths += [('modules."%s"' % m['name'], m['dir'] + '\\' + m['name'])
              for m in d.get('modules', []) if m.get('planted')]
    bad, seen = [], set()
    for field, path in paths:
        # Split as Wine reads the path: a trail byte may be 0x5C.
        for name in p.text(path).split('\\')[1:]:
            if name in seen:
                continue
            seen.add(name)
            size = len(name.encode('utf-8', 'surrogatepass'))
            if '\0' in name:
                bad.append((field, '%s: a name ends in a lead byte without its trail byte, '
                            'which Wine makes U+0000 of; no host file name holds it' % path))
            elif size > HOST_NAME_MAX:
                bad.append((field, '%s: a name is %d bytes in UTF-8, as Wine names host files; '
                            'the host\'s file system takes %d at most' % (
                                path, size, HOST_NAME_MAX)))
            else:
                continue
            break
    for field, why in bad[:5]:
        p.block(field, why)
    if len(bad) > 5:
        p.block('files', 'and %d more names the host cannot hold' % (len(bad) - 5))


def _plan_strings(p, d, program_strings):
    """Wine runs the real program, with its own string table: a machine
    whose table (its caption) is another cannot be held."""
    def text(value):
        return bytes.fromhex(value['hex']).decode('latin-1') if isinstance(value, dict) else value
    machine = {int(k): text(v) for k, v in d.get('strings', {}).items()}
    if program_strings is not None and machine != program_strings:
        p.differ('caption', 'the string table %r' % machine, 'setup.exe\'s own, %r'
                 % program_strings, 'Wine runs the real program')


def plan(d, program_strings=None):
    """How the dumped machine is held under Wine; see Plan. The string table
    of the program that is to run (pe.strings) is checked against the
    machine's when given."""
    p = Plan(d)
    _plan_version(p, d)
    _plan_directories(p, d)
    _plan_locale(p, d)
    _plan_devices(p, d)
    _plan_modules(p, d)
    _plan_files(p, d)
    _plan_names(p, d)
    _plan_strings(p, d, program_strings)
    if d.get('command_line'):
        p.differ('command_line', repr(d['command_line']), 'no arguments',
                 'setup.exe is started without arguments')
    update = d.get('update', {})
    if update.get('reboot'):
        p.differ('update.reboot', 'true', 'no restart asked for',
                 'Wine\'s UpdateDriverForPlugAndPlayDevicesA never asks for a restart')
    for i, f in enumerate(d.get('faults', [])):
        p.differ('faults[%d].call' % i, 'a failure of %s' % f.get('call'), 'the call as Wine '
                 'makes it', 'a planned failure cannot be made in Wine')
    # What a machine capture could not read (a file, key, value or device
    # list with `error`): Wine cannot be made to fail that read.
    for s in d.get('settings', []):
        if re.fullmatch(r'(files|keys|values|devices)\[\d+\]\.error', s.get('field', '')):
            p.differ(s['field'], 'a read that fails', 'the read as Wine makes it',
                     'a read that fails with a given error cannot be made in Wine')
    return p


# -- applying a plan -----------------------------------------------------------

class Realized:
    """Where things are in the realized prefix."""

    def __init__(self):
        self.drives = {}  # letter -> host directory
        self.cwd_unix = None
        self.exe_unix = None
        self.env = {}  # environment for Wine's processes (None removes a variable)
        self.planted_markers = []  # (library, host path of its marker)
        self.devices = []  # instance ids
        self.notes = []  # what the realization did otherwise than planned


class Realizer:
    """Applies plans. `tools` names the helper programs (the e2e config's
    tools), `cache` a directory for built stubs and locales."""

    def __init__(self, tools, cache):
        self.tools = tools
        self.cache = cache

    # -- paths ----------------------------------------------------------------

    def host_path(self, setup, realized, work, windows_path, make_parents=True):
        """The host path of a Windows path in the prefix: C: is the prefix's
        drive_c, any other letter a directory of the work folder mapped as
        that drive. Existing components are matched without regard to case."""
        letter = windows_path[0].lower()
        if letter == 'c':
            root = os.path.join(setup.prefix, 'drive_c')
        else:
            root = realized.drives.get(letter)
            if root is None:
                root = os.path.join(work, 'drive-' + letter)
                os.makedirs(root, exist_ok=True)
                setup.drive(letter, root)
                realized.drives[letter] = root
        path = root
        for part in [x for x in windows_path[3:].split('\\') if x]:
            match = find_ci(path, part)
            path = match if match else os.path.join(path, part)
        return path

    def _host(self, plan, setup, realized, work, path):
        """The host path of a path of the machine: below Wine's Windows
        directory where the machine's is another, its name read in the
        machine's code page (Wine names host files in UTF-8)."""
        return self.host_path(setup, realized, work, plan.text(plan.wine_path(path)))

    # -- the parts --------------------------------------------------------------

    def _version(self, plan, setup):
        kind, value = plan.version
        if kind == 'named':
            setup.windows_version(value)
        elif kind == '9x':
            major, minor, build, csd = value
            setup.windows_version('win98-1998')
            setup.system.set_string(CURRENT_VERSION, 'VersionNumber',
                                    '%d.%02d.%d' % (major, minor, build))
            setup.system.set_string(CURRENT_VERSION, 'SubVersionNumber', csd)
        else:
            major, minor, build, csd = value
            setup.user.delete_value('Software\\Wine', 'Version')
            setup.system.set_string(NT_VERSION_KEY, 'CurrentVersion', '%d.%d' % (major, minor))
            setup.system.set_string(NT_VERSION_KEY, 'CurrentBuildNumber', str(build))
            setup.system.set_string(NT_VERSION_KEY, 'CurrentBuild', str(build))
            setup.system.set_string(NT_VERSION_KEY, 'CSDVersion', csd)
            setup.system.delete_value(NT_VERSION_KEY, 'CurrentMajorVersionNumber')
            setup.system.delete_value(NT_VERSION_KEY, 'CurrentMinorVersionNumber')

    def _locale(self, plan, realized):
        if not plan.locale:
            return
        # The system locale follows LC_CTYPE, the user's language (the
        # boxes' buttons, the system's texts) LC_MESSAGES: both the
        # machine's, as its user sees them.
        realized.env.update({'LC_ALL': None, 'LC_CTYPE': plan.locale,
                             'LC_MESSAGES': plan.locale, 'LANG': 'C'})
        made, why = host_locale(plan.locale)
        if made:
            if why:
                realized.notes.append(why)
            return
        # Not the host's, nor to be made so (not root): one of our own, in
        # the build tree, given through LOCPATH.
        realized.notes.append('%s; Wine gets a copy made in the build tree instead' % why)
        base = plan.locale.split('.')[0]
        root = os.path.join(self.cache, 'locales')
        target = os.path.join(root, plan.locale)
        if not os.path.isdir(target):
            os.makedirs(root, exist_ok=True)
            p = subprocess.run(['localedef', '-i', base, '-f', 'UTF-8', target + '.part'],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
            if not os.path.isdir(target + '.part'):
                raise RuntimeError('%s; localedef into %s failed as well: %s' % (
                    why, root, p.stdout.decode('utf-8', 'replace').strip()[-500:]))
            os.rename(target + '.part', target)
        realized.env['LOCPATH'] = root

    def _registry(self, plan, setup):
        """Every key and value of the machine's HKEY_LOCAL_MACHINE. Enum\\PCI
        and OtherDevicePath, which setup.exe reads and changes, are the
        machine's alone."""
        system = setup.system
        for section in list(system.sections):
            if section.name.lower() == 'enum' or section.name.lower().startswith('enum\\'):
                system.sections.remove(section)
                system._index.pop(section.name.lower(), None)
        system.delete_value(CURRENT_VERSION, 'OtherDevicePath')

        def walk(node, path):
            # As RegSetValueExA stores them: texts from the ANSI code page.
            for v in node.get('values', []):
                data = text_bytes_of(v)
                kind = v['type']
                if kind in (regfile.REG_SZ, regfile.REG_EXPAND_SZ, regfile.REG_MULTI_SZ):
                    data = codepage.decode(data, plan.codepage).encode('utf-16-le')
                system.set_raw(path, plan.text(v['name']), kind, data)
            for sub in node.get('subkeys', []):
                sub_path = (path + '\\' if path else '') + plan.text(sub['name'])
                system.ensure_key(sub_path)
                walk(sub, sub_path)

        walk(plan.dump.get('registry', {}), '')

    def _devices(self, plan, setup, realized):
        """The present devices, in order, as SetupDiRegisterDeviceInfo leaves
        them in Wine's registry: root-enumerated, class System, and the
        hardware-identifier property as RegSetValueExA stores REG_MULTI_SZ
        bytes (converted from the ANSI code page, odd lists as they are)."""
        for i, ids in enumerate(plan.devices):
            key = '%s\\%04d' % (DEVICE_ROOT, i)
            setup.system.ensure_key(key)
            setup.system.set_string(key, 'Class', 'System')
            setup.system.set_string(key, 'ClassGUID', SYSTEM_CLASS)
            if ids is not None:
                setup.system.set_raw(key, 'HardwareId', regfile.REG_MULTI_SZ,
                                     codepage.decode(ids, plan.codepage).encode('utf-16-le'))
            realized.devices.append(key.split('Enum\\', 1)[1])

    def _files(self, plan, setup, realized, work):
        for f in plan.dump.get('files', []):
            target = self._host(plan, setup, realized, work, f['path'])
            if f.get('dir'):
                os.makedirs(target, exist_ok=True)
                continue
            os.makedirs(os.path.dirname(target), exist_ok=True)
            if 'hex' in f:
                data = bytes.fromhex(f['hex'])
            elif plan.file_bytes is None:
                raise ValueError('%s: the dump gives its size and CRC-32 only, and the plan '
                                 'has no simulator to ask for its bytes' % f['path'])
            else:
                data = plan.file_bytes(f['path'])
            with open(replace_file(target), 'wb') as out:
                out.write(data)
        # A machine without INF\OTHER has none under Wine either.
        have = {f['path'].lower() for f in plan.dump.get('files', [])}
        other = (plan.dump['windows_dir'] + '\\INF\\OTHER').lower()
        if other not in have:
            path = find_ci(os.path.join(setup.prefix, 'drive_c'), 'windows\\inf\\other')
            if path:
                shutil.rmtree(path)

    def _program(self, plan, setup, realized, work, program):
        exe_dir = self._host(plan, setup, realized, work, plan.exe_dir)
        os.makedirs(exe_dir, exist_ok=True)
        realized.exe_unix = os.path.join(exe_dir, 'setup.exe')
        shutil.copyfile(program, replace_file(realized.exe_unix))
        realized.cwd_unix = self._host(plan, setup, realized, work, plan.dump['current_dir'])
        os.makedirs(realized.cwd_unix, exist_ok=True)

    def _planted(self, plan, setup, realized, work):
        for name, directory in plan.planted:
            target = os.path.join(self._host(plan, setup, realized, work, directory),
                                  plan.text(name))
            os.makedirs(os.path.dirname(target), exist_ok=True)
            shutil.copyfile(self.tools['planted'], replace_file(target))
            marker = self.host_path(setup, realized, work,
                                    'C:\\vntr-planted-%s.txt' % name.lower())
            realized.planted_markers.append((name, marker))

    def _overrides(self, plan, setup):
        for dll, order in sorted(plan.overrides.items()):
            setup.user.set_string('Software\\Wine\\AppDefaults\\setup.exe\\DllOverrides', dll,
                                  order)

    def stub(self, name, missing):
        """A library named `name` that forwards every export of Wine's own
        copy but the `missing` ones (built once per set, with mingw)."""
        exports = pe.exports(os.path.join(WINE_PE_DIR, name))
        kept = [e for e in exports if e not in set(missing)]
        forward = forward_name(name)
        lines = ['LIBRARY %s' % name, 'EXPORTS'] + ['%s = %s.%s' % (e, forward, e) for e in kept]
        text = '\n'.join(lines) + '\n'
        digest = hashlib.sha1(text.encode()).hexdigest()[:12]
        out_dir = os.path.join(self.cache, 'stubs')
        target = os.path.join(out_dir, '%s-%s.dll' % (os.path.splitext(name)[0], digest))
        if os.path.exists(target):
            return target
        os.makedirs(out_dir, exist_ok=True)
        def_path = target[:-4] + '.def'
        with open(def_path, 'w') as f:
            f.write(text)
        p = subprocess.run([self.tools['mingw_cc'], '-O2', '-s', '-shared', '-nostdlib',
                            '-e', '_DllMain@12', '-o', target + '.part', self.tools['stub_source'],
                            def_path], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                           timeout=120)
        if p.returncode != 0:
            raise RuntimeError('building the %s stub failed: %s' % (
                name, p.stdout.decode('utf-8', 'replace')[-800:]))
        os.rename(target + '.part', target)
        return target

    def apply(self, plan, setup, work, program):
        """Writes the plan into the prefix of `setup` (a PrefixSetup, saved
        here) and lays out files and programs; returns a Realized."""
        if not plan.realizable:
            raise ValueError('simulator-only machine: ' + '; '.join(str(b) for b in plan.blockers))
        realized = Realized()
        self._version(plan, setup)
        self._locale(plan, realized)
        self._registry(plan, setup)
        self._devices(plan, setup, realized)
        self._files(plan, setup, realized, work)
        self._program(plan, setup, realized, work, program)
        self._overrides(plan, setup)
        setup.save()
        self._planted(plan, setup, realized, work)
        return realized

    def install_libraries(self, plan, prefix):
        """Puts the stubbed and broken libraries into the system directory.
        Called once the session's own services have started with the real
        ones: Wine's programs load the file there too."""
        system32 = find_ci(os.path.join(prefix, 'drive_c'), 'windows\\system32')
        for name, missing in plan.stubs:
            shutil.copyfile(self.stub(name, missing), replace_file(os.path.join(system32, name)))
            shutil.copyfile(os.path.join(WINE_PE_DIR, name),
                            replace_file(os.path.join(system32, forward_name(name) + '.dll')))
        for name in plan.broken:
            # Not a PE image: the load fails with ERROR_BAD_EXE_FORMAT.
            with open(replace_file(os.path.join(system32, name.lower())), 'wb') as out:
                out.write(b'not a library\r\n')


def _locale_key(name):
    """glibc's normalized form: ja_JP.UTF-8 and ja_JP.utf8 are one locale."""
    base, _, charset = name.partition('.')
    return base + '.' + re.sub(r'[^0-9a-z]', '', charset.lower())


def host_locale(name):
    """Makes the Unix locale `name` (language_COUNTRY.UTF-8) the host's when
    it is missing, with localedef (which needs root and Debian's `locales`):
    (whether the host has it now, a line saying what was done or why it
    could not be)."""
    def present():
        p = subprocess.run(['locale', '-a'], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                           timeout=60)
        return _locale_key(name) in {_locale_key(n) for n in p.stdout.decode('latin-1').split()}

    if present():
        return True, ''
    base = name.split('.')[0]
    try:
        made = subprocess.run(['localedef', '-i', base, '-f', 'UTF-8', name],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300)
    except OSError as e:
        return False, 'the host has no locale %s and localedef cannot run (%s: install ' \
            'Debian\'s locales)' % (name, e)
    # Status 1 is warnings: the locale is made all the same.
    if made.returncode in (0, 1) and present():
        return True, 'made the host locale %s (localedef -i %s -f UTF-8 %s)' % (name, base, name)
    return False, 'the host has no locale %s and localedef could not make it (%s)' % (
        name, made.stdout.decode('utf-8', 'replace').strip()[-300:] or
        'exit status %d' % made.returncode)


def text_bytes_of(value):
    return bytes.fromhex(value.get('hex', ''))


def forward_name(library):
    """The name Wine's own copy of a stubbed library is loaded under."""
    return 'vntrwine_' + os.path.splitext(library.lower())[0]


def wine_imports(library, from_library):
    """Names Wine's own `library` imports from `from_library` (empty when
    Wine's libraries are not where they are looked for)."""
    path = os.path.join(WINE_PE_DIR, library)
    if not os.path.exists(path):
        return set()
    return set(pe.imports(path).get(from_library.lower(), []))
