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
VNTR_E2E_KEEP=1 keeps each scenario's prefix after it passed.
"""

import argparse
import os
import signal
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import machine, prefix, runner, session, suite  # noqa: E402
import scenarios  # noqa: E402


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
        for name in list(suite.compared_machines()) + [s.name for s in scenarios.PROBES]:
            print(name)
        return 0
    if not args.config:
        parser.error('--config is needed')
    config = runner.Config(args.config)

    if args.command == 'check-clean':
        # Reported, then ended, so that the next run starts clean.
        left = session.processes_of_prefix_tree(config.work)
        for pid, what in left:
            print('left running: pid %d %s' % (pid, what))
        session.end_processes(pid for pid, _ in left)
        print('%d processes of the suite left running' % len(left))
        return 1 if left else 0

    try:
        mode = machine.detect()
    except machine.ModeError as e:
        print('e2e: 32-bit Wine cannot run on this machine: %s' % e)
        return 1
    if args.command == 'mode':
        print(mode.describe())
        return 0

    try:
        code, preload = machine.enter(mode, config,
                                      [sys.executable, os.path.abspath(__file__)] + argv)
        if code is not None:
            return code
        if args.command == 'prepare':
            print('mode: ' + mode.describe())
            print(prefix.prepare_base(config.base, os.path.join(config.work, 'base-work'), mode,
                                      preload, config.work, config.tools['listdevices']))
            return 0
        if args.command == 'classify':
            passed, lines = suite.classify(config)
            print('\n'.join(lines))
            return 0 if passed else 1

        if not os.path.exists(config.base + '.ready'):
            print('e2e: no base prefix at %s: run the prepare step first' % config.base)
            return 1
        machines = suite.compared_machines()
        if args.name in machines:
            if not config.setup_exe or not os.path.exists(config.setup_exe):
                print('e2e: setup.exe is not built (%s)' % (config.setup_exe or 'not configured'))
                return 1
            capture_exe = config.tools.get('capture')
            if capture_exe and not os.path.exists(capture_exe):
                print('e2e: vntrcapture.exe is missing: build it first (%s)' % capture_exe)
                return 1
            print('%s: %s mode' % (args.name, mode.describe()))
            passed, report = suite.compare_machine(config, mode, preload, args.name,
                                                   machines[args.name])
            print('\n'.join(report))
            return 0 if passed else 1
        scenario = scenarios.by_name(args.name or '')
        program = config.tools[scenario.program]
        if not program:
            print('e2e: this build tree does not cross-build setup.exe (VNTR_WINDOWS_BUILD=OFF)')
            return 1
        if not os.path.exists(program):
            print('e2e: %s is missing: build it first' % program)
            return 1
        print('%s: %s mode' % (scenario.name, mode.describe()))
        passed, report = runner.run_scenario(scenario, config, mode, preload)
        print('\n'.join(report))
        return 0 if passed else 1
    except (machine.ModeError, session.SessionError, KeyError) as e:
        print('e2e: %s' % e)
        return 1


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
