"""How 32-bit Wine runs on this machine: natively, or under qemu-i386.

Some kernels refuse 32-bit ELF programs ("Exec format error"). There the
harness runs Wine under qemu-i386-static, registered as the binfmt_misc
handler for i386 ELF with the F flag (the interpreter is opened at
registration, so it also works inside other mount namespaces). qemu 7.2
treats MAP_FIXED_NOREPLACE as a hint, which Wine 8 cannot live with; the
preloaded library built from shim/noreplace.c restores the flag's meaning.

The registration is made in a binfmt_misc instance of our own, inside a user
and mount namespace (Linux 6.7 and later), so that nothing else on the
machine starts running emulated. Where such an instance cannot be mounted and
the kernel cannot run 32-bit programs anyway, the handler is registered in the
machine-wide instance.

VNTR_E2E_MODE=native|qemu forces a mode; the default (auto) takes native when
it works.
"""

import filecmp
import os
import shutil
import subprocess

from . import versions

WINE_LOADER = '/usr/lib/wine/wine'
QEMU = '/usr/bin/qemu-i386-static'
BINFMT_DIR = '/proc/sys/fs/binfmt_misc'
HANDLER_NAME = 'vntr-e2e-i386'
# i386 ELF executables and shared objects (e_type 2 or 3, e_machine 3).
I386_MAGIC = b'\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
I386_MASK = b'\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
IN_NAMESPACE = 'VNTR_E2E_IN_NAMESPACE'


class ModeError(Exception):
    """Neither way of running 32-bit Wine works here; the text says why."""


def _hexescape(data):
    return ''.join('\\x%02x' % b for b in data)


def registration_line():
    return ':%s:M::%s:%s:%s:F' % (HANDLER_NAME, _hexescape(I386_MAGIC), _hexescape(I386_MASK), QEMU)


def _run(args, timeout=30, env=None):
    try:
        p = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=timeout,
                           env=env)
        return p.returncode, p.stdout.decode('utf-8', 'replace')
    except OSError as e:
        return None, str(e)
    except subprocess.TimeoutExpired:
        return None, 'timed out after %ds' % timeout


def i386_handlers(directory=BINFMT_DIR):
    """Enabled handlers of the binfmt_misc instance this process sees that
    would take i386 ELF programs, as (name, interpreter, flags)."""
    found = []
    if not os.path.isdir(directory):
        return found
    for name in os.listdir(directory):
        if name in ('register', 'status'):
            continue
        try:
            with open(os.path.join(directory, name)) as f:
                lines = f.read().splitlines()
            enabled = bool(lines) and lines[0].strip() == 'enabled'
            fields = dict(line.split(' ', 1) for line in lines if ' ' in line)
        except OSError:
            continue
        magic = bytes.fromhex(fields.get('magic', ''))
        mask = bytes.fromhex(fields.get('mask', '')) or b'\xff' * len(magic)
        offset = int(fields.get('offset', '0'))
        if not enabled or offset != 0 or not magic:
            continue
        sample = I386_MAGIC[:len(magic)]
        if all((s & m) == (g & m) for s, g, m in zip(sample, magic, mask)):
            found.append((name, fields.get('interpreter', '?'), fields.get('flags:', '').strip()))
    return found


def _binfmt_mounted():
    return os.path.exists(os.path.join(BINFMT_DIR, 'register'))


def mount_binfmt():
    if not _binfmt_mounted():
        code, out = _run(['mount', '-t', 'binfmt_misc', 'binfmt_misc', BINFMT_DIR])
        if code != 0:
            raise ModeError('cannot mount binfmt_misc on %s: %s' % (BINFMT_DIR, out.strip()))


def register_qemu():
    """Registers qemu-i386-static for i386 ELF in the binfmt_misc instance
    this process sees (mounting it first if needed)."""
    if not os.access(QEMU, os.X_OK):
        raise ModeError('%s is missing: install qemu-user-static' % QEMU)
    mount_binfmt()
    entry = os.path.join(BINFMT_DIR, HANDLER_NAME)
    if os.path.exists(entry):
        return
    try:
        with open(os.path.join(BINFMT_DIR, 'register'), 'wb') as f:
            f.write(registration_line().encode('latin-1'))
    except OSError as e:
        raise ModeError('cannot register %s with binfmt_misc: %s' % (QEMU, e))


def native_32bit_works():
    """True when the kernel itself runs the 32-bit Wine loader: no binfmt
    handler for i386 is active and the loader starts."""
    if i386_handlers():
        return False, 'an i386 binfmt_misc handler is active (%s)' % ', '.join(
            h[0] for h in i386_handlers())
    if not os.access(WINE_LOADER, os.X_OK):
        return False, '%s is missing: install wine32' % WINE_LOADER
    code, out = _run([WINE_LOADER, '--version'])
    if code == 0 and out.startswith('wine-'):
        return True, out.strip()
    return False, '%s --version: %s' % (WINE_LOADER, out.strip() or 'exit code %s' % code)


def namespace_binfmt_works():
    """True when a private binfmt_misc instance can be mounted in a new user
    and mount namespace."""
    if not shutil.which('unshare'):
        return False, 'unshare is missing (util-linux)'
    code, out = _run(['unshare', '--user', '--map-root-user', '--mount', 'sh', '-c',
                      'mount -t binfmt_misc binfmt_misc %s && test -e %s/register' %
                      (BINFMT_DIR, BINFMT_DIR)])
    if code == 0:
        return True, ''
    return False, out.strip() or 'exit code %s' % code


class Mode:
    """The chosen way: name is 'native' or 'qemu'; for qemu, whether the
    harness must re-enter itself in a private namespace first."""

    def __init__(self, name, namespace, reason):
        self.name = name
        self.namespace = namespace
        self.reason = reason
        # qemu not the version the harness was checked with (versions.py).
        self.warnings = []
        if name == 'qemu':
            said = versions.warning('qemu', versions.qemu_version(QEMU))
            self.warnings += [said] if said else []

    @property
    def slowdown(self):
        """Factor for every time-out."""
        return 1 if self.name == 'native' else 4

    def describe(self):
        where = ' in a private binfmt_misc namespace' if self.namespace else ''
        return '%s%s (%s)' % (self.name, where, self.reason)


def detect(requested=None):
    """Chooses the mode, or raises ModeError with the reasons."""
    requested = (requested or os.environ.get('VNTR_E2E_MODE') or 'auto').lower()
    if requested not in ('auto', 'native', 'qemu'):
        raise ModeError('VNTR_E2E_MODE=%s: expected auto, native or qemu' % requested)
    if os.environ.get(IN_NAMESPACE):
        return Mode('qemu', False, 'inside the harness namespace')

    native, native_why = native_32bit_works()
    if requested == 'native':
        if native:
            return Mode('native', False, native_why)
        raise ModeError('native mode requested, but 32-bit Wine does not run: ' + native_why)
    if requested == 'auto' and native:
        return Mode('native', False, native_why)

    reasons = [] if requested == 'qemu' else ['native: ' + native_why]
    if not os.access(QEMU, os.X_OK):
        raise ModeError('; '.join(reasons + ['qemu: %s is missing (install qemu-user-static)' % QEMU]))
    ns, ns_why = namespace_binfmt_works()
    if ns:
        return Mode('qemu', True, 'forced' if requested == 'qemu' else native_why)
    # No private instance: only where the machine cannot run 32-bit code
    # natively is a machine-wide handler harmless.
    if native:
        raise ModeError('qemu mode requested, but a private binfmt_misc instance cannot be '
                        'mounted (%s), and registering qemu machine-wide would make every '
                        '32-bit program on this machine run emulated' % ns_why)
    return Mode('qemu', False, '%s; machine-wide binfmt_misc (%s)' % (native_why, ns_why))


def enter_namespace_if_needed(mode, argv):
    """In qemu mode with a private instance, runs argv again inside a new
    user and mount namespace and returns its exit code; else None."""
    if mode.name != 'qemu' or not mode.namespace or os.environ.get(IN_NAMESPACE):
        return None
    env = dict(os.environ)
    env[IN_NAMESPACE] = '1'
    env['VNTR_E2E_MODE'] = 'qemu'
    p = subprocess.Popen(['unshare', '--user', '--map-root-user', '--mount', '--propagation',
                          'private'] + argv, env=env)
    try:
        return p.wait()
    except BaseException:
        # Stopped by a signal: the process inside ends its own run and
        # removes what it made, given the time to.
        p.terminate()
        try:
            p.wait(timeout=120)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()
        raise


def setup_emulation():
    """Makes 32-bit programs start under qemu in this process's binfmt_misc
    instance and checks that the Wine loader starts."""
    register_qemu()
    code, out = _run([WINE_LOADER, '--version'], timeout=120)
    if code != 0 or not out.startswith('wine-'):
        raise ModeError('%s does not start under %s: %s' % (WINE_LOADER, QEMU, out.strip()))


def preload_dir_layout(shim32, shim64, directory):
    """Lays out the preload library under every name ld.so may expand
    $PLATFORM to, so one LD_PRELOAD value serves 32-bit and 64-bit programs
    (the 64-bit library is empty: the wineserver wrapper is a shell script)."""
    for platform, source in (('i386', shim32), ('i486', shim32), ('i586', shim32),
                             ('i686', shim32), ('x86_64', shim64)):
        target_dir = os.path.join(directory, platform)
        os.makedirs(target_dir, exist_ok=True)
        target = os.path.join(target_dir, 'libvntrnoreplace.so')
        if not os.path.exists(target) or not filecmp.cmp(source, target, shallow=False):
            # Replaced whole: another run may be loading the old one.
            shutil.copyfile(source, target + '.%d' % os.getpid())
            os.replace(target + '.%d' % os.getpid(), target)
    return os.path.join(directory, '$PLATFORM', 'libvntrnoreplace.so')


def enter(mode, config, argv):
    """Readies this process to run 32-bit Wine the way `mode` says. In qemu
    mode with a private binfmt_misc instance, runs argv again inside a new
    namespace and returns (its exit code, None); otherwise sets emulation up
    where needed and returns (None, the LD_PRELOAD value, or None when Wine
    runs natively). `config` is the build's e2e configuration (config.Config)."""
    code = enter_namespace_if_needed(mode, argv)
    if code is not None:
        return code, None
    if mode.name != 'qemu':
        return None, None
    setup_emulation()
    return None, preload_dir_layout(config.tools['shim32'], config.tools['shim64'],
                                    os.path.join(config.work, 'preload'))
