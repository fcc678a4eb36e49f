"""Runs setup.exe on a realized machine under Wine and reports the run in
the simulator's terms: boxes, calls with their arguments and results, the
trace, the changes, the state setup.exe could have changed, the exit code
and the outcome."""

import hashlib
import json
import os
import re
import shutil
import time

from . import checks, regfile, winelog
from .prefix import PrefixSetup, copy_prefix, find_ci, wine_device_ids
from .realize import CURRENT_VERSION, Realizer
from .session import Session

# The calls the relay log shows (RelayInclude of the base prefix), in the
# shape the simulator reports them.
ANSWERS = {1: 'OK', 6: 'Yes', 7: 'No'}
ENUM_PCI = 'Enum\\PCI'
# The 9x builds the program has a package for: 98, 98 SE, ME.
LEGACY_BUILDS = (1998, 2222, 3000)
REG_TYPES = {0: 'REG_NONE', 1: 'REG_SZ', 2: 'REG_EXPAND_SZ', 3: 'REG_BINARY', 4: 'REG_DWORD',
             7: 'REG_MULTI_SZ'}


class Retry(Exception):
    """The attempt failed for a reason of Wine's, not of the program."""


def _string(call, i):
    value = call.arg(i) if i < len(call.args) else None
    return None if value == 0 else value


def _number(call, i):
    return call.args[i][0] if i < len(call.args) else None


def event_of(call):
    """A relayed call as {call, args, result}. What the relay log cannot show
    (a key handle's path, data behind a pointer) is None."""
    f, r = call.func, call.retval
    if f == 'MessageBoxA':
        args = {'owner': _number(call, 0), 'text': _string(call, 1), 'caption': _string(call, 2),
                'type': _number(call, 3)}
        result = r
    elif f == 'LoadLibraryA':
        args = {'name': _string(call, 0)}
        result = None if not r else '0x%08x' % r
    elif f == 'CopyFileA':
        args = {'from': _string(call, 0), 'to': _string(call, 1),
                'fail_if_exists': _number(call, 2)}
        result = None if r is None else bool(r)
    elif f == 'CreateDirectoryA':
        args = {'path': _string(call, 0), 'security': _number(call, 1) or None}
        result = None if r is None else bool(r)
    elif f == 'RegSetValueExA':
        args = {'key': None, 'name': _string(call, 1), 'reserved': _number(call, 2),
                'type': _number(call, 3), 'data': None, 'size': _number(call, 5)}
        result = r
    elif f == 'RegDeleteKeyA':
        args = {'key': None, 'subkey': _string(call, 1)}
        result = r
    elif f == 'UpdateDriverForPlugAndPlayDevicesA':
        args = {'parent': _number(call, 0), 'hardware_id': _string(call, 1),
                'inf': _string(call, 2), 'flags': _number(call, 3),
                'reboot': None if not _number(call, 4) else 'given'}
        result = None if r is None else bool(r)
    elif f == 'ExitWindowsEx':
        args = {'flags': _number(call, 0), 'reserved': _number(call, 1)}
        result = None if r is None else bool(r)
    else:
        args = {'raw': [s if s is not None else v for v, s in call.args]}
        result = r
    return {'call': f, 'args': args, 'result': result}


def message_table(data):
    """The five messages a message file gives, read as the program reads it
    (text mode: CR LF as LF, a lone CR kept, Ctrl-Z ends the file, pieces of
    at most 255 bytes that keep their line end); None for the built-in
    English table."""
    if data is None:
        return list(checks.MESSAGES)
    text = data.split(b'\x1a', 1)[0].replace(b'\r\n', b'\n').decode('latin-1')
    entries = []
    while text and len(entries) < 5:
        end = text.find('\n')
        end = len(text) if end < 0 else end + 1
        end = min(end, 255)
        entries.append(text[:end])
        text = text[end:]
    return entries + [None] * (5 - len(entries))


def machine_messages(dump):
    """The message table the program reads on this machine."""
    name = '%s\\MultiLang\\%04x.dat' % (dump['current_dir'].rstrip('\\'), dump.get('locale', 0x409))
    for f in dump.get('files', []):
        if f['path'].lower() == name.lower() and not f.get('dir'):
            return message_table(bytes.fromhex(f.get('hex', '')))
    return message_table(None)


def outcome_of(events, dump):
    """declined, restart, installed, staged, no-controller, failed or
    nothing, from the calls and the message of the last box."""
    boxes = [e for e in events if e['call'] == 'MessageBoxA']
    if not boxes or boxes[0]['result'] == 7:
        return 'declined' if boxes else 'nothing'
    if any(e['call'] == 'ExitWindowsEx' for e in events):
        return 'restart'
    platform, build = dump['os']['platform'], dump['os']['build_number'] & 0xFFFF
    if platform not in (1, 2) or (platform == 1 and build not in LEGACY_BUILDS):
        return 'nothing'
    if len(boxes) == 1:
        return 'nothing'
    messages = machine_messages(dump)
    text = boxes[-1]['args']['text'] or ''
    index = messages.index(text) if text in messages else None
    if index == checks.SUCCESS:
        return 'installed' if dump['os']['platform'] == 2 else 'staged'
    if index == checks.NO_CONTROLLER:
        return 'no-controller'
    return 'failed'


# -- state ----------------------------------------------------------------------

def inf_state(prefix):
    """{path below the Windows directory, lower case: 'dir' or a digest} of
    everything under C:\\windows\\INF."""
    root = os.path.join(prefix, 'drive_c', 'windows')
    inf = find_ci(root, 'inf')
    state = {}
    if not inf:
        return state
    for dirpath, dirnames, filenames in os.walk(inf):
        rel = os.path.relpath(dirpath, root).replace('/', '\\').lower()
        state[rel] = 'dir'
        for name in filenames:
            if name.lower().endswith('.pnf'):
                continue  # setupapi's precompiled INFs, written whenever Wine reads one
            with open(os.path.join(dirpath, name), 'rb') as f:
                state[rel + '\\' + name.lower()] = hashlib.sha1(f.read()).hexdigest()
    return state


def registry_state(prefix):
    """OtherDevicePath as (type, text up to its NUL) or None, and every key
    below Enum\\PCI."""
    system = regfile.RegistryFile(os.path.join(prefix, 'system.reg'))
    value = system.value(CURRENT_VERSION, 'OtherDevicePath')
    other = None
    if value is not None:
        try:
            other = [value.kind, value.text()]
        except ValueError:
            other = [value.kind, value.data.hex() if isinstance(value.data, bytes) else value.data]
    keys = {}
    prefix_lc = ENUM_PCI.lower() + '\\'
    for section in system.sections:
        if section.name.lower().startswith(prefix_lc):
            parts = section.name[len(prefix_lc):].split('\\')
            for i in range(1, len(parts) + 1):
                key = '\\'.join(parts[:i])
                keys.setdefault(key.lower(), key)
    return other, sorted(keys.values(), key=str.lower)


def changed(event):
    """Whether a call changed the machine (the simulator's change events)."""
    call, ok = event['call'], event['result']
    if call in ('CopyFileA', 'CreateDirectoryA', 'UpdateDriverForPlugAndPlayDevicesA'):
        return bool(ok)
    if call in ('RegSetValueExA', 'RegDeleteKeyA'):
        return ok == 0
    return call == 'ExitWindowsEx'


def changes_of(events, regs_before, regs_after):
    """The run's changes in the simulator's change-line form. The keys a
    run deleted come from the registry (the relay log shows no key handle's
    path), in the place of its first deletion."""
    gone = set(regs_before[1]) - set(regs_after[1])  # names keep their case in Wine
    deleted = ['regdel HKLM\\%s\\%s' % (ENUM_PCI, key) for key in sorted(gone, key=str.lower)
               if '\\' not in key or key.rsplit('\\', 1)[0] not in gone]
    lines = []
    for e in events:
        a, ok = e['args'], e['result']
        if e['call'] == 'CopyFileA' and ok:
            lines.append('copy %s -> %s' % (a['from'], a['to']))
        elif e['call'] == 'CreateDirectoryA' and ok:
            lines.append('mkdir %s' % a['path'])
        elif e['call'] == 'RegSetValueExA' and ok == 0 and regs_after[0] is not None:
            # The relay log shows no data: the value as the registry holds it.
            kind = REG_TYPES.get(a['type'], 'type %s' % a['type'])
            lines.append('regset HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\%s = %s, %s '
                         'bytes: "%s\\0"' % (a['name'], kind, a['size'], regs_after[0][1]))
        elif e['call'] == 'RegDeleteKeyA' and ok == 0:
            lines.extend(deleted)
            deleted = []
        elif e['call'] == 'UpdateDriverForPlugAndPlayDevicesA' and ok:
            lines.append('install %s from %s' % (a['hardware_id'], a['inf']))
        elif e['call'] == 'ExitWindowsEx':
            lines.append('reboot')
    return lines + deleted


# -- one run ----------------------------------------------------------------------

class WineRun:
    """Realizes a planned machine in a fresh prefix below `work` and runs
    setup.exe there. `answers` overrides the machine's. `before`, when
    given, is called as before(session, realized) in the same session just
    ahead of setup.exe (the machine capture's round trip runs vntrcapture.exe
    there)."""

    def __init__(self, config, mode, preload, plan, work, program=None, answers=None,
                 before=None):
        self.config, self.mode, self.preload, self.plan = config, mode, preload, plan
        self.work = work
        self.program = program or config.setup_exe
        self.answers = list(plan.answers if answers is None else answers)
        self.before = before
        self.realizer = Realizer(config.tools, os.path.join(config.work, 'cache'))

    def run(self):
        """The report, made a second time in a fresh prefix when Wine itself
        spoilt the first attempt."""
        first = self.work + '.first-attempt'
        shutil.rmtree(first, ignore_errors=True)
        try:
            return self._attempt(final=False)
        except Retry as why:
            os.rename(self.work, first)
            report = self._attempt(final=True)
            report['warnings'].insert(0, 'made a second time; the first attempt %s (files: %s)'
                                      % (why, first))
            return report

    def _attempt(self, final):
        started = time.monotonic()
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)
        prefix = os.path.join(self.work, 'prefix')
        copy_prefix(self.config.base, prefix)
        setup = PrefixSetup(prefix)
        realized = self.realizer.apply(self.plan, setup, self.work, self.program)
        inf_before = inf_state(prefix)
        regs_before = registry_state(prefix)

        answers = list(self.answers)
        asked = []

        def decide(index, text, box_type):
            if box_type == checks.MB_OK:
                return 'Return'
            if not answers:
                return None
            asked.append(answers.pop(0))
            return 'alt+y' if asked[-1] == 'yes' else 'alt+n'

        session = Session(prefix, self.work, self.mode, self.preload, tag=self.config.work,
                          env=realized.env)
        warnings, run = [], None
        try:
            session.start()
            self.realizer.install_libraries(self.plan, prefix)
            if self.before:
                self.before(session, realized)
            # A machine without standard output: what the program writes goes
            # nowhere, as its failing writes do on Windows.
            run = session.run_boxes(realized.exe_unix, realized.cwd_unix, decide, timeout=120,
                                    stall=30, stdout=self.plan.dump.get('stdout', True))
            wine_devices = []
            # With a setupapi.dll that does not load, nothing lists devices
            # (the program searches none either).
            if self.plan.devices and not self.plan.broken and not (run.stalled or
                                                                   run.timed_out):
                wine_devices = wine_device_ids(session, self.config.tools['listdevices'])
        finally:
            session.close()
        warnings.extend(session.notes)

        log = run.log
        module = log.module('\\setup.exe')
        events, crashed = [], []
        if module is not None:
            pid, _, base, _ = module
            low, high = checks.image_range(realized.exe_unix, base)
            events = [event_of(c) for c in log.calls_from(pid, low, high)]
            for crash_pid, line in log.crash_pids():
                if crash_pid == pid:
                    crashed.append(line)
                else:
                    warnings.append('Wine helper crashed (not setup.exe): ' + line)
        helper_crash = any(w.startswith('Wine helper crashed') for w in warnings)
        if not final and (run.stalled or run.timed_out or helper_crash) and not crashed:
            raise Retry('ended with: ' + '; '.join(run.problems + warnings)[:500])

        inf_after = inf_state(prefix)
        regs_after = registry_state(prefix)
        planted = sorted(name.lower() for name, marker in realized.planted_markers
                         if os.path.exists(marker))
        warnings.extend('PLANTED LIBRARY LOADED: %s' % name for name in planted)
        if module is None:
            status, message = 'wine_failed', 'the log shows no start of setup.exe'
        elif crashed:
            status, message = 'crashed', crashed[0]
        elif run.no_answer:
            status, message = 'no_answer', 'a Yes/No box found no answer left'
        elif run.timed_out or run.stalled:
            status, message = 'timeout', '; '.join(run.problems)
        else:
            status, message = 'ok', ''
        # As the simulator gives them: the box calls with buttons and answer.
        boxes = [dict(e, buttons='Yes/No' if (e['args']['type'] or 0) & 0xF == 4 else 'OK',
                      answer=ANSWERS.get(e['result'])) for e in events
                 if e['call'] == 'MessageBoxA']
        left = len(answers)
        if left and status == 'ok':
            warnings.append('%d answer(s) left over: the program asked fewer Yes/No questions'
                            % left)
        own = {k for k, v in inf_before.items()}
        # The driver installation copies the INF it installs into the INF
        # directory (Windows as oemN.inf, Wine under its own name, with a
        # .pnf): that is the update's doing, reported as its install change.
        installed = {os.path.splitext(e['args']['inf'].rsplit('\\', 1)[-1].lower())[0]
                     for e in events if e['call'] == 'UpdateDriverForPlugAndPlayDevicesA'
                     and e['result'] and e['args']['inf']}
        for key in [k for k in inf_after if k not in inf_before]:
            stem, ext = os.path.splitext(key.rsplit('\\', 1)[-1])
            if installed and ext == '.inf' and (stem in installed or re.fullmatch(r'oem\d+', stem)):
                warnings.append('the driver installation wrote C:\\windows\\%s' % key)
                del inf_after[key]
        machine_inf = {f['path'].lower() for f in self.plan.dump.get('files', [])}
        report = {
            'machine': {'name': self.plan.dump.get('name'), 'source': self.plan.dump.get('source'),
                        'os': self.plan.dump['os'].get('name'),
                        'current_dir': self.plan.dump['current_dir'],
                        'windows_dir': 'C:\\windows', 'locale': self.plan.dump.get('locale')},
            'status': status,
            'message': message,
            'exit_code': run.exit_code if status == 'ok' else None,
            'outcome': outcome_of(events, self.plan.dump) if status == 'ok' else None,
            'boxes': boxes,
            'stdout': run.stdout.decode('latin-1'),
            'changes': [e for e in events if changed(e)],
            'change_lines': changes_of(events, regs_before, regs_after),
            'events': events,
            'summary': {'devices': realized.devices, 'wine_device_ids': wine_devices, 'screenshots': [s for s, _ in run.shots],
                        'seconds': round(time.monotonic() - started, 1)},
            'warnings': warnings + ['note: ' + n for n in self.plan.notes],
            'state': {
                'inf': {k: v for k, v in inf_after.items()
                        if k not in own or inf_before.get(k) != v or
                        ('c:\\windows\\' + k) in machine_inf},
                'other_device_path': regs_after[0],
                'enum_pci': regs_after[1],
                'planted_loaded': planted,
            },
        }
        return report
