"""One Wine session: a prefix, an Xvfb display, a wineserver, the programs
run in them, and the boxes answered on the way.

Every wait has a time-out. Everything started here is ended by its own
process id or through this prefix's own `wineserver -k`; nothing is left
running when the session closes.
"""

import os
import select
import signal
import subprocess
import time

from . import winelog

BOX_TITLE = 'Vantor CardBus Controller Setup Utility'
WINEDEBUG_TRACED = '+pid,+relay,trace+msgbox,+loaddll,fixme-all'
DLL_OVERRIDES = 'mscoree,mshtml=;winemenubuilder.exe=d'


class SessionError(Exception):
    pass


def _kill(pid, sig=signal.SIGKILL):
    try:
        os.kill(pid, sig)
    except ProcessLookupError:
        pass


def _wait(proc, timeout):
    try:
        proc.wait(timeout=timeout)
        return True
    except subprocess.TimeoutExpired:
        return False


TAG = 'VNTR_E2E_TAG'


def _processes_with(variable, value):
    """(pid, command line) of processes whose environment holds
    variable=value exactly (children inherit it, emulated or not)."""
    wanted = b'\0' + os.fsencode('%s=%s' % (variable, value)) + b'\0'
    found = []
    for entry in os.listdir('/proc'):
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        try:
            with open('/proc/%s/environ' % entry, 'rb') as f:
                environ = b'\0' + f.read() + b'\0'
            with open('/proc/%s/cmdline' % entry, 'rb') as f:
                command = f.read().replace(b'\0', b' ').decode('utf-8', 'replace').strip()
        except OSError:
            continue
        if wanted in environ:
            found.append((int(entry), command))
    return found


def processes_of_prefix(prefix):
    """Process ids of every Wine process of this prefix."""
    return [pid for pid, _ in _processes_with('WINEPREFIX', os.path.abspath(prefix))]


def processes_of_prefix_tree(workdir):
    """Every process the harness started for this work directory, Xvfb
    included: all of them carry the tag."""
    return _processes_with(TAG, os.path.abspath(workdir))


def end_processes(pids):
    for pid in pids:
        _kill(pid)


def tagged_env(workdir):
    return dict(os.environ, **{TAG: os.path.abspath(workdir)})


class Display:
    """A private Xvfb display."""

    def __init__(self, log_path, timeout, env=None):
        read_fd, write_fd = os.pipe()
        self._log = open(log_path, 'wb')
        self.proc = subprocess.Popen(
            ['Xvfb', '-displayfd', str(write_fd), '-screen', '0', '800x600x24', '-nolisten', 'tcp',
             '-noreset'], pass_fds=(write_fd,), stdout=self._log, stderr=subprocess.STDOUT,
            start_new_session=True, env=env)
        os.close(write_fd)
        deadline = time.monotonic() + timeout
        number = b''
        try:
            while not number.endswith(b'\n'):
                if time.monotonic() > deadline or self.proc.poll() is not None:
                    raise SessionError('Xvfb did not start (see %s)' % log_path)
                ready, _, _ = select.select([read_fd], [], [], 0.2)
                if ready:
                    chunk = os.read(read_fd, 16)
                    if not chunk:
                        raise SessionError('Xvfb did not start (see %s)' % log_path)
                    number += chunk
        except Exception:
            self.close()
            raise
        finally:
            os.close(read_fd)
        self.name = ':' + number.decode().strip()

    def env(self):
        return {'DISPLAY': self.name}

    def screenshot(self, path):
        subprocess.run(['import', '-display', self.name, '-window', 'root', path],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            if not _wait(self.proc, 10):
                self.proc.kill()
                _wait(self.proc, 10)
        self._log.close()


class RunResult:
    def __init__(self):
        self.exit_code = None
        self.timed_out = False
        self.stalled = False
        self.stdout = b''
        self.log_text = ''
        self.log = None
        self.shots = []  # (path, box text from the log or None)
        self.answers = []  # keys sent
        self.no_answer = False  # a Yes/No box found no answer: the program was ended
        self.times = []  # seconds from the start to each box, and to the end
        self.problems = []


class Session:
    """A prefix with its display and its own wineserver."""

    def __init__(self, prefix, workdir, mode, preload=None, tag=None, env=None):
        self.prefix = os.path.abspath(prefix)
        # Variables for every Wine process of the session (None removes one).
        self.extra_env = dict(env or {})
        self.tag = os.path.abspath(tag or workdir)
        self.workdir = workdir
        self.mode = mode
        self.preload = preload
        self.notes = []
        self.display = None
        self.server = None
        self._server_log = None

    # -- environment --------------------------------------------------------

    def env(self, debug='-all', extra=None):
        env = tagged_env(self.tag)
        for name in ('WINEDEBUG', 'WINEDLLOVERRIDES', 'WINELOADER', 'WINESERVER', 'LD_PRELOAD',
                     'LANGUAGE', 'LC_MESSAGES', 'LC_CTYPE'):
            env.pop(name, None)
        env.update({'WINEPREFIX': self.prefix, 'WINEDEBUG': debug,
                    'WINEDLLOVERRIDES': DLL_OVERRIDES, 'LC_ALL': 'C', 'LANG': 'C', 'TZ': 'UTC'})
        if self.display:
            env.update(self.display.env())
        if self.preload:
            env['LD_PRELOAD'] = self.preload
        for name, value in self.extra_env.items():
            if value is None:
                env.pop(name, None)
            else:
                env[name] = value
        env.update(extra or {})
        return env

    def timeout(self, seconds):
        return seconds * self.mode.slowdown

    # -- life cycle ---------------------------------------------------------

    def start(self, with_display=True):
        if with_display:
            self.display = Display(os.path.join(self.workdir, 'xvfb.log'), self.timeout(20),
                                   tagged_env(self.tag))
        # Our own server, in the foreground so that it is our child, kept
        # alive between the programs of the session: a new server would run
        # wineboot --init again, which can stall once devices are registered.
        self._server_log = open(os.path.join(self.workdir, 'wineserver.log'), 'wb')
        self.server = subprocess.Popen(['wineserver', '-f', '-p'], env=self.env(),
                                       stdout=self._server_log, stderr=subprocess.STDOUT,
                                       start_new_session=True)
        time.sleep(0.2)
        if self.server.poll() is not None:
            raise SessionError('wineserver ended at start with code %s (see %s)' %
                               (self.server.returncode, self._server_log.name))
        return self

    def close(self):
        """Ends the prefix's server (which saves the registry) and every
        process that is still left, then the display."""
        if self.server is not None:
            try:
                subprocess.run(['wineserver', '-k'], env=self.env(), stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, timeout=self.timeout(30))
            except subprocess.TimeoutExpired:
                self.notes.append('wineserver -k did not return')
            if not _wait(self.server, self.timeout(30)):
                self.notes.append('wineserver did not end after -k; killed')
                _kill(self.server.pid)
                _wait(self.server, 10)
            self.server = None
            self._server_log.close()
        deadline = time.monotonic() + 10
        while True:
            left = processes_of_prefix(self.prefix)
            if not left:
                break
            if time.monotonic() > deadline:
                for pid in left:
                    self.notes.append('process %d of the prefix still running; killed' % pid)
                    _kill(pid)
                break
            time.sleep(0.2)
        if self.display is not None:
            self.display.close()
            self.display = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    # -- programs -----------------------------------------------------------

    def run(self, args, cwd=None, timeout=60, name='cmd'):
        """Runs a console program in the prefix without boxes; returns
        (exit code, stdout text). Output and errors go to <name>.out/.err."""
        out_path = os.path.join(self.workdir, name + '.out')
        err_path = os.path.join(self.workdir, name + '.err')
        with open(out_path, 'wb') as out, open(err_path, 'wb') as err:
            proc = subprocess.Popen(['wine'] + args, cwd=cwd or self.prefix, env=self.env(),
                                    stdout=out, stderr=err, stdin=subprocess.DEVNULL,
                                    start_new_session=True)
            if not _wait(proc, self.timeout(timeout)):
                _kill(proc.pid)
                _wait(proc, 10)
                raise SessionError('%s timed out after %ds (see %s)' % (
                    ' '.join(args), self.timeout(timeout), err_path))
        with open(out_path, 'rb') as f:
            return proc.returncode, f.read().decode('latin-1')

    def _find_boxes(self):
        p = subprocess.run(['xdotool', 'search', '--onlyvisible', '--name', '^%s$' % BOX_TITLE],
                           env=self.env(), stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                           timeout=30)
        return [int(w) for w in p.stdout.split()]

    def _xdotool(self, *args):
        subprocess.run(['xdotool'] + list(args), env=self.env(), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=30)

    def run_boxes(self, exe, cwd, decide, name='setup', timeout=120, stall=30, max_boxes=12,
                  stdout=True):
        """Runs a GUI program and answers its boxes.

        decide(index, text, box_type) returns the xdotool key to send for the
        box (text and box_type may be None when the log does not show them),
        or None when it has no answer: the program is then ended there.
        Each box is photographed before it is answered. A run whose output
        and log stay unchanged for `stall` seconds while no box is open has
        stopped making progress (a Wine helper it waits for may have died)
        and is ended. With stdout False the program's standard output goes
        to /dev/null.
        """
        result = RunResult()
        out_path = os.path.join(self.workdir, name + '.stdout')
        log_path = os.path.join(self.workdir, name + '.log')
        exe_name = os.path.basename(exe).lower()
        answered = set()
        with open(out_path if stdout else os.devnull, 'wb') as out, open(log_path, 'wb') as err:
            if not stdout:
                open(out_path, 'wb').close()
            proc = subprocess.Popen(['wine', exe], cwd=cwd, env=self.env(WINEDEBUG_TRACED),
                                    stdout=out, stderr=err, stdin=subprocess.DEVNULL,
                                    start_new_session=True)
            started = time.monotonic()
            deadline = started + self.timeout(timeout)
            last_size, last_change = -1, started
            while proc.poll() is None:
                now = time.monotonic()
                size = os.path.getsize(log_path) + os.path.getsize(out_path)
                if size != last_size:
                    last_size, last_change = size, now
                elif now - last_change > self.timeout(stall):
                    result.stalled = True
                    shot = os.path.join(self.workdir, '%s-stalled.png' % name)
                    self.display.screenshot(shot)
                    result.problems.append('%s made no progress for %ds (screen: %s)' % (
                        exe_name, self.timeout(stall), shot))
                    break
                if now > deadline:
                    result.timed_out = True
                    shot = os.path.join(self.workdir, '%s-timeout.png' % name)
                    self.display.screenshot(shot)
                    result.problems.append('%s did not end within %ds (screen: %s)' % (
                        exe_name, self.timeout(timeout), shot))
                    break
                boxes = [w for w in self._find_boxes() if w not in answered]
                if not boxes:
                    time.sleep(0.15)
                    continue
                window = boxes[0]
                # Let the box paint before the picture is taken.
                time.sleep(0.3 if self.mode.name == 'native' else 1.0)
                index = len(result.shots)
                if index >= max_boxes:
                    result.problems.append('more than %d boxes' % max_boxes)
                    break
                shot = os.path.join(self.workdir, '%s-box%d.png' % (name, index + 1))
                self.display.screenshot(shot)
                text, box_type = self._box_from_log(log_path, exe_name, index)
                result.shots.append((shot, text))
                result.times.append(time.monotonic() - started)
                key = decide(index, text, box_type)
                if key is None:
                    result.no_answer = True
                    break
                result.answers.append(key)
                self._answer(window, key)
                answered.add(window)
                last_change = time.monotonic()
            if proc.poll() is None:
                _kill(proc.pid)
                _wait(proc, 10)
        result.times.append(time.monotonic() - started)
        result.exit_code = proc.returncode
        with open(out_path, 'rb') as f:
            result.stdout = f.read()
        with open(log_path, 'rb') as f:
            result.log_text = f.read().decode('utf-8', 'replace')
        result.log = winelog.WineLog(result.log_text)
        return result

    def _answer(self, window, key):
        for attempt in range(3):
            self._xdotool('windowfocus', '--sync', str(window))
            self._xdotool('key', key)
            deadline = time.monotonic() + self.timeout(5)
            while time.monotonic() < deadline:
                if window not in self._find_boxes():
                    return
                time.sleep(0.15)
        raise SessionError('box %x did not close after %s' % (window, key))

    def _box_from_log(self, log_path, exe_name, index):
        """Text and type of the index-th box of the program, from the log so
        far: the type from the relayed MessageBoxA call, the text from
        trace+msgbox."""
        with open(log_path, 'rb') as f:
            log = winelog.WineLog(f.read().decode('utf-8', 'replace'))
        module = log.module('\\' + exe_name)
        pid = module[0] if module else None
        calls = [c for c in log.calls if c.func == 'MessageBoxA' and (pid is None or c.pid == pid)]
        texts = log.box_texts(pid) if pid is not None else []
        box_type = calls[index].arg(3) if index < len(calls) else None
        text = texts[index] if index < len(texts) else None
        return text, box_type
