"""The simulator's side: the resolved machine (`--dump-machine`) and the
predicted run (`--json`) of a machine file."""

import json
import subprocess

from . import dump_adapter


class SimulatorError(Exception):
    """The simulator refused the machine file or the command line; the text
    is its message."""


def _run(sim, args, timeout=120):
    p = subprocess.run([sim] + args, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                       stdin=subprocess.DEVNULL, timeout=timeout)
    return p.returncode, p.stdout.decode('utf-8'), p.stderr.decode('utf-8', 'replace')


def dump(sim, machine_file, package_dir):
    code, out, err = _run(sim, ['--machine', machine_file, '--dump-machine'])
    if code == 0:
        return json.loads(out)
    if 'unknown argument' in err and '--dump-machine' in err:
        # A simulator without the dump: the machine file is read here.
        code, _, err = _run(sim, ['--machine', machine_file, '--json', '--answer', 'no'])
        if code == 2:
            raise SimulatorError(err.strip())
        return dump_adapter.dump(machine_file, package_dir)
    raise SimulatorError(err.strip() or 'vntrsetup-sim ended with %d' % code)


def predict(sim, machine_file, answers=None):
    """The simulator's --json document of the run (any exit status but a bad
    machine file or command line)."""
    args = ['--machine', machine_file, '--json']
    for a in answers or []:
        args += ['--answer', a]
    code, out, err = _run(sim, args)
    if not out.strip():
        raise SimulatorError(err.strip() or 'vntrsetup-sim ended with %d' % code)
    doc = json.loads(out)
    doc['sim_exit_status'] = code
    return doc

