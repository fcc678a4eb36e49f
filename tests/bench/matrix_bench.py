#!/usr/bin/env python3
"""The release check over a generated archive of machines: N machine files
(default 10,000) of every Windows version the program handles, seven
locales, none, one or two controllers among 2 to 12 other devices or keys,
one in twenty without answers (so it runs once per answer path), then
tools/vntrsetup-matrix with the example package as baseline and a
candidate without VNTRXP.INF. Not a test: run it by hand, timed from
outside (see README.md):

    tests/bench/matrix_bench.py [--machines N] [-j J] [--keep DIR]

It prints the rows and the check's exit status; the machine files and the
page are removed afterwards unless --keep names a folder for them."""

import argparse
import os
import random
import shutil
import subprocess
import sys
import tempfile

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
LOCALES = ['0x0409', '0x0407', '0x040c', '0x0411', '0x0412', '0x0804', '0x0404']
MODELS = ['8E3A', '8E51']


def machine(i, rng):
    """One machine file's text."""
    os_name = ['98', '98se', 'me', '2000', 'xp', 'xp'][i % 6]
    models = rng.sample(MODELS, rng.choice([0, 1, 1, 1, 2]))
    others = ['VEN_%04X&DEV_%04X&SUBSYS_00000000&REV_%02X' % (
        rng.randrange(0x1000, 0x9000), rng.randrange(0x10000), rng.randrange(256))
        for _ in range(rng.randrange(2, 13))]
    ids = others + ['VEN_C4B9&DEV_%s&SUBSYS_%sC4B9&REV_02' % (m, m) for m in models]
    rng.shuffle(ids)
    lines = ['name = "generated machine %d"' % i, 'os = "%s"' % os_name,
             'locale = %s' % rng.choice(LOCALES), "current_dir = 'C:\\VNTR%d'" % (i % 7)]
    if i % 20:
        lines.append('answers = ["yes", "%s"]' % rng.choice(['yes', 'no']))
    if os_name in ('98', '98se', 'me'):
        lines.append('keys = [')
        lines += ["    { path = 'Enum\\PCI\\%s\\BUS_02&DEV_%02X&FUNC_00' }," % (d, n)
                  for n, d in enumerate(ids)]
        lines.append(']')
    else:
        for d in ids:
            lines += ['', '[[devices]]', "ids = ['PCI\\%s', 'PCI\\%s']" % (d, d.rsplit('&', 1)[0])]
    return '\n'.join(lines) + '\n'


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--machines', type=int, default=10000)
    parser.add_argument('-j', type=int, default=2)
    parser.add_argument('--keep')
    args = parser.parse_args()
    work = args.keep or tempfile.mkdtemp(prefix='matrix-bench-')
    try:
        folder = os.path.join(work, 'machines')
        os.makedirs(folder, exist_ok=True)
        rng = random.Random(24)
        for i in range(args.machines):
            with open(os.path.join(folder, 'm%05d.toml' % i), 'w', encoding='utf-8') as f:
                f.write(machine(i, rng))
        candidate = os.path.join(work, 'candidate')
        shutil.copytree(os.path.join(SOURCE, 'examples', 'package'), candidate,
                        dirs_exist_ok=True)
        if os.path.exists(os.path.join(candidate, 'VNTRXP.INF')):
            os.remove(os.path.join(candidate, 'VNTRXP.INF'))
        out = os.path.join(work, 'out')
        shutil.rmtree(out, ignore_errors=True)
        p = subprocess.run([sys.executable, os.path.join(SOURCE, 'tools', 'vntrsetup-matrix'),
                            '--package', candidate, '--baseline',
                            os.path.join(SOURCE, 'examples', 'package'), '-j', str(args.j),
                            '--out', out, folder], stdout=subprocess.DEVNULL,
                           stderr=subprocess.PIPE, text=True)
        print(p.stderr.strip().splitlines()[-2] if p.stderr.strip() else '(no summary)')
        print('exit status %d' % p.returncode)
        return 0 if p.returncode in (0, 1) else p.returncode
    finally:
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == '__main__':
    sys.exit(main())
