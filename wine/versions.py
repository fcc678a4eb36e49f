"""The Wine and qemu this package was checked with, and what a machine has.

Every comparison of the end-to-end suite was made with Debian 12's Wine 8.0
(packages wine and wine32) and qemu-user-static 7.2: the known Wine
differences (tests/e2e/known-differences.toml), the settings Wine cannot hold
(realize.py) and the preload library that lets Wine run under qemu
(shim/noreplace.c) all describe those versions.

Another version is used, with a warning that each report and the suite's
output print first: a newer Wine may well run every machine alike, and where
it does not, the comparison names the difference and the warning says why it
may be Wine's. A refusal would keep anyone on another distribution from
seeing the real boxes at all.
"""

import re
import subprocess

CHECKED = {'wine': (8, 0), 'qemu': (7, 2)}
PACKAGES = {'wine': 'Debian 12 wine/wine32 8.0', 'qemu': 'Debian 12 qemu-user-static 7.2'}


def parse(text):
    """(major, minor) of a version line such as "wine-8.0 (Debian 8.0~repack-4)"
    or "qemu-i386 version 7.2.22 (Debian ...)"; None when there is none."""
    m = re.search(r'(?:wine-|version )(\d+)\.(\d+)', text or '')
    return (int(m.group(1)), int(m.group(2))) if m else None


def warning(tool, text):
    """A line saying that `tool` ('wine' or 'qemu') is not the checked
    version, or None when it is."""
    found = parse(text)
    if found == CHECKED[tool]:
        return None
    shown = '%d.%d' % found if found else 'an unknown version (%r)' % (text or '').strip()[:60]
    return ('%s is %s, not %d.%d (%s), which the comparisons were checked with: a difference '
            'may be the other version\'s' % (tool, shown, *CHECKED[tool], PACKAGES[tool]))


def qemu_version(qemu):
    try:
        p = subprocess.run([qemu, '--version'], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                           timeout=30)
    except (OSError, subprocess.TimeoutExpired) as e:
        return str(e)
    return p.stdout.decode('utf-8', 'replace').split('\n')[0]
