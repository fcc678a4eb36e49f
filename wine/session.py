"""One Wine session: a prefix, an Xvfb display, a wineserver, the programs
run in them, and the boxes answered on the way.

Every wait has a time-out. Everything started here is ended by its own
process id or through this prefix's own `wineserver -k`; nothing is left
running when the session closes.
"""

import contextlib
import os
import re
import select
import signal
import subprocess
import time

from . import winelog

# A process that faults in a loop: Wine's signal handler, given no trap number
# (qemu without the preload library's help, shim/noreplace.c), reports
# "Got unexpected trap -1" and the fault comes again. A log that grows by
# this much while its tail is nothing but such lines is a loop, ended at
# once rather than at the time-out (the log had grown to 700 MB by then).
LOOP_LINE = 'err:seh:segv_handler Got unexpected trap'
LOOP_GROWTH = 4 << 20

WINEDEBUG_TRACED = '+pid,+relay,trace+msgbox,+loaddll,fixme-all'
DLL_OVERRIDES = 'mscoree,mshtml=;winemenubuilder.exe=d'
# Wine's service manager, which starts its device drivers (the bus drivers
# that add HID devices while a session runs), the plug-and-play service and
# their hosts. Nothing setup.exe, vntrcapture.exe or the probes do needs a
# service: UpdateDriverForPlugAndPlayDevicesA copies and registers without
# one. Kept off, a session starts in a third of the time under qemu, whose
# emulation of Wine's threads lets these processes crash now and then and
# leave a call waiting on them; the base prefix is made with them.
NO_SERVICES = ';services.exe=d'


class SessionError(Exception):
    pass


# The signals that end a run on a user's or the system's request.
END_SIGNALS = (signal.SIGTERM, signal.SIGINT, signal.SIGHUP)


@contextlib.contextmanager
def signals_held():
    """Holds END_SIGNALS back during a clean-up, so that one that comes
    meanwhile cannot cut it short: it is delivered once the clean-up is
    done."""
    held = signal.pthread_sigmask(signal.SIG_BLOCK, END_SIGNALS)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, held)


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


def still_there(find, seconds):
    """What find() lists once it lists nothing, or after `seconds`: processes
    that are ending (a wineserver outlives its last client by a moment,
    longer under qemu) are given that time to go by themselves."""
    deadline = time.monotonic() + seconds
    left = find()
    while left and time.monotonic() < deadline:
        time.sleep(0.2)
        left = find()
    return left


def _cpu_ticks(pids):
    """{pid: user and system clock ticks used so far} of the processes that
    are still there."""
    ticks = {}
    for pid in pids:
        try:
            with open('/proc/%d/stat' % pid) as f:
                fields = f.read().rsplit(')', 1)[1].split()
        except OSError:
            continue
        ticks[pid] = int(fields[11]) + int(fields[12])
    return ticks


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
        except BaseException:  # a signal that ends the run too
            self.close()
            raise
        finally:
            os.close(read_fd)
        self.name = ':' + number.decode().strip()

    def env(self):
        return {'DISPLAY': self.name}

    def screenshot(self, path, window=None):
        """A picture of one window (an X window id), or of the whole screen."""
        subprocess.run(['import', '-display', self.name, '-window',
                        'root' if window is None else str(window), path],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            if not _wait(self.proc, 10):
                self.proc.kill()
                _wait(self.proc, 10)
        self._log.close()


def _looping(log_path, tail=256 << 10):
    """The repeated line when the end of the log is one faulting thread's
    LOOP_LINE over and over, else None."""
    with open(log_path, 'rb') as f:
        f.seek(max(0, os.path.getsize(log_path) - tail))
        lines = f.read().decode('utf-8', 'replace').split('\n')[1:-1]
    if len(lines) > 1000 and len(set(lines)) == 1 and LOOP_LINE in lines[0]:
        return lines[0]
    return None


class _BoxLines:
    """The boxes of one program as its log shows them so far, read as the
    log grows: how many it has shown (trace+msgbox's MSGBOX_OnInit, written
    before a box appears) and how many of its MessageBoxA calls have
    returned (the relay log's Ret line)."""

    def __init__(self, log_path, exe_name):
        self.path, self.exe_name = log_path, exe_name
        self.offset, self.pid, self.shown, self.returned = 0, None, 0, 0
        self._partial = b''

    def read(self):
        with open(self.path, 'rb') as f:
            f.seek(self.offset)
            data = self._partial + f.read()
        self.offset += len(data) - len(self._partial)
        lines = data.split(b'\n')
        self._partial = lines.pop()
        for raw in lines:
            line = raw.decode('utf-8', 'replace')
            if self.pid is None:
                load = winelog.WineLog(line).module('\\' + self.exe_name)
                if load:
                    self.pid = load[0]
                continue
            if not re.search(r'(?<![0-9A-Fa-f:])%04x:[0-9a-f]{4,8}:' % self.pid, line):
                continue
            if 'trace:msgbox:MSGBOX_OnInit' in line:
                self.shown += 1
            elif 'Ret  user32.MessageBoxA()' in line:
                self.returned += 1


class RunResult:
    def __init__(self):
        self.exit_code = None
        self.timed_out = False
        self.stalled = False
        self.looped = False  # a Wine process faulted in a loop (see LOOP_LINE)
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

    def __init__(self, prefix, workdir, mode, preload=None, tag=None, env=None, services=False):
        self.prefix = os.path.abspath(prefix)
        self.services = services
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
        self._root = None  # the display's root window (_activate)

    # -- environment --------------------------------------------------------

    def env(self, debug='-all', extra=None):
        env = tagged_env(self.tag)
        for name in ('WINEDEBUG', 'WINEDLLOVERRIDES', 'WINELOADER', 'WINESERVER', 'LD_PRELOAD',
                     'LANGUAGE', 'LC_MESSAGES', 'LC_CTYPE'):
            env.pop(name, None)
        env.update({'WINEPREFIX': self.prefix, 'WINEDEBUG': debug,
                    'WINEDLLOVERRIDES': DLL_OVERRIDES + ('' if self.services else NO_SERVICES),
                    'LC_ALL': 'C', 'LANG': 'C', 'TZ': 'UTC'})
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

    def keep(self, keeper):
        """Starts `keeper` (helpers/keeper.c), which boots the session while
        the next program is readied and holds it booted until the session
        ends: without it each program that starts when no other runs pays
        for a boot of its own. Ended with the session (wineserver -k), like
        every Wine process."""
        with open(os.path.join(self.workdir, 'keeper.log'), 'wb') as log:
            subprocess.Popen(['wine', keeper], cwd=self.prefix, env=self.env(), stdout=log,
                             stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                             start_new_session=True)

    def close(self):
        """Ends the prefix's server (which saves the registry) and every
        process that is still left, then the display. A signal that ends
        the run (END_SIGNALS) waits until this is done."""
        with signals_held():
            self._close()

    def _close(self):
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
        for pid in still_there(lambda: processes_of_prefix(self.prefix), 10):
            self.notes.append('process %d of the prefix still running; killed' % pid)
            _kill(pid)
        if self.display is not None:
            self.display.close()
            self.display = None

    def settle(self, quiet=2.0, timeout=60):
        """Waits until Wine's own processes of this prefix (its services,
        device drivers and desktop, which go on with their start-up work
        after a short program has ended: registering devices, rewriting
        keys) have used no processor time for `quiet` seconds; returns
        whether they did within `timeout` seconds."""
        deadline = time.monotonic() + self.timeout(timeout)
        last, since = None, time.monotonic()
        while time.monotonic() < deadline:
            pids = processes_of_prefix(self.prefix)
            if self.server is not None:
                pids.append(self.server.pid)
            used = _cpu_ticks(pids)
            now = time.monotonic()
            if used != last:
                last, since = used, now
            elif now - since >= quiet:
                return True
            time.sleep(0.25)
        self.notes.append('Wine did not settle within %ds' % self.timeout(timeout))
        return False

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

    def _xdotool(self, *args):
        subprocess.run(['xdotool'] + list(args), env=self.env(), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=30)

    def run_boxes(self, exe, cwd, decide, name='setup', timeout=120, stall=30, max_boxes=12,
                  stdout=True):
        """Runs a GUI program and answers its boxes.

        decide(index, text, box_type) returns the xdotool keys to send for the
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
        follow = _BoxLines(log_path, exe_name)
        with open(out_path if stdout else os.devnull, 'wb') as out, open(log_path, 'wb') as err:
            if not stdout:
                open(out_path, 'wb').close()
            proc = subprocess.Popen(['wine', exe], cwd=cwd, env=self.env(WINEDEBUG_TRACED),
                                    stdout=out, stderr=err, stdin=subprocess.DEVNULL,
                                    start_new_session=True)
            started = time.monotonic()
            deadline = started + self.timeout(timeout)
            last_size, last_change, looked = -1, started, 0
            while proc.poll() is None:
                now = time.monotonic()
                size = os.path.getsize(log_path) + os.path.getsize(out_path)
                if size != last_size:
                    last_size, last_change = size, now
                if size - looked > LOOP_GROWTH:
                    looked = size
                    looping = _looping(log_path)
                    if looping:
                        result.looped = True
                        result.problems.append('a Wine process faulted in a loop: %r' % looping)
                        break
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
                follow.read()
                if follow.shown <= len(result.shots):  # no new box yet
                    time.sleep(0.1)
                    continue
                index = len(result.shots)
                if index >= max_boxes:
                    result.problems.append('more than %d boxes' % max_boxes)
                    break
                window = self._visible_box(exe_name, answered)
                if window is None:
                    continue  # not shown yet, or the program ended: the loop looks again
                # The box as its user sees it: active, painted, and alone (not
                # the whole screen).
                self._activate(window)
                time.sleep(0.3 if self.mode.name == 'native' else 0.8)
                shot = os.path.join(self.workdir, '%s-box%d.png' % (name, index + 1))
                self.display.screenshot(shot, window)
                text, box_type = self._box_from_log(log_path, exe_name, index)
                result.shots.append((shot, text))
                result.times.append(time.monotonic() - started)
                key = decide(index, text, box_type)
                if key is None:
                    result.no_answer = True
                    break
                result.answers.append(key)
                self._answer(window, key, proc, follow, index)
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

    def _activate(self, window):
        """Makes a window Wine's active one, its title bar drawn active. A
        new box already has the X focus but is not active: Wine activates a
        window when the X focus arrives (FocusIn, with UseTakeFocus off, as
        the prefix has it: no window manager hands the focus on), so the
        focus goes to the root window and back."""
        if self._root is None:
            p = subprocess.run(['xdotool', 'search', '--maxdepth', '0', '--name', ''],
                               env=self.env(), stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, timeout=30)
            self._root = (p.stdout.split() or [b''])[0].decode()
        if self._root:
            self._xdotool('windowfocus', '--sync', self._root)
        self._xdotool('windowfocus', '--sync', str(window))

    def _visible_box(self, exe_name, answered, wait=10):
        """A box of the program that is shown and not answered yet, once
        one is (None after `wait` seconds): Wine names each window's class
        (WM_CLASS) after the program's file."""
        try:
            p = subprocess.run(['xdotool', 'search', '--sync', '--onlyvisible', '--classname',
                                '^%s$' % re.escape(exe_name)], env=self.env(),
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                               timeout=self.timeout(wait))
        except subprocess.TimeoutExpired:
            return None
        windows = [int(w) for w in p.stdout.split() if int(w) not in answered]
        return windows[0] if windows else None

    def _answer(self, window, key, proc, follow, index):
        """Sends `key` to the box and waits until its MessageBoxA call has
        returned (the relay log's Ret line) or the program has ended."""
        for attempt in range(3):
            self._xdotool('windowfocus', '--sync', str(window), 'key', *key.split())
            deadline = time.monotonic() + self.timeout(5)
            while time.monotonic() < deadline:
                follow.read()
                if follow.returned > index or proc.poll() is not None:
                    return
                time.sleep(0.1)
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
