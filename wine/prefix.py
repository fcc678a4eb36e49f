"""The base Wine prefix, prepared once, and the fresh copy each scenario gets.

Settings that every scenario shares go into the base prefix; the settings of
one scenario (Windows version, registry keys, DLL overrides) are written
straight into the copy's user.reg/system.reg before Wine starts, which is
faster than `wine reg add` and leaves no server running.
"""

import contextlib
import fcntl
import json
import os
import shutil
import subprocess
import sys
import time

from . import regfile, versions
from .session import Session, SessionError, signals_held

WINDOWS_VERSIONS = ('win31', 'win95', 'win98', 'winme', 'win2k', 'winxp', 'win2003')
# Wine's win98 is 98 SE (build 2222). Windows 98 itself (build 1998) is what
# Wine reports from the 9x registry when neither HKCU\Software\Wine Version
# nor the NT version values are there.
WIN98_FIRST_EDITION = 'win98-1998'
NT_VERSION_KEY = r'Software\Microsoft\Windows NT\CurrentVersion'
NT_VERSION_VALUES = ('CurrentVersion', 'CurrentMajorVersionNumber', 'CurrentMinorVersionNumber',
                     'CurrentBuild', 'CurrentBuildNumber', 'CSDVersion')


def wine_version():
    p = subprocess.run(['wine', '--version'], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                       timeout=120, env=dict(os.environ, WINEDEBUG='-all'))
    return p.stdout.decode('utf-8', 'replace').strip()


def base_info(base):
    """What prepare_base recorded about the base prefix, or {}."""
    try:
        with open(base + '.ready') as f:
            return json.load(f)
    except (OSError, ValueError):
        return {}


def version_warnings(base, mode):
    """Lines saying that the Wine of the base prefix or qemu is not the
    version the harness was checked with (versions.py)."""
    said = versions.warning('wine', base_info(base).get('wine', ''))
    return ([said] if said else []) + mode.warnings


def _hardware_ids(hex_list):
    """The entries of a hardware-identifier property given in hexadecimal."""
    data = bytes.fromhex(hex_list)
    return [e.decode('latin-1') for e in data.split(b'\0') if e]


OURS = 'ROOT\\VNTR_TEST\\'  # where the realizer puts a machine's devices
ENUM = 'System\\CurrentControlSet\\Enum\\'


def wine_device_ids(session, listdevices, ours=OURS):
    """Hardware identifiers of the present devices of a running session that
    are Wine's own (not below `ours`), as SetupDiGetClassDevsA lists them
    (listdevices.exe)."""
    code, out = session.run([listdevices], timeout=60, name='devices')
    if code != 0:
        raise SessionError('listdevices ended with code %d: %s' % (code, out.strip()))
    own = []
    for line in out.splitlines():
        fields = line.split()
        if (len(fields) == 3 and fields[0] == 'present' and fields[2] != '-' and
                not fields[1].upper().startswith(ours)):
            own.extend(_hardware_ids(fields[2]))
    return own


def registered_device_ids(prefix, ours=OURS):
    """Hardware identifiers of the devices registered in a prefix whose
    server has ended that are Wine's own (not below `ours`): the
    HardwareID of each instance key Enum\\<bus>\\<device>\\<instance>.
    Wine 8 lists every registered device as present, so this is what
    listdevices.exe would print; it needs no Wine process, and Wine adds
    devices while it runs (its bus driver's HID devices), so a run reads
    them at its end. prepare_base checks the two against each other."""
    system = regfile.RegistryFile(os.path.join(prefix, 'system.reg'))
    own = []
    for section in system.sections:
        name = section.name
        if not name.lower().startswith(ENUM.lower()) or \
                name[len(ENUM):].upper().startswith(ours):
            continue
        if len(name[len(ENUM):].split('\\')) != 3:
            continue
        entry = section.values().get('hardwareid')
        if entry is None:
            continue
        data = entry[1].data
        text = data if isinstance(data, str) else data.decode('utf-16-le', 'replace')
        own.extend(e for e in text.split('\0') if e)
    return own


# Wine's own fonts (Debian's fonts-wine), Marlett among them, which draws the
# buttons of a box's title bar. Debian's Wine looks for them in its data
# directory through a path it cannot open ("<data dir>\\../fonts"), so it never
# finds them there; the base prefix gets them in its Windows fonts directory,
# where Wine does look.
WINE_FONTS = '/usr/share/wine/fonts'
# A font with Japanese glyphs for the boxes of a machine in code page 932
# (scripts/bootstrap installs fonts-ipafont-gothic; Noto CJK serves too), as
# (file, family). It is linked where Wine's own fonts are, so the prefix
# holds it whether or not Wine finds the host's through fontconfig. In code
# page 932 Wine draws a box's text in Tahoma linked to "MS UI Gothic" (its
# SystemLink for Japanese), which no free font is called: Wine's font
# replacements give that name (and "MS Gothic") to the CJK font.
CJK_FONTS = (('/usr/share/fonts/opentype/ipafont-gothic/ipag.ttf', 'IPAGothic'),
             ('/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc', 'Noto Sans CJK JP'))
CJK_FACES = ('MS UI Gothic', 'MS Gothic')
# What a base prefix holds beyond what wineboot made; a base prefix made
# with another layout, or before a CJK font was installed, is made again.
BASE_LAYOUT = 4


def cjk_font():
    """The first of CJK_FONTS that is there, as (file, family), or None."""
    return next((f for f in CJK_FONTS if os.path.exists(f[0])), None)


def link_wine_fonts(base):
    """Links every file of WINE_FONTS and the CJK font into the prefix's
    C:\\windows\\Fonts; returns how many."""
    fonts = find_ci(os.path.join(base, 'drive_c'), 'windows\\fonts')
    files = [os.path.join(WINE_FONTS, n) for n in sorted(os.listdir(WINE_FONTS))] \
        if os.path.isdir(WINE_FONTS) else []
    files += [cjk_font()[0]] if cjk_font() else []
    for path in files:
        target = os.path.join(fonts, os.path.basename(path))
        if not os.path.lexists(target):
            os.symlink(path, target)
    return len(files)


@contextlib.contextmanager
def base_lock(base, shared=False):
    """Holds the lock of the base prefix (BASE.lock): exclusive while it is
    checked and made, shared while a run copies it. Two first runs at once
    thus make it once; the second waits and reuses it. A lock that is held
    says so on standard error before it waits."""
    os.makedirs(os.path.dirname(os.path.abspath(base)), exist_ok=True)
    with open(base + '.lock', 'a') as f:
        kind = fcntl.LOCK_SH if shared else fcntl.LOCK_EX
        try:
            fcntl.flock(f, kind | fcntl.LOCK_NB)
        except BlockingIOError:
            print('note: waiting for another run that is making the base prefix %s' % base,
                  file=sys.stderr)
            fcntl.flock(f, kind)
        try:
            yield
        finally:
            fcntl.flock(f, fcntl.LOCK_UN)


def prepare_base(base, workdir, mode, preload, tag, listdevices):
    """Creates the base prefix unless one made by the same Wine in the same
    layout exists, and records the hardware identifiers of Wine's own
    present devices (which every search walks past). Returns a line
    describing what was done. Runs under the base prefix's lock; a prefix
    left half made (an error, a signal) is removed."""
    with base_lock(base):
        try:
            return _prepare_base(base, workdir, mode, preload, tag, listdevices)
        except BaseException:
            if not os.path.exists(base + '.ready'):
                with signals_held():
                    shutil.rmtree(base, ignore_errors=True)
            raise


# The time-outs of Wine's first start in a fresh prefix (wineboot --init;
# times the mode's slowdown), one per try: it takes about 13 s where Wine
# runs natively, so a start that hangs is cut short and tried once more, as
# is one that crashes, rather than costing the whole of a long time-out.
FIRST_START_TIMEOUTS = (90, 240)


def _first_start(base, workdir, mode, preload, tag, listdevices, timeout):
    """Boots Wine in the empty prefix `base`; the hardware identifiers of
    Wine's own present devices. A crash or a time-out is a SessionError."""
    session = Session(base, workdir, mode, preload, tag=tag, services=True)
    try:
        session.start(with_display=True)
        code, _ = session.run(['wineboot', '--init'], timeout=timeout, name='wineboot')
        if code != 0:
            raise SessionError('wineboot --init ended with code %d (see %s)' % (
                code, os.path.join(workdir, 'wineboot.err')))
        own = wine_device_ids(session, listdevices)
    finally:
        session.close()
    for note in session.notes:
        print('note: ' + note, file=sys.stderr)
    if not os.path.exists(os.path.join(base, 'system.reg')):
        raise SessionError('wineboot left no registry in %s' % base)
    return own


# How prepare_base's line begins when the base prefix was there already.
REUSED = 'base prefix reused'


def _prepare_base(base, workdir, mode, preload, tag, listdevices):
    marker = base + '.ready'
    version = wine_version()
    if os.path.exists(marker) and os.path.isdir(base):
        info = base_info(base)
        if info.get('wine') == version and info.get('layout') == BASE_LAYOUT and \
                info.get('cjk_font') == (cjk_font() or [None])[0]:
            return REUSED + ' (%s, made in %s mode in %.0fs)' % (
                version, info.get('mode'), info.get('seconds', 0))
    if os.path.exists(marker):
        os.remove(marker)
    os.makedirs(workdir, exist_ok=True)
    started = time.monotonic()
    for attempt, timeout in enumerate(FIRST_START_TIMEOUTS, 1):
        shutil.rmtree(base, ignore_errors=True)
        os.makedirs(base)
        try:
            own = _first_start(base, workdir, mode, preload, tag, listdevices, timeout)
            break
        except SessionError as e:
            if attempt == len(FIRST_START_TIMEOUTS):
                raise
            print('note: Wine\'s first start failed (%s); starting it once more in a fresh '
                  'prefix' % e, file=sys.stderr)
    if sorted(registered_device_ids(base)) != sorted(own):
        raise SessionError('Wine lists other devices (%s) than its registry holds (%s): '
                           'registered_device_ids no longer reads them as Wine does' % (
                               own, registered_device_ids(base)))

    user = regfile.RegistryFile(os.path.join(base, 'user.reg'))
    # Crashes of Wine's own helpers are noted from the log; no dialog.
    user.set_dword(r'Software\Wine\WineDbg', 'ShowCrashDialog', 0)
    user.set_string(r'Software\Wine\Drivers', 'Audio', '')
    if cjk_font():
        for face in CJK_FACES:
            user.set_string(r'Software\Wine\Fonts\Replacements', face, cjk_font()[1])
    user.save()
    fonts = link_wine_fonts(base)
    if not fonts:
        print('note: %s holds no fonts (fonts-wine): the boxes\' title bars lack their '
              'buttons' % WINE_FONTS, file=sys.stderr)
    if not cjk_font():
        print('note: no CJK font (%s): Japanese boxes show empty squares; '
              'scripts/bootstrap --all installs fonts-ipafont-gothic' % ', '.join(
                  f for f, _ in CJK_FONTS), file=sys.stderr)
    seconds = time.monotonic() - started
    with open(marker, 'w') as f:
        json.dump({'wine': version, 'layout': BASE_LAYOUT, 'mode': mode.name,
                   'seconds': seconds, 'wine_device_ids': own,
                   'cjk_font': (cjk_font() or [None])[0]}, f)
    return 'base prefix made in %.1fs (%s, %s mode, %d fonts of Wine\'s linked)' % (
        seconds, version, mode.name, fonts)


# Wine 8 keeps real copies of its libraries in the prefix (about 600 MB).
# Nothing writes into them, so a prefix copy links them; every other file
# (registry, .ini, .inf) is copied, since Wine and the realizer rewrite such
# files in place.
LINKED = ('.dll', '.exe', '.drv', '.sys', '.ocx', '.acm', '.cpl', '.ax', '.tlb', '.ds', '.msstyles')


def copy_prefix(base, target):
    if os.path.exists(target):
        shutil.rmtree(target)
    for dirpath, dirnames, filenames in os.walk(base):
        rel = os.path.relpath(dirpath, base)
        out = os.path.normpath(os.path.join(target, rel))
        os.makedirs(out)
        for name in dirnames + filenames:
            source, copy = os.path.join(dirpath, name), os.path.join(out, name)
            if os.path.islink(source):
                os.symlink(os.readlink(source), copy)
            elif name in filenames:
                if name.lower().endswith(LINKED):
                    os.link(source, copy)
                else:
                    shutil.copy2(source, copy)
        dirnames[:] = [d for d in dirnames if not os.path.islink(os.path.join(dirpath, d))]


def replace_file(path):
    """Makes `path` safe to write: a linked library is unlinked first, so
    the base prefix's copy stays as it is."""
    if os.path.lexists(path):
        os.remove(path)
    return path


class PrefixSetup:
    """Registry edits for one scenario's prefix, saved before Wine starts."""

    def __init__(self, prefix):
        self.prefix = prefix
        self.system = regfile.RegistryFile(os.path.join(prefix, 'system.reg'))
        self.user = regfile.RegistryFile(os.path.join(prefix, 'user.reg'))

    def windows_version(self, name):
        if name == WIN98_FIRST_EDITION:
            self.user.delete_value(r'Software\Wine', 'Version')
            for value in NT_VERSION_VALUES:
                self.system.delete_value(NT_VERSION_KEY, value)
            self.system.set_string(r'Software\Microsoft\Windows\CurrentVersion', 'VersionNumber',
                                   '4.10.1998')
            return
        if name not in WINDOWS_VERSIONS:
            raise ValueError('unknown Windows version %s' % name)
        self.user.set_string(r'Software\Wine', 'Version', name)

    def dll_override(self, dll, order):
        self.user.set_string(r'Software\Wine\DllOverrides', dll, order)

    def save(self):
        self.system.save()
        self.user.save()

    def drive(self, letter, unix_dir):
        """Maps a drive letter to a host directory."""
        link = os.path.join(self.prefix, 'dosdevices', letter.lower() + ':')
        if os.path.lexists(link):
            os.remove(link)
        os.symlink(os.path.abspath(unix_dir), link)

    def c_path(self, windows_path):
        """Host path of a C: path inside the prefix (names as given)."""
        assert windows_path[:3].upper() == 'C:\\'
        return os.path.join(self.prefix, 'drive_c', *windows_path[3:].split('\\'))


def find_ci(root, relative):
    """The host path of `relative` (backslash-separated) under root, each
    component matched without regard to case, as Wine matches it; None when
    missing."""
    path = root
    for part in [p for p in relative.split('\\') if p]:
        try:
            names = os.listdir(path)
        except OSError:
            return None
        match = [n for n in names if n.lower() == part.lower()]
        if not match:
            return None
        path = os.path.join(path, match[0])
    return path
