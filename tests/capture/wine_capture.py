#!/usr/bin/env python3
"""vntrcapture.exe under Wine.

    wine_capture.py unchanged --build BUILD --work DIR

Proves that a capture changes nothing but the file it is told to write: in
a Windows 98 SE prefix (controller keys with a tree and values under
Enum\\PCI, an OtherDevicePath, an INF\\OTHER folder) and a Windows XP
prefix (present devices registered through setupapi, planted libraries in
the package folder), each with the package and a message file,
  1. the prefix's registry and files are taken down (its server ended, so
     the registry is on disk);
  2. `vntrcapture.exe /?` runs, which reads nothing: whatever Wine itself
     changes when a program starts there shows now;
  3. the prefix is taken down again; then `vntrcapture.exe` (to standard
     output) and `vntrcapture.exe machine.toml` run;
  4. the prefix is taken down a third time and compared with the second:
     every registry key and value (time stamps aside) and every file (size,
     contents, modification time) must be as they were, and the one new
     file is machine.toml. A key that Wine itself changed in step 2 as well
     is no finding (Wine 8 writes the display adapter's DriverDateData
     whenever a program starts).
The machine file then has to load in the simulator and hold what was put
into the prefix, and the standard-output form has to be the same file
(but for the time of the capture).

Exit code 0 when all holds, 1 otherwise (each difference named).
"""

import argparse
import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from winetools import ROOT, Prefix, WineError, differences, run, snapshot  # noqa: E402

CONTROLLER = r'VEN_C4B9&DEV_8E3A&SUBSYS_8E3AC4B9&REV_02'
CURRENT_VERSION = r'HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion'


def legacy(prefix, work, tools):
    prefix.version('win98')
    prefix.import_reg(work, [
        '[%s]' % CURRENT_VERSION, '"OtherDevicePath"="C:\\\\WINDOWS\\\\INF\\\\OTHER;D:\\\\DRV"', '',
        r'[HKEY_LOCAL_MACHINE\Enum\PCI\VEN_8086&DEV_7190&SUBSYS_00000000&REV_03\BUS_00]', '',
        r'[HKEY_LOCAL_MACHINE\Enum\PCI\%s\BUS_02&DEV_0C&FUNC_00\Device Parameters]' % CONTROLLER,
        '"Driver"="{4D36E97D-E325-11CE-BFC1-08002BE10318}\\\\0012"',
        '"Flags"=dword:00000001', '"Raw"=hex:00,01,02,ff', '',
    ])
    os.makedirs(prefix.drive_c('windows', 'inf', 'other'), exist_ok=True)
    return ['Enum\\PCI\\%s\\BUS_02&DEV_0C&FUNC_00\\Device Parameters' % CONTROLLER,
            "name = 'OtherDevicePath'", 'platform = 1']


def nt(prefix, work, tools):
    prefix.version('winxp')
    prefix.wine([tools['mkdevice'], 'PCI\\%s|PCI\\VEN_C4B9&DEV_8E3A' % CONTROLLER,
                 'PCI\\VEN_10EC&DEV_8139&SUBSYS_813910EC&REV_10'], what='mkdevice.exe')
    package = prefix.drive_c('VNTRPKG')
    for name in ('setupapi', 'newdev'):
        shutil.copy(tools['planted_' + name], os.path.join(package, name + '.dll'))
    return ["ids = ['PCI\\%s', 'PCI\\VEN_C4B9&DEV_8E3A']" % CONTROLLER,
            "name = 'setupapi.dll'", 'platform = 2']


def check_machine(sim, path, expected, problems):
    p, _ = run([sim, '--machine', path, '--dump-machine'], None)
    if p.returncode:
        problems.append('%s does not load: %s' % (path, p.stderr.decode(errors='replace')))
    with open(path, encoding='utf-8', errors='replace') as f:
        text = f.read()
    for line in expected:
        if line not in text:
            problems.append('%s lacks %r' % (path, line))
    return text


def unchanged(args):
    build = os.path.abspath(args.build)
    tools = {'capture': os.path.join(build, 'win', 'vntrcapture.exe'),
             'sim': os.path.join(build, 'vntrsetup-sim'),
             'mkdevice': os.path.join(build, 'e2e', 'tools', 'mkdevice.exe'),
             'planted_setupapi': os.path.join(build, 'e2e', 'tools', 'planted-setupapi.dll'),
             'planted_newdev': os.path.join(build, 'e2e', 'tools', 'planted-newdev.dll')}
    for path in tools.values():
        if not os.path.exists(path):
            print('FAIL: %s is missing: build the native preset' % path)
            return 1
    work = os.path.abspath(args.work)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    base = Prefix(os.path.join(work, 'base'))
    failed = 0
    for name, make in (('98se', legacy), ('xp', nt)):
        problems = []
        prefix = Prefix(os.path.join(work, name), base=base.path)
        package = prefix.drive_c('VNTRPKG')
        shutil.copytree(os.path.join(ROOT, 'examples', 'package'), package)
        shutil.copy(tools['capture'], package)
        with open(os.path.join(package, 'MultiLang', '0409.dat'), 'wb') as f:
            f.write(b'Failed\r\nNo controller\r\nDone\r\nReboot?\r\nUpdate?\r\n')
        with prefix:
            expected = make(prefix, work, tools)
        first = snapshot(prefix.path)
        with prefix:
            prefix.wine(['vntrcapture.exe', '/?'], cwd=package)
        second = snapshot(prefix.path)
        with prefix:
            out, _ = prefix.wine(['vntrcapture.exe'], cwd=package)
            prefix.wine(['vntrcapture.exe', 'machine.toml'], cwd=package)
        third = snapshot(prefix.path)

        wine_itself = differences(first, second)
        itself = {d.split(': ', 1)[0] for d in wine_itself}
        written = os.path.join('drive_c', 'VNTRPKG', 'machine.toml')
        changed = [d for d in differences(second, third)
                   if d.split(': ', 1)[0] not in itself and not d.startswith(written + ':')]
        if written not in third[1]:
            problems.append('machine.toml was not written')
        problems += ['changed: ' + d for d in changed]
        path = os.path.join(package, 'machine.toml')
        text = check_machine(tools['sim'], path, expected, problems)
        def timeless(t):
            return [line for line in t.replace('\r\n', '\n').split('\n')
                    if not line.startswith(('# Captured by', 'name = '))]
        if timeless(out.stdout.decode('utf-8', errors='replace')) != timeless(text):
            problems.append('the standard-output form differs from machine.toml')
        print('%s: %d registry keys and %d files compared; Wine itself changed %d when a '
              'program started, the capture %d' % (
                  name, sum(len(k) for k in third[0].values()), len(third[1]),
                  len(wine_itself), len(changed)))
        for p in problems:
            print('FAIL: %s: %s' % (name, p))
        failed += bool(problems)
        if not problems:
            shutil.rmtree(prefix.path, ignore_errors=True)
    if not failed:
        print('PASS: the captures changed nothing but machine.toml')
    return 1 if failed else 0


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    sub = parser.add_subparsers(dest='command', required=True)
    p = sub.add_parser('unchanged')
    p.add_argument('--build', required=True)
    p.add_argument('--work', required=True)
    args = parser.parse_args(argv)
    try:
        return unchanged(args)
    except (WineError, subprocess.TimeoutExpired) as e:
        print('FAIL: %s' % e)
        return 1


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
