#!/usr/bin/env python3
"""vntrcapture.exe under Wine, on prefixes the wine/ package realizes from
machine files (the end-to-end tests' base prefix, mode and sessions).

    wine_capture.py --config CONFIG --capture EXE unchanged NAME

NAME is a machine of the simulator-Wine comparison. (The round trip, a
capture of each realized machine replayed by the simulator and compared
with the real setup.exe's run there, is part of each machine's comparison
run: tests/e2e/captured.py.)

unchanged: a capture changes nothing but the file it is told to write. The
machine is realized; then the prefix's registry and files are taken down
(each time with its server ended, so the registry is on disk) after a
session that only installs its libraries, after one that runs
`vntrcapture.exe /?` (which reads nothing: whatever Wine itself changes when
a program starts shows there), and after one that runs `vntrcapture.exe`
(to standard output) and `vntrcapture.exe machine.toml`. Each session
waits, before it ends, until Wine's own processes have settled (used no
processor time for a while): Wine's services go on with their start-up
work after a short program has ended (registering its HID devices,
removing an empty NetworkCards key), and a session cut short would leave
that work to the next one, where it would look like the capture's doing.
Between the last two nothing may differ (keys and values, time stamps aside; files by size,
contents and modification time) but the new machine.toml and what Wine
itself changed before; machine.toml must load in the simulator and equal
the standard-output form but for the time of the capture.

Exit code 0 when all holds, 1 otherwise, each difference named.
"""

import argparse
import os
import shutil
import signal
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(SOURCE, 'tests', 'e2e'))
sys.path.insert(0, SOURCE)
sys.path.insert(0, HERE)

import suite  # noqa: E402
from wine import mode as wine_mode, prefix, session, simulator  # noqa: E402
from wine.config import Config  # noqa: E402
from wine.realize import Realizer  # noqa: E402
from wine.run import plan_machine  # noqa: E402
from winetools import differences, snapshot  # noqa: E402


def timeless(text):
    """The machine file without the lines that hold the time of the capture."""
    return [line for line in text.replace('\r\n', '\n').split('\n')
            if not line.startswith(('# Captured by', 'name = '))]


def unchanged(config, mode, preload, name, path, capture_exe):
    _, plan, _ = plan_machine(config, os.path.join(SOURCE, path))
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

    def in_session(steps, keep=True):
        s = session.Session(target, work, mode, preload, tag=config.work, env=realized.env)
        try:
            s.start(with_display=False)
            if keep and config.tools.get('keeper'):
                s.keep(config.tools['keeper'])  # one boot for the session, as in a comparison run
            for step in steps:
                step(s)
            s.settle()
        finally:
            s.close()
        for note in s.notes:
            print('note: ' + note)
        return snapshot(target)

    def capture(arguments, key):
        def step(s):
            outputs[key] = s.run([capture_exe] + arguments, cwd=realized.cwd_unix,
                                 timeout=300, name='capture-' + key)
        return step

    first = in_session([lambda s: realizer.install_libraries(plan, target)], keep=False)
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
        # Both in UTF-8: the session gives standard output one character per byte.
        printed = outputs['stdout'][1].encode('latin-1').decode('utf-8', 'replace')
        with open(file_path, encoding='utf-8', errors='replace') as f:
            if timeless(f.read()) != timeless(printed):
                problems.append('the standard-output form differs from machine.toml')
    print('%s (%s): %d registry keys and %d files compared; Wine itself changed %d when a '
          'program started, the capture %d' % (
              name, path, sum(len(k) for k in third[0].values()), len(third[1]),
              len(itself), len(changed)))
    if not problems:
        shutil.rmtree(target, ignore_errors=True)
    return problems


def _terminated(signum, frame):
    raise SystemExit('wine_capture: stopped by signal %d' % signum)


def main(argv):
    signal.signal(signal.SIGTERM, _terminated)
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--config')
    parser.add_argument('--capture')
    parser.add_argument('command', choices=['unchanged'])
    parser.add_argument('name', nargs='?')
    args = parser.parse_args(argv)
    machines = suite.compared_machines()
    if not args.config or not args.capture or args.name not in machines:
        parser.error('--config, --capture and a machine of the comparison are needed')
    config = Config(args.config)
    for needed in (args.capture, config.setup_exe, config.sim):
        if not needed or not os.path.exists(needed):
            print('FAIL: %s is missing: build the native preset' % needed)
            return 1
    if not os.path.exists(config.base + '.ready'):
        print('FAIL: no base prefix at %s: run e2e.prepare first' % config.base)
        return 1
    try:
        mode = wine_mode.detect()
        code, preload = wine_mode.enter(mode, config,
                                        [sys.executable, os.path.abspath(__file__)] + argv)
        if code is not None:
            return code
        for w in prefix.version_warnings(config.base, mode):
            print('warning: ' + w)
        problems = unchanged(config, mode, preload, args.name, machines[args.name],
                             os.path.abspath(args.capture))
    except (wine_mode.ModeError, session.SessionError, simulator.SimulatorError) as e:
        problems = [str(e)]
    for p in problems:
        print('FAIL: %s' % p)
    print('%s %s' % ('FAIL' if problems else 'PASS', args.name))
    return 1 if problems else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
