"""The simulator's side: the resolved machine (`--dump-machine`), the
predicted run (`--json`) and the file's own `[expect]` (`--check`)."""

import json
import subprocess


class SimulatorError(Exception):
    """The simulator refused the machine file or the command line; the text
    is its message."""


def _run(sim, args, timeout=120):
    p = subprocess.run([sim] + args, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                       stdin=subprocess.DEVNULL, timeout=timeout)
    return p.returncode, p.stdout.decode('utf-8'), p.stderr.decode('utf-8', 'replace')


def dump(sim, machine_file):
    code, out, err = _run(sim, ['--machine', machine_file, '--dump-machine'])
    if code != 0:
        raise SimulatorError(err.strip() or 'vntrsetup-sim ended with %d' % code)
    return json.loads(out)


def predict(sim, machine_file, answers=None):
    """The simulator's --json document of the run (any exit status but a bad
    machine file or command line)."""
    args = ['--machine', machine_file, '--json']
    for a in answers or []:
        args += ['--answer', a]
    code, out, err = _run(sim, args)
    if not out.strip():
        raise SimulatorError(err.strip() or 'vntrsetup-sim ended with %d' % code)
    return json.loads(out)


def check(sim, machine_file):
    """(agrees, what vntrsetup-sim --check printed) for the file's [expect]."""
    code, out, err = _run(sim, ['--machine', machine_file, '--check'])
    return code == 0, (out + err).strip()
