"""The machines of the comparison: every example machine and every machine
of tests/machines, each run by the simulator and by Wine (wine/run.py) and
compared (wine/compare.py). A machine Wine realizes with its Windows
directory under another name is compared but for that name. Machines Wine
cannot run, or runs only otherwise than the simulator (another message
file, another answer from a call), are declared in simulator-only.toml with
those settings and which of the two they are; the declaration is checked."""

import glob
import json
import os
import shutil
import tomllib

import captured
from wine import compare, prefix, realize, simulator
from wine.run import WineRun, plan_machine

E2E_DIR = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(os.path.dirname(E2E_DIR))
KNOWN = os.path.join(E2E_DIR, 'known-differences.toml')
SIMULATOR_ONLY = os.path.join(E2E_DIR, 'simulator-only.toml')


def machine_files():
    """{test name: path relative to the source tree}, examples first."""
    found = {}
    for folder in ('examples/machines', 'tests/machines'):
        for path in sorted(glob.glob(os.path.join(SOURCE_DIR, folder, '*.toml'))):
            name = os.path.splitext(os.path.basename(path))[0]
            if name in found:
                raise ValueError('two machine files named %s: %s and %s' % (
                    name, found[name], os.path.relpath(path, SOURCE_DIR)))
            found[name] = os.path.relpath(path, SOURCE_DIR)
    return found


# How a declared machine stands with Wine: it cannot run at all (a setting
# blocks it), or it runs with settings realized otherwise that leave nothing
# to compare event by event.
REFUSED, NOT_COMPARED = 'refused', 'runs, not compared'


def declared_simulator_only():
    """{path relative to the source tree: (REFUSED or NOT_COMPARED,
    [settings that make it so])}."""
    with open(SIMULATOR_ONLY, 'rb') as f:
        data = tomllib.load(f)
    declared = {}
    for m in data.get('machine', []):
        if m.get('wine') not in (REFUSED, NOT_COMPARED):
            raise ValueError('%s: %s: wine = "%s" or "%s", not %r' % (
                SIMULATOR_ONLY, m.get('file'), REFUSED, NOT_COMPARED, m.get('wine')))
        declared[m['file']] = (m['wine'], list(m['settings']))
    return declared


def compared_machines():
    declared = declared_simulator_only()
    return {n: p for n, p in machine_files().items() if p not in declared}


def classify(config):
    """Checks simulator-only.toml against the machines, and the [expect]
    tables of tests/machines against the simulator: (passed, lines)."""
    declared = declared_simulator_only()
    lines, passed = [], True
    for name, path in machine_files().items():
        if path.startswith('tests/'):
            agrees, said = simulator.check(config.sim, os.path.join(SOURCE_DIR, path))
            if not agrees:
                passed = False
                lines.append('FAIL: %s' % said)
        _, plan, _ = plan_machine(config, os.path.join(SOURCE_DIR, path))
        blocked = [b.field for b in plan.blockers]
        otherwise = [d.field for d in plan.differences if d.leaves == realize.NOTHING]
        stands = REFUSED if blocked else None if plan.comparable else NOT_COMPARED
        why = plan.blockers if blocked else [d for d in plan.differences if d.field in otherwise]
        if path in declared:
            kind, settings = declared[path]
            fields = blocked if kind == REFUSED else otherwise
            missing = [f for f in settings if not any(b.startswith(f) for b in fields)]
            if stands != kind or missing:
                passed = False
                lines.append('FAIL: %s is declared "%s" by %s, but %s' % (
                    path, kind, ', '.join(settings),
                    'Wine runs and compares it' if stands is None else
                    'it is "%s" by %s' % (stands, '; '.join(str(w) for w in why))))
            else:
                lines.append('%s %s: %s' % (kind, path, '; '.join(str(w) for w in why)))
        elif stands is not None:
            passed = False
            lines.append('FAIL: %s is "%s" (%s): declare it in %s' % (
                path, stands, '; '.join(str(w) for w in why),
                os.path.relpath(SIMULATOR_ONLY, SOURCE_DIR)))
        else:
            lines.append('compared %s%s' % (path, '' if not plan.differences else ' (%s)' %
                                             plan.comparison()))
    for path in declared:
        if not os.path.exists(os.path.join(SOURCE_DIR, path)):
            passed = False
            lines.append('FAIL: %s is declared simulator-only but does not exist' % path)
    return passed, lines


def report_lines(sim, wine, doc, report):
    """The Wine run as the report shows it: its boxes with what the
    simulator says each showed, the simulator's changes marked made or not
    under Wine, the simulator's outcome, the warnings and where the time
    went."""
    lines = []
    for i, b in enumerate(report['boxes']):
        tag = sim.tags[i] if i < len(sim.tags) else None
        lines.append('box: %r -> %s%s' % (b['args'].get('text'), b['answer'],
                                           ' (the simulator: %s)' % tag if tag else ''))
    for line, made in compare.confirmed_changes(sim, wine, doc):
        lines.append('simulator\'s change %s: %s' % (
            'made under Wine' if made else 'NOT made under Wine', line))
    lines.append('simulator\'s outcome: %s' % doc.get('outcome'))
    lines += ['warning: ' + w for w in report['warnings']]
    lines.append('phases: ' + ', '.join('%s %.1fs' % p for p in report['summary']['phases'].items()))
    return lines


def compare_machine(config, mode, preload, name, path):
    """Runs one machine both ways and compares; (passed, report lines).
    Where vntrcapture.exe is built, it captures the realized machine in the
    same session just ahead of setup.exe, and the simulator's replay of the
    capture is compared with setup.exe's run as well."""
    machine_file = os.path.join(SOURCE_DIR, path)
    dump, plan, doc = plan_machine(config, machine_file)
    if not plan.realizable or not plan.comparable:
        return False, ['FAIL: %s cannot be compared (%s): declare it in %s' % (
            path, '; '.join(str(b) for b in plan.blockers + plan.differences),
            os.path.relpath(SIMULATOR_ONLY, SOURCE_DIR))]
    work = os.path.join(config.work, 'machines', name)
    capture_exe = config.tools.get('capture')
    capture = None
    if capture_exe:
        capture = captured.Capture(capture_exe,
                                   os.path.join(config.work, 'capture', 'as-setup-' + name))
    wine_run = WineRun(config, mode, preload, plan, work,
                       before=capture.before if capture else None)
    report = wine_run.run()
    known = compare.load_known(KNOWN)
    context = {
        'wine_device_ids': prefix.base_info(config.base).get('wine_device_ids', []) +
        report['summary']['wine_device_ids'],
        'machine_device_ids': captured.device_ids(dump),
        'locale': dump.get('locale', 0x0409),
    }
    sim, wine = compare.views(dump, doc, report, wine_run.relay, plan)
    lines = ['%s (%s): %s mode, Wine run %.1fs' % (name, path, mode.name,
                                                   report['summary']['seconds'])]
    lines += ['realized otherwise: %s' % d for d in plan.differences] + [plan.comparison()]
    lines += report_lines(sim, wine, doc, report)
    left, seen = compare.compare(sim, wine, known, context, path)
    with open(os.path.join(work, 'simulator.json'), 'w') as f:
        json.dump(doc, f, indent=1)
    with open(os.path.join(work, 'wine.json'), 'w') as f:
        json.dump(report, f, indent=1)
    lines += ['known Wine difference: %s' % k for k in seen]
    if capture:
        said, differ = captured.replay(config, capture, dump, plan, report, work, known,
                                       wine_run.relay)
        lines += said
        left += differ
    else:
        lines.append('capture: vntrcapture.exe is not built here, so no round trip')
    lines += ['DIFFERENCE: ' + l for l in left]
    lines.append('%s %s' % ('FAIL' if left else 'PASS', name))
    if not left and not os.environ.get('VNTR_E2E_KEEP'):
        for reg in ('system.reg', 'user.reg'):
            shutil.copyfile(os.path.join(work, 'prefix', reg), os.path.join(work, reg))
        shutil.rmtree(os.path.join(work, 'prefix'), ignore_errors=True)
    return not left, lines
