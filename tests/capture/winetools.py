"""Wine for the capture program's Wine tests and benchmark: snapshots of a
prefix's registry and files to compare (tests/capture/wine_capture.py), and
for the benchmark (tests/bench/capture_wine.py, run by hand, natively) a
scratch 32-bit prefix with its server kept running and commands whose
output goes through files.
"""

import hashlib
import os
import re
import shutil
import subprocess
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


class WineError(Exception):
    pass


def wine_env(prefix):
    env = dict(os.environ, WINEPREFIX=prefix, WINEARCH='win32', WINEDEBUG='-all')
    env['WINEDLLOVERRIDES'] = 'mscoree,mshtml='  # no installer dialogs
    env.pop('DISPLAY', None)  # the capture shows nothing
    return env


def run(args, env, cwd=None, timeout=1800):
    """Runs a command; (CompletedProcess, seconds). The output goes through
    files, not pipes: Wine's background services inherit the handles and
    would hold a pipe open."""
    started = time.monotonic()
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        code = subprocess.run(args, env=env, cwd=cwd, stdout=out, stderr=err,
                              timeout=timeout).returncode
        out.seek(0)
        err.seek(0)
        p = subprocess.CompletedProcess(args, code, out.read(), err.read())
    return p, time.monotonic() - started


def check(p, what):
    if p.returncode:
        raise WineError('%s failed (%d): %s %s' % (what, p.returncode,
                                                   p.stdout.decode(errors='replace')[-500:],
                                                   p.stderr.decode(errors='replace')[-500:]))
    return p


class Prefix:
    """A Wine prefix in `path`, made afresh (or copied from `base`), with a
    server of its own while it is used: `with Prefix(...) as p:`."""

    def __init__(self, path, base=None):
        self.path = path
        self.env = wine_env(path)
        self.server = None
        shutil.rmtree(path, ignore_errors=True)
        if base:
            shutil.copytree(base, path, symlinks=True)
        else:
            os.makedirs(path)
            check(run(['wineboot', '--init'], self.env)[0], 'wineboot --init')
            self.stop()

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    def start(self):
        if not self.server:
            self.server = subprocess.Popen(['wineserver', '--persistent', '--foreground'],
                                           env=self.env, stdout=subprocess.DEVNULL,
                                           stderr=subprocess.DEVNULL)

    def stop(self):
        """Ends every process of the prefix; the server writes the registry
        out as it goes."""
        subprocess.run(['wineserver', '-k'], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=120)
        if not self.server:
            subprocess.run(['wineserver', '-w'], env=self.env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=120)
            return
        # Our own server: -k may have come before it was listening. It
        # saves the registry when it is told to end.
        try:
            self.server.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.server.terminate()
            try:
                self.server.wait(timeout=60)
            except subprocess.TimeoutExpired:
                self.server.kill()
                self.server.wait()
        self.server = None

    def wine(self, args, cwd=None, what=None):
        p, seconds = run(['wine'] + args, self.env, cwd=cwd)
        return check(p, what or ' '.join(args[:1])), seconds

    def version(self, name):
        self.wine(['reg', 'add', r'HKCU\Software\Wine', '/v', 'Version', '/d', name, '/f'])

    def import_reg(self, work, lines):
        """Imports REGEDIT4 lines (without the header)."""
        path = os.path.join(work, 'import.reg')
        with open(path, 'w', newline='\r\n', encoding='latin-1') as f:
            f.write('\n'.join(['REGEDIT4', ''] + lines + ['']))
        self.wine(['regedit', '/S', 'Z:' + path.replace('/', '\\')], what='regedit')

    def drive_c(self, *parts):
        return os.path.join(self.path, 'drive_c', *parts)


def registry(path):
    """The keys of a Wine registry file and their values: {key: [value
    lines]}. The time stamps of keys are left out: Wine writes them anew."""
    keys, current = {}, None
    with open(path, encoding='utf-8', errors='surrogateescape') as f:
        text = f.read().replace('\\\n', '')
    for line in text.split('\n'):
        header = re.match(r'^\[(.*)\]( \d+)?$', line)
        if header:
            current = keys.setdefault(header.group(1), [])
        elif current is not None and line and not line.startswith('#'):
            current.append(line)
    return {k: sorted(v) for k, v in keys.items()}


def snapshot(prefix_path):
    """The prefix's registry (by file) and every other file with its size,
    content digest and modification time."""
    regs, files = {}, {}
    for folder, dirs, names in os.walk(prefix_path):
        dirs.sort()
        for name in names:
            full = os.path.join(folder, name)
            rel = os.path.relpath(full, prefix_path)
            if os.path.islink(full):
                files[rel] = ('link', os.readlink(full))
            elif name.endswith('.reg') and folder == prefix_path:
                regs[rel] = registry(full)
            else:
                st = os.stat(full)
                with open(full, 'rb') as f:
                    digest = hashlib.sha256(f.read()).hexdigest()
                files[rel] = (st.st_size, digest, st.st_mtime_ns)
        for d in dirs:
            files[os.path.relpath(os.path.join(folder, d), prefix_path) + '/'] = ('dir',)
    return regs, files


def differences(before, after):
    """Lines naming every key, value and file that differs."""
    out = []
    for name in sorted(set(before[0]) | set(after[0])):
        a, b = before[0].get(name, {}), after[0].get(name, {})
        for key in sorted(set(a) | set(b)):
            if a.get(key) != b.get(key):
                out.append('%s [%s]: %s -> %s' % (name, key, a.get(key), b.get(key)))
    files_a, files_b = before[1], after[1]
    for rel in sorted(set(files_a) | set(files_b)):
        if files_a.get(rel) != files_b.get(rel):
            out.append('%s: %s -> %s' % (rel, files_a.get(rel), files_b.get(rel)))
    return out
