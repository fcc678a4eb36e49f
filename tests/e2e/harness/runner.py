"""Runs one probe of the harness (the probe program, the contract checks):
a fresh prefix, the program laid out, started and answered, and the outcome
checked. setup.exe itself runs on machine files (suite.py, wine_run.py)."""

import json
import os
import shutil
import time

from . import checks
from .prefix import PrefixSetup, copy_prefix
from .session import Session, SessionError

PACKAGE_DIR = 'C:\\VNTRPKG'


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
    """Copies the program (and, for the planted-library probe, the planted
    libraries) into the package folder C:\\VNTRPKG."""
    package_unix = setup.c_path(PACKAGE_DIR)
    os.makedirs(package_unix)
    if scenario.planted:
        for dll in ('setupapi', 'newdev'):
            shutil.copyfile(config.tools['planted'], os.path.join(package_unix, dll + '.dll'))
            # Wine would take a library found by bare name from the program's
            # folder before its own, as Windows does.
            setup.dll_override(dll, 'native,builtin')
    exe_unix = os.path.join(package_unix, 'setup.exe')
    shutil.copyfile(config.tools[scenario.program], exe_unix)
    return Layout(PACKAGE_DIR, package_unix, PACKAGE_DIR + '\\setup.exe', exe_unix)


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
