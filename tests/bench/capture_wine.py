#!/usr/bin/env python3
"""Times vntrcapture.exe under Wine on large machines, and the simulator
loading what it wrote. A benchmark run by hand, not a test:

    tests/bench/capture_wine.py [--build build/native] [--count 10000]

Makes a scratch Wine prefix in BUILD/bench-capture (removed first), then
  - in Windows 98 SE mode: COUNT keys under HKLM\\Enum\\PCI, one in ten a
    controller key with an instance and a value;
  - in Windows XP mode: COUNT present devices, written into the registry as
    SetupDiRegisterDeviceInfo leaves them (Wine lists every registered
    device as present; registering 10,000 through setupapi takes hours);
and for each runs vntrcapture.exe in the package folder with the machine
file's name as argument, timing the whole `wine vntrcapture.exe` while the
prefix's wineserver keeps running (so Wine's own start-up is in the figure,
its server's is not). Then it times `vntrsetup-sim --dump-machine` on the
captured file (reading and building the machine, the JSON dump to
/dev/null) and a full `vntrsetup-sim` run of it.

Prints one line per machine; exits with a message when a capture fails or
its file does not load.
"""

import argparse
import os
import shutil
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), 'capture'))

from winetools import ROOT, Prefix, WineError, run  # noqa: E402

SYSTEM_CLASS = '{4D36E97D-E325-11CE-BFC1-08002BE10318}'


def pci_keys(count):
    lines = []
    for i in range(count):
        if i % 10 == 9:
            lines += [r'[HKEY_LOCAL_MACHINE\Enum\PCI\VEN_C4B9&DEV_8E3A&SUBSYS_%08d\BUS_02&DEV_0C]'
                      % i, '"Driver"="x"', '']
        else:
            lines += [r'[HKEY_LOCAL_MACHINE\Enum\PCI\VEN_8086&DEV_%06d]' % i, '']
    return lines


def device_keys(count):
    lines = []
    for i in range(count):
        ids = b'PCI\\VEN_8086&DEV_%04X&SUBSYS_%08d\0PCI\\VEN_8086&DEV_1234\0\0' % (i % 65536, i)
        lines += [r'[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Enum\ROOT\VNTR_BENCH\%05d]' % i,
                  '"Class"="System"', '"ClassGUID"="%s"' % SYSTEM_CLASS,
                  '"HardwareId"=hex(7):' + ','.join('%02x' % b for b in ids), '']
    return lines


def capture(prefix, capture_exe, name):
    package = prefix.drive_c('VNTRPKG')
    if not os.path.isdir(package):
        shutil.copytree(os.path.join(ROOT, 'examples', 'package'), package)
        shutil.copy(capture_exe, package)
    out = os.path.join(package, name)
    _, seconds = prefix.wine(['vntrcapture.exe', name], cwd=package)
    return out, seconds


def classdevs_seconds(prefix, work):
    """How long Wine's SetupDiGetClassDevsA takes by itself on the prefix
    (tests/bench/classdevs_probe.c, built here with mingw)."""
    probe = os.path.join(work, 'classdevs_probe.exe')
    if not os.path.exists(probe):
        p, _ = run(['i686-w64-mingw32-gcc', '-O2', '-o', probe,
                    os.path.join(HERE, 'classdevs_probe.c'), '-lsetupapi'], None)
        if p.returncode:
            raise WineError('cannot build the probe: %s' % p.stderr.decode(errors='replace'))
    out = prefix.wine([probe])[0].stdout.decode().split()
    return int(out[1]) / 1000.0


def simulate(sim, path, answers):
    p, dump = run([sim, '--machine', path, '--dump-machine'], None)
    if p.returncode:
        raise WineError('%s does not load: %s' % (path, p.stderr.decode(errors='replace')))
    args = [sim, '--machine', path]
    for a in answers:
        args += ['--answer', a]
    p, full = run(args, None)
    if p.returncode:
        raise WineError('%s does not run: %s' % (path, p.stderr.decode(errors='replace')))
    return dump, full


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--build', default=os.path.join(ROOT, 'build', 'native'))
    parser.add_argument('--count', type=int, default=10000)
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    capture_exe = os.path.join(build, 'win', 'vntrcapture.exe')
    sim = os.path.join(build, 'vntrsetup-sim')
    for needed in (capture_exe, sim):
        if not os.path.exists(needed):
            sys.exit('capture_wine: %s is missing: build the native preset first' % needed)
    work = os.path.join(build, 'bench-capture')
    os.makedirs(work, exist_ok=True)
    try:
        base = Prefix(os.path.join(work, 'base'))
        cases = [('win98', 'Windows 98 SE', '%d Enum\\PCI keys', pci_keys, ['yes', 'no']),
                 ('winxp', 'Windows XP', '%d present devices', device_keys, ['yes'])]
        for mode, windows, what, lines, answers in cases:
            # A prefix of its own each: the 9x keys are no devices of XP's.
            with Prefix(os.path.join(work, mode), base=base.path) as prefix:
                if mode == 'win98':
                    print('%s, prefixes in %s' % (
                        prefix.wine(['--version'])[0].stdout.decode().strip(), work))
                prefix.version(mode)
                prefix.import_reg(work, lines(args.count))
                path, seconds = capture(prefix, capture_exe, mode + '.toml')
                dump, full = simulate(sim, path, answers)
                print('%s, %s: capture %.2f s, %d bytes; simulator load %.2f s, run %.2f s' %
                      (windows, what % args.count, seconds, os.path.getsize(path), dump, full))
                if mode == 'winxp':
                    print('  Wine\'s SetupDiGetClassDevsA by itself on that prefix: %.2f s' %
                          classdevs_seconds(prefix, work))
    except WineError as e:
        sys.exit('capture_wine: %s' % e)
    return 0


if __name__ == '__main__':
    sys.exit(main())
