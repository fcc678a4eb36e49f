#!/usr/bin/env python3
"""Times vntrcapture.exe under Wine on large machines, and the simulator
loading what it wrote. A benchmark run by hand, not a test:

    tests/bench/capture_wine.py [--build build/native] [--count 10000]

Makes a scratch Wine prefix in BUILD/bench-capture (removed first), then
  - in Windows 98 SE mode: COUNT keys under HKLM\\Enum\\PCI, one in ten a
    controller key with an instance and a value;
  - in Windows XP mode: COUNT present devices (mkdevice.exe of the
    end-to-end tools, in batches);
and for each runs vntrcapture.exe in the package folder with the machine
file's name as argument, timing the whole `wine vntrcapture.exe` while the
prefix's wineserver keeps running (so Wine's own start-up is in the figure,
its server's is not). Then it times `vntrsetup-sim --dump-machine` on the
captured file (reading and building the machine, the JSON dump to
/dev/null) and a full `vntrsetup-sim` run of it.

Prints one line per machine; exit code 1 when a capture fails or its file
does not load.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))


def wine_env(prefix):
    env = dict(os.environ, WINEPREFIX=prefix, WINEARCH='win32', WINEDEBUG='-all')
    env['WINEDLLOVERRIDES'] = 'mscoree,mshtml='  # no installer dialogs
    env.pop('DISPLAY', None)
    return env


def run(args, env, cwd=None, timeout=1800):
    """Runs a command; its output goes through files, not pipes: Wine's
    background services inherit the handles and would hold a pipe open."""
    started = time.monotonic()
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        code = subprocess.run(args, env=env, cwd=cwd, stdout=out, stderr=err,
                              timeout=timeout).returncode
        out.seek(0)
        err.seek(0)
        p = subprocess.CompletedProcess(args, code, out.read(), err.read())
    return p, time.monotonic() - started


def set_version(env, version):
    p, _ = run(['wine', 'reg', 'add', r'HKCU\Software\Wine', '/v', 'Version', '/d', version,
                '/f'], env)
    if p.returncode:
        sys.exit('capture_wine: wine reg add failed: %s' % p.stderr.decode(errors='replace'))


def pci_keys(env, work, count):
    lines = ['REGEDIT4', '']
    for i in range(count):
        if i % 10 == 9:
            key = r'HKEY_LOCAL_MACHINE\Enum\PCI\VEN_C4B9&DEV_8E3A&SUBSYS_%08d\BUS_02&DEV_0C' % i
            lines += ['[%s]' % key, '"Driver"="x"', '']
        else:
            lines += [r'[HKEY_LOCAL_MACHINE\Enum\PCI\VEN_8086&DEV_%06d]' % i, '']
    path = os.path.join(work, 'keys.reg')
    with open(path, 'w', newline='\r\n') as f:
        f.write('\n'.join(lines))
    p, seconds = run(['wine', 'regedit', '/S', 'Z:' + path.replace('/', '\\')], env)
    if p.returncode:
        sys.exit('capture_wine: regedit failed: %s' % p.stderr.decode(errors='replace'))
    return seconds


def devices(env, mkdevice, count):
    started = time.monotonic()
    batch = 200
    for first in range(0, count, batch):
        ids = ['PCI\\VEN_8086&DEV_%04X&SUBSYS_%08d|PCI\\VEN_8086&DEV_1234' % (i % 65536, i)
               for i in range(first, min(count, first + batch))]
        p, _ = run(['wine', mkdevice] + ids, env)
        if p.returncode:
            sys.exit('capture_wine: mkdevice.exe failed: %s' % p.stdout.decode(errors='replace'))
    return time.monotonic() - started


def capture(env, prefix, capture_exe, name):
    package = os.path.join(prefix, 'drive_c', 'VNTRPKG')
    if not os.path.isdir(package):
        shutil.copytree(os.path.join(ROOT, 'examples', 'package'), package)
        shutil.copy(capture_exe, package)
    out = os.path.join(package, name)
    if os.path.exists(out):
        os.remove(out)
    p, seconds = run(['wine', 'vntrcapture.exe', name], env, cwd=package)
    if p.returncode or not os.path.exists(out):
        sys.exit('capture_wine: vntrcapture.exe failed (%d): %s' % (
            p.returncode, p.stderr.decode(errors='replace')))
    return out, seconds


def simulate(sim, path, answers):
    p, dump = run([sim, '--machine', path, '--dump-machine'], None)
    if p.returncode:
        sys.exit('capture_wine: %s does not load: %s' % (path, p.stderr.decode(errors='replace')))
    args = [sim, '--machine', path]
    for a in answers:
        args += ['--answer', a]
    p, full = run(args, None)
    if p.returncode:
        sys.exit('capture_wine: %s does not run: %s' % (path, p.stderr.decode(errors='replace')))
    return dump, full


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--build', default=os.path.join(ROOT, 'build', 'native'))
    parser.add_argument('--count', type=int, default=10000)
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    capture_exe = os.path.join(build, 'win', 'vntrcapture.exe')
    mkdevice = os.path.join(build, 'e2e', 'tools', 'mkdevice.exe')
    sim = os.path.join(build, 'vntrsetup-sim')
    for needed in (capture_exe, mkdevice, sim):
        if not os.path.exists(needed):
            sys.exit('capture_wine: %s is missing: build the native preset first' % needed)

    work = os.path.join(build, 'bench-capture')
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    prefix = os.path.join(work, 'prefix')
    env = wine_env(prefix)
    server = None
    try:
        run(['wineboot', '--init'], env)
        # One server for the whole run: each wine command then starts only
        # the program, as a user's second program would.
        server = subprocess.Popen(['wineserver', '--persistent', '--foreground'], env=env,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        print('Wine %s, prefix %s' % (run(['wine', '--version'], env)[0].stdout.decode().strip(),
                                       prefix))

        set_version(env, 'win98')
        made = pci_keys(env, work, args.count)
        path, seconds = capture(env, prefix, capture_exe, 'keys98se.toml')
        dump, full = simulate(sim, path, ['yes', 'no'])
        print('Windows 98 SE, %d Enum\\PCI keys (made in %.1f s): capture %.2f s, %d bytes; '
              'simulator load %.2f s, run %.2f s' % (args.count, made, seconds,
                                                       os.path.getsize(path), dump, full))

        set_version(env, 'winxp')
        made = devices(env, mkdevice, args.count)
        path, seconds = capture(env, prefix, capture_exe, 'devicesxp.toml')
        dump, full = simulate(sim, path, ['yes'])
        print('Windows XP, %d present devices (made in %.1f s): capture %.2f s, %d bytes; '
              'simulator load %.2f s, run %.2f s' % (args.count, made, seconds,
                                                       os.path.getsize(path), dump, full))
    finally:
        subprocess.run(['wineserver', '-k'], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        if server:
            try:
                server.wait(timeout=30)
            except subprocess.TimeoutExpired:
                server.kill()
    return 0


if __name__ == '__main__':
    sys.exit(main())
