#!/usr/bin/env python3
"""End-to-end tests of setup.exe under Wine.

    e2e.py --config CONFIG mode          how 32-bit Wine runs here (and why)
    e2e.py --config CONFIG prepare       makes the base prefix (once)
    e2e.py --config CONFIG run NAME      compares one machine (simulator and
                                         Wine), or runs one probe
    e2e.py --config CONFIG classify      checks simulator-only.toml
    e2e.py --config CONFIG check-clean   fails if any process of the suite is left
    e2e.py list                          machine and probe names, one a line

CONFIG is the JSON file the build writes (build/native/e2e/config.json).
Environment: VNTR_E2E_MODE=auto|native|qemu chooses how Wine runs;
VNTR_E2E_KEEP=1 keeps each machine's prefix after it passed.
"""

import argparse
import os
import signal
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(os.path.dirname(HERE)))

import probes  # noqa: E402
import suite  # noqa: E402
from wine import mode as wine_mode, prefix, session  # noqa: E402
from wine.config import Config  # noqa: E402
from wine.pe import PeError  # noqa: E402
from wine.simulator import SimulatorError  # noqa: E402


def _terminated(signum, frame):
    # CTest's time-out: unwind so that the session's clean-up runs.
    raise SystemExit('e2e: stopped by signal %d' % signum)


def main(argv):
    signal.signal(signal.SIGTERM, _terminated)
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--config')
    parser.add_argument('command',
                        choices=['mode', 'prepare', 'run', 'classify', 'check-clean', 'list'])
    parser.add_argument('name', nargs='?')
    args = parser.parse_args(argv)

    if args.command == 'list':
        for name in list(suite.compared_machines()) + list(probes.PROBES):
            print(name)
        return 0
    if not args.config:
        parser.error('--config is needed')
    config = Config(args.config)

    if args.command == 'check-clean':
        # What ends by itself within seconds was not left running. The rest
        # is reported, then ended, so that the next run starts clean.
        left = session.still_there(lambda: session.processes_of_prefix_tree(config.work), 10)
        for pid, what in left:
            print('left running: pid %d %s' % (pid, what))
        session.end_processes(pid for pid, _ in left)
        print('%d processes of the suite left running' % len(left))
        return 1 if left else 0

    try:
        mode = wine_mode.detect()
    except wine_mode.ModeError as e:
        print('e2e: 32-bit Wine cannot run on this machine: %s' % e)
        return 1
    if args.command == 'mode':
        print(mode.describe())
        for w in prefix.version_warnings(config.base, mode):
            print('warning: ' + w)
        return 0

    try:
        code, preload = wine_mode.enter(mode, config,
                                        [sys.executable, os.path.abspath(__file__)] + argv)
        if code is not None:
            return code
        if args.command == 'prepare':
            print('mode: ' + mode.describe())
            print(prefix.prepare_base(config.base, os.path.join(config.work, 'base-work'), mode,
                                      preload, config.work, config.tools['listdevices']))
            for w in prefix.version_warnings(config.base, mode):
                print('warning: ' + w)
            return 0
        if args.command == 'classify':
            passed, lines = suite.classify(config)
            print('\n'.join(lines))
            return 0 if passed else 1

        if not os.path.exists(config.base + '.ready'):
            print('e2e: no base prefix at %s: run the prepare step first' % config.base)
            return 1
        machines = suite.compared_machines()
        if args.name not in machines and args.name not in probes.PROBES:
            print('e2e: no machine or probe named %s' % args.name)
            return 1
        program = probes.PROBES[args.name].program if args.name in probes.PROBES else 'setup'
        exe = config.setup_exe if program == 'setup' else config.tools.get(program)
        if not exe:
            print('e2e: this build tree does not cross-build setup.exe (VNTR_WINDOWS_BUILD=OFF)')
            return 1
        for needed in (exe, config.tools.get('capture')):
            if needed and not os.path.exists(needed):
                print('e2e: %s is missing: build it first' % needed)
                return 1
        print('%s: %s mode' % (args.name, mode.describe()))
        for w in prefix.version_warnings(config.base, mode):
            print('warning: ' + w)
        if args.name in machines:
            passed, report = suite.compare_machine(config, mode, preload, args.name,
                                                   machines[args.name])
        else:
            passed, report = probes.run_probe(config, mode, preload, args.name)
        print('\n'.join(report))
        return 0 if passed else 1
    except (wine_mode.ModeError, session.SessionError, SimulatorError, PeError) as e:
        print('e2e: %s' % e)
        return 1


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
