"""The machines of a release check: the machine files the command line
names (folders searched for *.toml), their deterministic shards, and the
controllers each machine holds, read from the simulator's own dump of it."""

import hashlib
import os
import re
import subprocess

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


class BadCommand(Exception):
    """A command line the tool cannot take (exit status 2)."""


def collect(names):
    """The machine files named: a file as it is, a folder searched (with its
    subfolders) for *.toml, in sorted order; a file named twice, or found
    twice, runs once."""
    found, seen = [], set()
    for name in names:
        if os.path.isdir(name):
            files = sorted(os.path.join(d, f) for d, _, fs in os.walk(name)
                           for f in fs if f.lower().endswith('.toml'))
        elif os.path.exists(name):
            files = [name]
        else:
            raise BadCommand('%s: no such machine file or folder' % name)
        for f in files:
            real = os.path.realpath(f)
            if real not in seen:
                seen.add(real)
                found.append(os.path.normpath(f))
    return found


def parse_shard(text):
    """(K, N) of --shard K/N, 1 <= K <= N."""
    m = re.fullmatch(r'(\d+)/(\d+)', text or '')
    if not m or not 1 <= int(m.group(1)) <= int(m.group(2)):
        raise BadCommand("--shard takes K/N with 1 <= K <= N, not '%s'" % text)
    return int(m.group(1)), int(m.group(2))


def shard(files, k, n):
    """The K-th of N parts: every N-th file of the sorted list from the K-th
    on. The parts of one list never overlap and together hold all of it,
    whatever order the command line named the machines in."""
    return sorted(files)[k - 1::n]


_MODELS = {}


def controller_prefixes():
    """{model: (its Enum\\PCI key name prefix, its hardware ID prefix)}, as
    the program defines them (common/product.h: FIRST_MODEL, SECOND_MODEL,
    CONTROLLER_KEY, CONTROLLER_ID), through the C preprocessor: the
    simulator does not print them."""
    if not _MODELS:
        source = '#include "common/product.h"\n' + ''.join(
            '%s\nCONTROLLER_KEY(%s)\nCONTROLLER_ID(%s)\n' % (m, m, m)
            for m in ('FIRST_MODEL', 'SECOND_MODEL'))
        try:
            p = subprocess.run(['cc', '-E', '-P', '-I', SOURCE, '-x', 'c', '-'],
                               input=source.encode(), capture_output=True, timeout=60)
        except (OSError, subprocess.TimeoutExpired) as e:
            raise RuntimeError('cannot run the C preprocessor (cc) on common/product.h: %s' % e)
        # Each line: C string literals side by side, which C joins.
        lines = [''.join(re.findall(r'"((?:[^"\\]|\\.)*)"', line)).replace('\\\\', '\\')
                 for line in p.stdout.decode().splitlines() if line.strip()]
        if p.returncode != 0 or len(lines) != 6 or not all(lines):
            raise RuntimeError('cannot read the controller models from common/product.h: %s' % (
                p.stderr.decode('utf-8', 'replace').strip() or p.stdout.decode()))
        for i in range(0, 6, 3):
            _MODELS[lines[i]] = (lines[i + 1], lines[i + 2])
    return _MODELS


def _subkey(key, name):
    for k in key.get('subkeys', []):
        if k['name'].lower() == name.lower():
            return k
    return {}


def controllers(dump):
    """The controllers of a machine as `vntrsetup-sim --dump-machine`
    gives it: on the 9x family each key below Enum\\PCI whose name begins
    with a model's key name, elsewhere each present device with a
    hardware ID that begins with a model's ID. [{model, id}]."""
    models = controller_prefixes()
    found = []
    if dump['os']['platform'] == 1:
        pci = _subkey(_subkey(dump['registry'], 'Enum'), 'PCI')
        for key in pci.get('subkeys', []):
            for model, (prefix, _) in models.items():
                if key['name'].upper().startswith(prefix.upper()):
                    found.append({'model': model, 'id': key['name']})
        return found
    for device in dump['devices']:
        if not device.get('present', True):
            continue
        ids = bytes.fromhex(device.get('hardware_ids_hex') or '').split(b'\0')
        ids = [i.decode('latin-1') for i in ids if i]
        for model, (_, prefix) in models.items():
            hit = next((i for i in ids if i.upper().startswith(prefix.upper())), None)
            if hit:
                found.append({'model': model, 'id': hit})
                break
    return found


def row_id(path, answers):
    """A row's name, the same in every run and shard: the machine file's
    name, its answer path and a digest of both (two folders may hold files
    of one name)."""
    stem = re.sub(r'[^A-Za-z0-9_-]+', '_', os.path.splitext(os.path.basename(path))[0])[:60]
    path_key = '%s|%s' % (os.path.normpath(path), ','.join(answers or []))
    digest = hashlib.sha1(path_key.encode('utf-8', 'surrogateescape')).hexdigest()[:8]
    return '-'.join([stem] + list(answers or []) + [digest])
