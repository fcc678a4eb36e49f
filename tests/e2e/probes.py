"""The harness proving itself, through the one runner (wine/run.py) that
runs setup.exe: its probe program (helpers/probe.c) in setup.exe's place
shows that boxes are answered, calls from the program's image are read with
their arguments and results, and the state after the run is read (a second
probe, with a planted setupapi.dll beside it, that a planted library a
program loads is noticed); the host contract checks of tests/contract show
that Wine's Windows keeps what the program relies on. Each runs on a machine
of probes/."""

import os
import shutil

from wine import compare, realize, simulator
from wine.run import WineRun

HERE = os.path.dirname(os.path.abspath(__file__))
TITLE = 'Harness probe'  # helpers/probe.c's boxes


class Probe:
    def __init__(self, program, check):
        self.program, self.check = program, check


def _event(call, result, **args):
    return {'call': call, 'args': args, 'result': result}


def check_probe(report):
    """The probe's calls, trace and state, each as the runner reports them."""
    expected = [
        _event('MessageBoxA', 6, owner='NULL', text='Probe question?', caption=TITLE, type=4),
        _event('CreateDirectoryA', True, path='C:\\windows\\INF\\probe', security='NULL'),
        _event('CopyFileA', True, **{'from': 'probe.txt', 'to': 'C:\\windows\\INF\\probe\\probe.txt',
                                     'fail_if_exists': 0}),
        _event('RegSetValueExA', 0, key=None, name='OtherDevicePath', reserved=0, type=1,
               data=None, size=6),
        _event('RegDeleteKeyA', 0, key=None, subkey='Gone'),
        _event('LoadLibraryA', '0x10000000', name='setupapi.dll'),
        _event('MessageBoxA', 1, owner='NULL', text='Probe done.', caption=TITLE, type=0),
    ]
    got, wanted = compare.compared_calls(report['events']), compare.compared_calls(expected)
    failures = []
    if got != wanted:
        failures.append('calls %s, expected %s' % (got, wanted))
    if [(b['args']['text'], b['answer']) for b in report['boxes']] != [
            ('Probe question?', 'Yes'), ('Probe done.', 'OK')]:
        failures.append('boxes %r' % report['boxes'])
    if report['stdout'] != 'probe: start\r\nprobe: yes\r\n':
        failures.append('trace %r (standard output in text mode: CR LF)' % report['stdout'])
    state = report['state']
    digest = compare.file_identity(b'probe file\r\n')
    files = {'inf\\probe': 'dir', 'inf\\probe\\probe.txt': digest}
    if {k: v for k, v in state['inf'].items() if k.startswith('inf\\probe')} != files:
        failures.append('INF directory %r, expected %r' % (state['inf'], files))
    if state['other_device_path'] != [1, 'probe']:
        failures.append('OtherDevicePath %r' % state['other_device_path'])
    if [k.lower() for k in state['enum_pci']] != ['vntr_probe']:
        failures.append('Enum\\PCI %r: the Gone key was not deleted' % state['enum_pci'])
    if state['planted_loaded']:
        failures.append('planted libraries loaded: %r' % state['planted_loaded'])
    return failures


def check_planted(report):
    """The probe took the planted setupapi.dll beside it, and the run says so."""
    loads = [e for e in report['events'] if e['call'] == 'LoadLibraryA']
    failures = []
    if [(e['args']['name'], bool(e['result'])) for e in loads] != [('setupapi.dll', True)]:
        failures.append('LoadLibraryA calls %r' % loads)
    if report['state']['planted_loaded'] != ['setupapi.dll']:
        failures.append('planted libraries loaded: %r' % report['state']['planted_loaded'])
    if 'PLANTED LIBRARY LOADED: setupapi.dll' not in report['warnings']:
        failures.append('no warning of the planted library: %r' % report['warnings'])
    return failures


def check_contract(report):
    """Every contract check passed (a check where Wine is known to differ
    from Windows prints a note instead)."""
    lines = report['stdout'].replace('\r\n', '\n').split('\n')[:-1]
    failures = ['contract check failed: ' + l for l in lines if l.startswith('not ok')]
    if len([l for l in lines if l.startswith('ok - ')]) < 30:
        failures.append('fewer contract checks ran than expected: %r' % lines[-3:])
    if lines[-1:] != ['0 failed']:
        failures.append('contract summary missing: %r' % lines[-3:])
    return failures


PROBES = {
    'probe': Probe('probe', check_probe),
    'probe-planted-library': Probe('probe', check_planted),
    'contract-xp': Probe('contract', check_contract),
    'contract-98se': Probe('contract', check_contract),
}


def run_probe(config, mode, preload, name):
    """(passed, report lines) of one probe on its machine."""
    probe = PROBES[name]
    machine_file = os.path.join(HERE, 'probes', name + '.toml')
    plan = realize.plan(simulator.dump(config.sim, machine_file))
    if not plan.realizable:
        return False, ['FAIL: %s: %s' % (machine_file, '; '.join(map(str, plan.blockers)))]
    work = os.path.join(config.work, 'probes', name)
    report = WineRun(config, mode, preload, plan, work, program=config.tools[probe.program]).run()
    lines = ['%s (%s): %s mode, Wine run %.1fs' % (name, os.path.relpath(machine_file, HERE),
                                                   mode.name, report['summary']['seconds'])]
    lines += ['box: %r -> %s' % (b['args'].get('text'), b['answer']) for b in report['boxes']]
    lines += ['warning: ' + w for w in report['warnings']]
    lines += ['note: ' + l for l in report['stdout'].splitlines() if l.startswith('note - ')]
    lines.append('phases: ' + ', '.join('%s %.1fs' % p for p in report['summary']['phases'].items()))
    failures = []
    if report['status'] != 'ok' or report['exit_code'] != 0:
        failures.append('run %s, exit code %r: %s' % (report['status'], report['exit_code'],
                                                      report['message']))
    failures += probe.check(report)
    lines += ['FAIL: ' + f for f in failures]
    lines.append('%s %s' % ('FAIL' if failures else 'PASS', name))
    if not failures and not os.environ.get('VNTR_E2E_KEEP'):
        shutil.rmtree(os.path.join(work, 'prefix'), ignore_errors=True)
    return not failures, lines
