#!/usr/bin/env python3
"""vntrcapture.exe under Wine, on prefixes the end-to-end harness realizes
from machine files (tests/e2e: the same base prefix, mode and sessions).

    wine_capture.py --config CONFIG --capture EXE unchanged NAME
    wine_capture.py --config CONFIG --capture EXE round-trip NAME
    wine_capture.py list

NAME is a machine of the simulator-Wine comparison (`list` prints them).

unchanged: a capture changes nothing but the file it is told to write. The
machine is realized; then the prefix's registry and files are taken down
(each time with its server ended, so the registry is on disk) after a
session that only installs its libraries, after one that runs
`vntrcapture.exe /?` (which reads nothing: whatever Wine itself changes when
a program starts shows there), and after one that runs `vntrcapture.exe`
(to standard output) and `vntrcapture.exe machine.toml`. Between the last
two nothing may differ (keys and values, time stamps aside; files by size,
contents and modification time) but the new machine.toml and what Wine
itself changed before; machine.toml must load in the simulator and equal
the standard-output form but for the time of the capture.

round-trip: the machine is realized and, in the same session, the capture
runs just ahead of the real setup.exe, under the name setup.exe (from a
folder of its own): the realizer gives a machine's libraries to programs of
that name (DllOverrides), and the capture must see the machine setup.exe
sees. The captured file, given back what
no capture can see (the answers, `stdout = false`), is run by the
simulator, and that run is compared with setup.exe's as the comparison
compares the machine file's own (tests/e2e/harness/compare.py, with its
known Wine differences). The registry is compared where the capture holds
it: on Windows 98/98 SE/ME (elsewhere setup.exe reads none), the name of
each key below Enum\\PCI and each controller key's tree (setup.exe opens
no other key's subkeys). What no capture can see is given back from the
machine file: the answers, `stdout = false`, `update = { check = false }`.

Exit code 0 when all holds, 1 otherwise, each difference named.
"""

import argparse
import os
import re
import shutil
import signal
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), 'e2e'))
sys.path.insert(0, HERE)

from harness import compare, machine, prefix, runner, session, simulator, suite  # noqa: E402
from harness.realize import Realizer  # noqa: E402
from harness.wine_run import WineRun  # noqa: E402
from winetools import differences, snapshot  # noqa: E402

CONTROLLERS = ('VEN_C4B9&DEV_8E3A', 'VEN_C4B9&DEV_8E51')


def timeless(text):
    """The machine file without the lines that hold the time of the capture."""
    return [line for line in text.replace('\r\n', '\n').split('\n')
            if not line.startswith(('# Captured by', 'name = '))]


def unchanged(config, mode, preload, name, path, capture_exe):
    dump, plan, _ = suite.plan_machine(config, os.path.join(suite.SOURCE_DIR, path))
    if not plan.realizable:
        return ['%s is simulator-only' % path]
    work = os.path.join(config.work, 'capture', 'unchanged-' + name)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    target = os.path.join(work, 'prefix')
    prefix.copy_prefix(config.base, target)
    realizer = Realizer(config.tools, os.path.join(config.work, 'cache'))
    realized = realizer.apply(plan, prefix.PrefixSetup(target), work, config.setup_exe)
    outputs = {}

    def in_session(steps):
        s = session.Session(target, work, mode, preload, tag=config.work, env=realized.env)
        try:
            s.start(with_display=False)
            for step in steps:
                step(s)
        finally:
            s.close()
        return snapshot(target)

    def capture(arguments, key):
        def step(s):
            outputs[key] = s.run([capture_exe] + arguments, cwd=realized.cwd_unix,
                                 timeout=300, name='capture-' + key)
        return step

    first = in_session([lambda s: realizer.install_libraries(plan, target)])
    second = in_session([capture(['/?'], 'usage')])
    third = in_session([capture([], 'stdout'), capture(['machine.toml'], 'file')])

    problems = []
    itself = {d.split(': ', 1)[0] for d in differences(first, second)}
    written = os.path.relpath(os.path.join(realized.cwd_unix, 'machine.toml'), target)
    changed = [d for d in differences(second, third)
               if d.split(': ', 1)[0] not in itself and not d.startswith(written + ':')]
    problems += ['changed: ' + d for d in changed]
    for key, (code, _) in sorted(outputs.items()):
        if code != 0:
            problems.append('vntrcapture.exe (%s) ended with %d' % (key, code))
    file_path = os.path.join(realized.cwd_unix, 'machine.toml')
    if written not in third[1]:
        problems.append('machine.toml was not written')
    else:
        try:
            simulator.dump(config.sim, file_path)
        except simulator.SimulatorError as e:
            problems.append('machine.toml does not load: %s' % e)
        with open(file_path, encoding='utf-8', errors='replace') as f:
            if timeless(f.read()) != timeless(outputs['stdout'][1]):
                problems.append('the standard-output form differs from machine.toml')
    print('%s (%s): %d registry keys and %d files compared; Wine itself changed %d when a '
          'program started, the capture %d' % (
              name, path, sum(len(k) for k in third[0].values()), len(third[1]),
              len(itself), len(changed)))
    if not problems:
        shutil.rmtree(target, ignore_errors=True)
    return problems


def _captured_registry_only(view, legacy, controllers):
    """The registry state as far as a capture holds it: nothing but on the
    9x family; there the names of the keys below Enum\\PCI, and the trees
    of the controller keys (by their names as setup.exe matches them,
    letter case and all)."""
    if not legacy:
        view.state['enum_pci'] = view.state['other_device_path'] = None
        return
    view.state['enum_pci'] = [k for k in view.state.get('enum_pci', [])
                              if '\\' not in k or k.split('\\', 1)[0] in controllers]


def round_trip(config, mode, preload, name, path, capture_exe):
    machine_file = os.path.join(suite.SOURCE_DIR, path)
    dump, plan, _ = suite.plan_machine(config, machine_file)
    if not plan.realizable:
        return ['%s is simulator-only' % path]
    work = os.path.join(config.work, 'capture', 'round-trip-' + name)
    captured = {}
    as_setup = os.path.join(config.work, 'capture', 'as-setup-' + name, 'setup.exe')
    os.makedirs(os.path.dirname(as_setup), exist_ok=True)
    shutil.copyfile(capture_exe, as_setup)

    def before(s, realized):
        captured['code'], captured['text'] = s.run([as_setup], cwd=realized.cwd_unix,
                                                   timeout=300, name='vntrcapture')

    report = WineRun(config, mode, preload, plan, work, before=before).run()
    if captured.get('code') != 0:
        return ['vntrcapture.exe ended with %s (see %s)' % (
            captured.get('code'), os.path.join(work, 'vntrcapture.err'))]
    # What no capture can see, given back: the answers, and a program
    # started without standard output.
    given = 'answers = [%s]\n' % ', '.join('"%s"' % a for a in plan.answers)
    if dump.get('stdout') is False:
        given += 'stdout = false\n'
    if dump.get('update', {}).get('check') is False:
        given += 'update = { check = false }\n'
    replay = os.path.join(work, 'captured.toml')
    with open(replay, 'wb') as f:
        f.write(given.encode() + captured['text'].encode('latin-1'))
    try:
        dump2 = simulator.dump(config.sim, replay)
        doc2 = simulator.predict(config.sim, replay)
    except simulator.SimulatorError as e:
        return ['the captured file does not run: %s' % e]

    pci = compare._find(dump.get('registry', {}), 'Enum\\PCI') or {}
    controllers = {s['name'].lower() for s in pci.get('subkeys', [])
                   if s['name'].startswith(CONTROLLERS)}
    context = {
        'wine_device_ids': prefix.base_info(config.base).get('wine_device_ids', []) +
        report['summary']['wine_device_ids'],
        'machine_device_ids': [e.decode('latin-1') for d in dump2.get('devices', [])
                               if d.get('hardware_ids_hex')
                               for e in bytes.fromhex(d['hardware_ids_hex']).split(b'\0') if e],
    }
    sim, wine = compare.sim_view(dump2, doc2), compare.wine_view(report)
    for view in (sim, wine):
        _captured_registry_only(view, dump2['os']['platform'] == 1, controllers)
    left, seen = compare.compare(sim, wine, compare.load_known(suite.KNOWN), context)
    print('%s (%s): %s mode, captured %d bytes, outcome %s under Wine, %s replayed' % (
        name, path, mode.name, len(captured['text']), report.get('outcome'),
        doc2.get('outcome')))
    for k in seen:
        print('known Wine difference: %s' % k)
    if not left and not os.environ.get('VNTR_E2E_KEEP'):
        shutil.rmtree(os.path.join(work, 'prefix'), ignore_errors=True)
    return ['DIFFERENCE: ' + line for line in left]


def _terminated(signum, frame):
    raise SystemExit('wine_capture: stopped by signal %d' % signum)


def main(argv):
    signal.signal(signal.SIGTERM, _terminated)
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--config')
    parser.add_argument('--capture')
    parser.add_argument('command', choices=['unchanged', 'round-trip', 'list'])
    parser.add_argument('name', nargs='?')
    args = parser.parse_args(argv)
    machines = suite.compared_machines()
    if args.command == 'list':
        print('\n'.join(machines))
        return 0
    if not args.config or not args.capture or args.name not in machines:
        parser.error('--config, --capture and a machine of `list` are needed')
    config = runner.Config(args.config)
    for needed in (args.capture, config.setup_exe, config.sim):
        if not needed or not os.path.exists(needed):
            print('FAIL: %s is missing: build the native preset' % needed)
            return 1
    if not os.path.exists(config.base + '.ready'):
        print('FAIL: no base prefix at %s: run e2e.prepare first' % config.base)
        return 1
    try:
        mode = machine.detect()
        code = machine.enter_namespace_if_needed(mode, [sys.executable,
                                                        os.path.abspath(__file__)] + argv)
        if code is not None:
            return code
        preload = None
        if mode.name == 'qemu':
            machine.setup_emulation()
            preload = machine.preload_dir_layout(config.tools['shim32'], config.tools['shim64'],
                                                 os.path.join(config.work, 'preload'))
        run = unchanged if args.command == 'unchanged' else round_trip
        problems = run(config, mode, preload, args.name, machines[args.name],
                       os.path.abspath(args.capture))
    except (machine.ModeError, session.SessionError, simulator.SimulatorError) as e:
        problems = [str(e)]
    for p in problems:
        print('FAIL: %s' % p)
    print('%s %s' % ('FAIL' if problems else 'PASS', args.name))
    return 1 if problems else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
