"""The one way a program runs under Wine here: a machine realized in a fresh
prefix, the program started in its folder inside Xvfb, every box
photographed and answered, and the run reported in the simulator's terms:
boxes, the calls from the program's own image with their arguments and
results, the trace, the state the program could have changed and the exit
code. setup.exe runs this way, and so do the harness's own probe program and
the host contract checks (in setup.exe's place).

The report holds what happened under Wine and nothing derived from it: the
outcome and the change lines are the simulator's (compare.py marks which of
its changes the Wine run made)."""

import os
import re
import shutil
import time

from . import codepage as wine_codepage, compare, pe, realize, regfile, simulator
from .prefix import PrefixSetup, base_lock, copy_prefix, find_ci, registered_device_ids
from .realize import CURRENT_VERSION, Realizer
from .session import Session

ENUM_PCI = 'Enum\\PCI'
# MessageBoxA's buttons and results (Windows' MB_OK, MB_YESNO, IDOK, IDYES, IDNO).
MB_OK, MB_YESNO = 0, 4
ANSWERS = {1: 'OK', 6: 'Yes', 7: 'No'}


def answer_keys(box_type, yes):
    """The keys that press the Yes or the No button of a Yes/No box in any
    language: the buttons' accelerators are the language's (&Ja, &Oui), but
    the default button (MB_DEFBUTTON1 or 2 of the box's type) has the focus
    when the box opens, space presses the focused button, and Tab moves to
    the other."""
    default = ((box_type or 0) >> 8) & 0xF
    return ' '.join(['Tab'] * ((int(not yes) - default) % 2) + ['space'])


class Retry(Exception):
    """The attempt failed for a reason of Wine's, not of the program."""


# -- state ----------------------------------------------------------------------

def _ansi(name, codepage):
    """A host file or key name (Unicode) as the program sees it: bytes in
    its ANSI code page, one character per byte, as the simulator gives
    texts."""
    return wine_codepage.encode(name, codepage)


def inf_state(prefix, codepage=1252):
    """{path below the Windows directory, lower case: 'dir' or the file's
    identity (compare.file_identity)} of everything under C:\\windows\\INF,
    the names in the ANSI code page."""
    root = os.path.join(prefix, 'drive_c', 'windows')
    inf = find_ci(root, 'inf')
    state = {}
    if not inf:
        return state
    for dirpath, dirnames, filenames in os.walk(inf):
        rel = _ansi(os.path.relpath(dirpath, root).replace('/', '\\').lower(), codepage)
        state[rel] = 'dir'
        for name in filenames:
            if name.lower().endswith('.pnf'):
                continue  # setupapi's precompiled INFs, written whenever Wine reads one
            with open(os.path.join(dirpath, name), 'rb') as f:
                state[rel + '\\' + _ansi(name.lower(), codepage)] = compare.file_identity(
                    f.read())
    return state


def registry_state(prefix, codepage=1252):
    """OtherDevicePath as (type, text up to its NUL) or None, and every key
    below Enum\\PCI, texts in the ANSI code page."""
    system = regfile.RegistryFile(os.path.join(prefix, 'system.reg'))
    value = system.value(CURRENT_VERSION, 'OtherDevicePath')
    other = None
    if value is not None:
        try:
            other = [value.kind, _ansi(value.text(), codepage)]
        except ValueError:
            other = [value.kind, value.data.hex() if isinstance(value.data, bytes) else value.data]
    keys = {}
    prefix_lc = ENUM_PCI.lower() + '\\'
    for section in system.sections:
        if section.name.lower().startswith(prefix_lc):
            parts = section.name[len(prefix_lc):].split('\\')
            for i in range(1, len(parts) + 1):
                key = _ansi('\\'.join(parts[:i]), codepage)
                keys.setdefault(key.lower(), key)
    return other, sorted(keys.values(), key=str.lower)


# -- one run ----------------------------------------------------------------------

class WineRun:
    """Realizes a planned machine in a fresh prefix below `work` and runs a
    program there (setup.exe by default) under the name setup.exe in the
    machine's folder. `answers` overrides the machine's. `before`, when
    given, is called as before(session, realized) in the same session just
    ahead of the program (the machine capture's round trip runs
    vntrcapture.exe there)."""

    def __init__(self, config, mode, preload, plan, work, program=None, answers=None,
                 before=None):
        self.config, self.mode, self.preload, self.plan = config, mode, preload, plan
        self.work = work
        self.program = program or config.setup_exe
        self.answers = list(plan.answers if answers is None else answers)
        self.before = before
        self.realizer = Realizer(config.tools, os.path.join(config.work, 'cache'))
        self.relay = compare.Relay(simulator.host_calls(config.sim))

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
        phases = {}

        def phase(name, since):
            now = time.monotonic()
            phases[name] = round(phases.get(name, 0) + now - since, 1)
            return now

        mark = time.monotonic()
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)
        prefix = os.path.join(self.work, 'prefix')
        with base_lock(self.config.base, shared=True):
            copy_prefix(self.config.base, prefix)
        mark = phase('copy', mark)
        setup = PrefixSetup(prefix)
        # Only the calls compared are relayed: kernel32 entries must name their
        # library, or Wine does not relay them.
        setup.user.set_string('Software\\Wine\\Debug', 'RelayInclude', self.relay.include)
        # No window manager runs on the display: Wine draws the boxes' frames
        # itself, as a user sees them, and does not wait for a manager to
        # take a closed box off the screen (2 seconds a box).
        setup.user.set_string('Software\\Wine\\X11 Driver', 'Decorated', 'N')
        setup.user.set_string('Software\\Wine\\X11 Driver', 'Managed', 'N')
        # A window the X focus comes to is made active (Session._activate):
        # no window manager sends WM_TAKE_FOCUS, which Wine waits for by
        # default.
        setup.user.set_string('Software\\Wine\\X11 Driver', 'UseTakeFocus', 'N')
        realized = self.realizer.apply(self.plan, setup, self.work, self.program)
        inf_before = inf_state(prefix, self.plan.codepage)
        mark = phase('realize', mark)

        answers = list(self.answers)

        def decide(index, text, box_type):
            if box_type is not None and box_type & 0xF == MB_OK:
                return 'Return'
            if not answers:
                return None
            return answer_keys(box_type, answers.pop(0) == 'yes')

        session = Session(prefix, self.work, self.mode, self.preload, tag=self.config.work,
                          env=realized.env)
        warnings, run, wine_devices = list(realized.notes), None, []
        try:
            session.start()
            self.realizer.install_libraries(self.plan, prefix)
            if self.config.tools.get('keeper'):
                session.keep(self.config.tools['keeper'])
            mark = phase('start', mark)
            if self.before:
                self.before(session, realized)
                mark = phase('before', mark)
            # A machine without standard output: what the program writes goes
            # nowhere, as its failing writes do on Windows.
            run = session.run_boxes(realized.exe_unix, realized.cwd_unix, decide, timeout=120,
                                    stall=30, stdout=self.plan.dump.get('stdout', True))
            mark = phase('program', mark)
        finally:
            session.close()
            mark = phase('close', mark)
        warnings.extend(session.notes)
        # The devices Wine has of its own at the end of the run (the program
        # searched them too), from the registry the server saved.
        if self.plan.devices:
            wine_devices = registered_device_ids(prefix)

        log = run.log
        exe_name = os.path.basename(realized.exe_unix)
        module = log.module('\\' + exe_name)
        events, crashed = [], []
        if module is not None:
            pid, _, base, _ = module
            high = base + pe.image_size(realized.exe_unix)
            events = [self.relay.event_of(c) for c in log.calls_from(pid, base, high)]
            for crash_pid, line in log.crash_pids():
                if crash_pid == pid:
                    crashed.append(line)
                else:
                    warnings.append('Wine helper crashed (not %s): %s' % (exe_name, line))
        helper_crash = any(w.startswith('Wine helper crashed') for w in warnings)
        spoilt = run.stalled or run.timed_out or run.looped or helper_crash
        if not final and spoilt and not crashed:
            raise Retry('ended with: ' + '; '.join(run.problems + warnings)[:500])

        inf_after = inf_state(prefix, self.plan.codepage)
        regs_after = registry_state(prefix, self.plan.codepage)
        planted = sorted(name.lower() for name, marker in realized.planted_markers
                         if os.path.exists(marker))
        warnings.extend('PLANTED LIBRARY LOADED: %s' % name for name in planted)
        if module is None:
            status, message = 'wine_failed', 'the log shows no start of %s' % exe_name
        elif crashed:
            status, message = 'crashed', crashed[0]
        elif run.no_answer:
            status, message = 'no_answer', 'a Yes/No box found no answer left'
        elif run.timed_out or run.stalled or run.looped:
            status, message = 'timeout', '; '.join(run.problems)
        else:
            status, message = 'ok', ''
        # As the simulator gives them: the box calls with buttons and answer.
        boxes = [dict(e, buttons='Yes/No' if (e['args'].get('type') or 0) & 0xF == MB_YESNO
                      else 'OK', answer=ANSWERS.get(e['result'])) for e in events
                 if e['call'] == 'MessageBoxA']
        if answers and status == 'ok':
            warnings.append('%d answer(s) left over: the program asked fewer Yes/No questions'
                            % len(answers))
        # The driver installation copies the INF it installs into the INF
        # directory (Windows as oemN.inf, Wine under its own name, with a
        # .pnf): that is the update's doing, reported as its install change.
        installed = {os.path.splitext(e['args']['inf'].rsplit('\\', 1)[-1].lower())[0]
                     for e in events if e['call'] == 'UpdateDriverForPlugAndPlayDevicesA'
                     and e['result'] and isinstance(e['args'].get('inf'), str)}
        for key in [k for k in inf_after if k not in inf_before]:
            stem, ext = os.path.splitext(key.rsplit('\\', 1)[-1])
            if installed and ext == '.inf' and (stem in installed or re.fullmatch(r'oem\d+', stem)):
                warnings.append('the driver installation wrote C:\\windows\\%s' % key)
                del inf_after[key]
        machine_inf = {f['path'].lower() for f in self.plan.dump.get('files', [])}
        dump = self.plan.dump
        windows = dump['windows_dir'].rstrip('\\').lower()
        return {
            # The simulator's, as its --json gives it, where the plan has it.
            'machine': self.plan.machine or {
                'name': dump.get('name'), 'source': dump.get('source'),
                'os': dump['os'].get('name'), 'current_dir': dump['current_dir'],
                'windows_dir': dump['windows_dir'], 'locale': dump.get('locale')},
            'status': status,
            'message': message,
            'exit_code': run.exit_code if status == 'ok' else None,
            'boxes': boxes,
            'stdout': run.stdout.decode('latin-1'),
            'events': events,
            'summary': {'devices': realized.devices, 'wine_device_ids': wine_devices,
                        'screenshots': [s for s, _ in run.shots],
                        'seconds': round(time.monotonic() - started, 1), 'phases': phases},
            'warnings': warnings + ['note: ' + n for n in self.plan.notes],
            # What the simulator noted of the options that replace the
            # file's settings, as its own report carries them.
            'notes': dump.get('notes', []),
            'state': {
                'inf': {k: v for k, v in inf_after.items()
                        if k not in inf_before or inf_before.get(k) != v or
                        (windows + '\\' + k) in machine_inf},
                'other_device_path': regs_after[0],
                'enum_pci': regs_after[1],
                'planted_loaded': planted,
            },
            # The settings Wine holds otherwise, with what was used instead,
            # and what of a comparison with the simulator's run they leave.
            'realized_otherwise': [d.as_json() for d in self.plan.differences],
            'compared': self.plan.comparison(),
        }


def plan_machine(config, path, answers=None, program=None, data=None, package=None):
    """(dump, plan, the simulator's run) of a machine file, for `program`
    (setup.exe by default; its string table must be the machine's); `data`
    is the file's text when `path` is - (standard input); `package` a host
    folder in place of the package folder's content. A driver
    update the simulator lets fail is realized otherwise: Wine's never
    fails. Where the simulator says Windows would refuse the package's INF,
    only the update's result and the box that reports it are left out of
    the comparison; a failure the machine file plans ([update], [[faults]])
    leaves nothing to compare event by event."""
    dump = simulator.dump(config.sim, path, data, package)
    program = program or config.setup_exe
    plan = realize.plan(dump, pe.strings(program) if program else None)
    plan.file_bytes = lambda name: simulator.file_bytes(config.sim, path, name, data, package)
    doc = simulator.predict(config.sim, path, answers, data, package)
    plan.machine = doc.get('machine')
    refused = compare.inf_refused(doc)
    if refused is not None:
        plan.differ('update', 'Windows refuses the update: %s' % refused.get('inf_why', ''),
                    'the update succeeds', 'Wine\'s UpdateDriverForPlugAndPlayDevicesA '
                    'always returns TRUE', realize.UPDATE)
    elif compare.sim_update_failed(doc):
        plan.differ('update.check', 'a driver update that fails', 'one that succeeds',
                    'Wine\'s UpdateDriverForPlugAndPlayDevicesA always returns TRUE')
    return dump, plan, doc
