"""Runs one scenario: a fresh prefix, the package laid out, devices
registered, setup.exe started and answered, and the outcome checked."""

import json
import os
import shutil
import time

from . import checks
from .prefix import PrefixSetup, copy_prefix
from .session import Session, SessionError

PACKAGE_FILES = ['VNTR98.INF', 'VNTR98SE.INF', 'VNTR98SE.CAT', 'VNTRME.INF', 'VNTRME.CAT',
                 'VNTR2K.INF', 'VNTRXP.INF']
PACKAGE_DIR = 'C:\\VNTRPKG'
TOOLS_DIR = 'C:\\TOOLS'


class Config:
    def __init__(self, path):
        with open(path) as f:
            data = json.load(f)
        self.setup_exe = data['setup_exe']
        self.package = data['package']
        self.work = data['work']
        self.tools = data['tools']
        self.source = data.get('source', '')
        self.sim = self.tools.get('sim', '')
        self.base = os.path.join(self.work, 'base-prefix')


class Layout:
    """Where the package and the program are, as Windows and host paths."""

    def __init__(self, package_windows, package_unix, exe_windows, exe_unix):
        self.package_windows = package_windows
        self.package_unix = package_unix
        self.exe_windows = exe_windows
        self.exe_unix = exe_unix


def lay_out(scenario, setup, config, scenario_dir):
    """Copies the package (with the scenario's changes) and the program into
    the prefix."""
    if scenario.layout == 'root':
        package_unix = os.path.join(scenario_dir, 'drive-d')
        os.makedirs(package_unix)
        setup.drive('d', package_unix)
        package_windows = 'D:\\'
    else:
        package_unix = setup.c_path(PACKAGE_DIR)
        os.makedirs(package_unix)
        package_windows = PACKAGE_DIR
    for name in PACKAGE_FILES:
        if name not in scenario.drop:
            shutil.copyfile(os.path.join(config.package, name), os.path.join(package_unix, name))
    if scenario.message_file is not None:
        os.makedirs(os.path.join(package_unix, 'MultiLang'))
        with open(os.path.join(package_unix, 'MultiLang', '0409.dat'), 'wb') as f:
            f.write(scenario.message_file)
    if scenario.planted:
        for dll in ('setupapi', 'newdev'):
            shutil.copyfile(config.tools['planted'], os.path.join(package_unix, dll + '.dll'))
            # Wine would take a library found by bare name from the program's
            # folder before its own, as Windows does.
            setup.dll_override(dll, 'native,builtin')
    if scenario.layout == 'elsewhere':
        exe_unix = os.path.join(setup.c_path(TOOLS_DIR), 'setup.exe')
        os.makedirs(os.path.dirname(exe_unix))
        exe_windows = TOOLS_DIR + '\\setup.exe'
    else:
        exe_unix = os.path.join(package_unix, 'setup.exe')
        exe_windows = package_windows.rstrip('\\') + '\\setup.exe'
    program = config.setup_exe if scenario.program == 'setup' else config.tools[scenario.program]
    shutil.copyfile(program, exe_unix)
    return Layout(package_windows, package_unix, exe_windows, exe_unix)


class Retry(Exception):
    """The attempt failed for a reason of Wine's, not of the program."""


def run_scenario(scenario, config, mode, preload):
    """Returns (passed, report lines). An attempt spoilt by Wine itself (a
    helper process that died and left the program waiting, a set-up step
    that timed out) is made once more in a fresh prefix; the first attempt's
    files stay beside the second's."""
    scenario_dir = os.path.join(config.work, 'scenarios', scenario.name)
    first = scenario_dir + '.first-attempt'
    shutil.rmtree(first, ignore_errors=True)
    try:
        return _attempt(scenario, config, mode, preload, scenario_dir)
    except Retry as why:
        os.rename(scenario_dir, first)
        passed, report = _attempt(scenario, config, mode, preload, scenario_dir, final=True)
        return passed, ['note: made a second time; the first attempt %s (its files: %s)' % (
            why, os.path.relpath(first, config.work))] + report


def _attempt(scenario, config, mode, preload, scenario_dir, final=False):
    started = time.monotonic()
    scenario.begin()
    shutil.rmtree(scenario_dir, ignore_errors=True)
    os.makedirs(scenario_dir)
    prefix = os.path.join(scenario_dir, 'prefix')
    phases = []

    def phase(name, since):
        now = time.monotonic()
        phases.append('%s %.1fs' % (name, now - since))
        return now

    mark = time.monotonic()
    copy_prefix(config.base, prefix)
    mark = phase('copy', mark)

    setup = PrefixSetup(prefix)
    setup.windows_version(scenario.windows)
    scenario.prepare_registry(setup)
    layout = lay_out(scenario, setup, config, scenario_dir)
    scenario.prepare_files(setup, layout)
    setup.save()

    report = []
    session = Session(prefix, scenario_dir, mode, preload, tag=config.work)
    run = None
    try:
        session.start()
        mark = phase('start', mark)
        if scenario.devices:
            # Registered last, right before the run, in the same server
            # session: a later wineboot --init could stall on them.
            args = [config.tools['mkdevice']] + ['|'.join(ids) for ids in scenario.devices]
            try:
                code, out = session.run(args, timeout=60, name='mkdevice')
            except SessionError as e:
                if final:
                    raise
                raise Retry('failed to set up: %s' % e)
            if code != 0:
                raise SessionError('mkdevice failed (%s): %s' % (code, out.strip()))
            scenario.instances = [line.split()[1] for line in out.splitlines()
                                  if line.startswith('device ')]
            if len(scenario.instances) != len(scenario.devices):
                raise SessionError('mkdevice registered %d of %d devices: %s' % (
                    len(scenario.instances), len(scenario.devices), out.strip()))
            mark = phase('devices', mark)
        ran = time.monotonic()
        run = session.run_boxes(layout.exe_unix, layout.package_unix, scenario.decide,
                                timeout=scenario.timeout, stall=30)
        report.append('run: %.1fs, exit code %s, %d boxes (%s) at %s' % (
            time.monotonic() - ran, run.exit_code, len(run.shots), ', '.join(run.answers),
            ', '.join('%.1fs' % t for t in run.times)))
        mark = phase('run', mark)
    finally:
        session.close()
    mark = phase('close', mark)
    report.append('phases: ' + ', '.join(phases))
    report.extend('note: ' + n for n in session.notes)

    outcome = checks.Outcome(scenario, run, layout.exe_unix, prefix, layout.package_unix)
    outcome.layout = layout
    run.problems and outcome.failures.extend(run.problems)
    outcome.check_process()
    if outcome.pid is not None:
        try:
            scenario.expect(outcome)
        except Exception:
            import traceback
            outcome.fail('checking the outcome failed:\n' + traceback.format_exc())
    report.extend('note: ' + n for n in outcome.notes)
    for shot, text in run.shots:
        report.append('box: %s  %r' % (os.path.relpath(shot, config.work), text))
    report.append('calls from setup.exe:')
    report.extend('  %r' % c for c in outcome.calls)
    if outcome.stdout:
        report.append('trace:')
        report.extend('  ' + l for l in outcome.stdout.decode('latin-1').splitlines())
    for f in outcome.failures:
        report.append('FAIL: ' + f)
    passed = not outcome.failures
    helper_crashes = [n for n in outcome.notes if n.startswith('Wine helper crashed')]
    if not passed and not final and (run.stalled or run.timed_out or helper_crashes):
        raise Retry('ended with: ' + '; '.join(run.problems + helper_crashes)[:500])
    report.append('%s %s in %.1fs (%s mode)' % ('PASS' if passed else 'FAIL', scenario.name,
                                                time.monotonic() - started, mode.name))
    if passed and not os.environ.get('VNTR_E2E_KEEP'):
        # The prefix is large; the logs, screenshots and registry files stay.
        for name in ('system.reg', 'user.reg'):
            shutil.copyfile(os.path.join(prefix, name), os.path.join(scenario_dir, name))
        shutil.rmtree(prefix, ignore_errors=True)
    return passed, report
