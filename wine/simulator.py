"""The simulator's side: the resolved machine (`--dump-machine`), the
predicted run (`--json`), the file's own `[expect]` (`--check`) and the
host calls it implements (`--list-calls`)."""

import json
import re
import subprocess


class SimulatorError(Exception):
    """The simulator refused the machine file or the command line; the text
    is its message, `document` its error object (--json, --dump-machine)
    when it printed one."""

    def __init__(self, message, document=None):
        super().__init__(message)
        self.document = document


def _error_object(out):
    try:
        doc = json.loads(out)
    except ValueError:
        return None
    return doc if isinstance(doc, dict) and doc.get('status') == 'refused' else None


def _run_bytes(sim, args, timeout=120, data=None):
    """Runs the simulator: (exit status, standard output as bytes, standard
    error as text); `data`, when given, is its standard input (a machine
    file given as -)."""
    try:
        p = subprocess.run([sim] + args, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                           input=data if data is not None else b'', timeout=timeout)
    except OSError as e:
        raise SimulatorError('cannot run %s: %s' % (sim, e))
    return p.returncode, p.stdout, p.stderr.decode('utf-8', 'replace')


def _run(sim, args, timeout=120, data=None):
    """_run_bytes with standard output as UTF-8 text."""
    code, out, err = _run_bytes(sim, args, timeout, data)
    return code, out.decode('utf-8'), err


def _machine(machine_file, package):
    """The arguments that name the machine file and, when given, the host
    folder that replaces the package folder's content (--package)."""
    return ['--machine', machine_file] + (['--package', package] if package else [])


def dump(sim, machine_file, data=None, package=None):
    """The resolved machine; `package`, when given, is the host folder that
    replaces the package folder's content (--package)."""
    code, out, err = _run(sim, _machine(machine_file, package) + ['--dump-machine'], data=data)
    if code != 0:
        refused = _error_object(out)
        raise SimulatorError(refused['message'] if refused else err.strip() or
                             'vntrsetup-sim ended with %d' % code, refused)
    return json.loads(out)


def file_bytes(sim, machine_file, path, data=None, package=None):
    """The bytes of the machine's file `path` (a text of the dump, one
    character per byte) as the program reads them (--dump-file): the files
    the dump gives by size and CRC-32 only."""
    code, out, err = _run_bytes(
        sim, _machine(machine_file, package) + ['--dump-file', path.encode('latin-1')], data=data)
    if code != 0:
        raise SimulatorError(err.strip() or 'vntrsetup-sim --dump-file ended with %d' % code)
    return out


def predict(sim, machine_file, answers=None, data=None, package=None):
    """The simulator's --json document of the run (any exit status but a bad
    machine file or command line)."""
    args = _machine(machine_file, package) + ['--json']
    for a in answers or []:
        args += ['--answer', a]
    code, out, err = _run(sim, args, data=data)
    if not out.strip():
        raise SimulatorError(err.strip() or 'vntrsetup-sim ended with %d' % code)
    return json.loads(out)


def check(sim, machine_file):
    """(agrees, what vntrsetup-sim --check printed) for the file's [expect]."""
    code, out, err = _run(sim, ['--machine', machine_file, '--check'])
    return code == 0, (out + err).strip()


_LISTED = {}


def host_calls(sim):
    """{host function: (library, [argument names in the call's order])} from
    `vntrsetup-sim --list-calls`, whose records column begins with the
    arguments an event of the call holds ("args: from, to, fail_if_exists;
    result; ..."); a note in parentheses after a name is left out."""
    if sim not in _LISTED:
        code, out, err = _run(sim, ['--list-calls'])
        if code != 0:
            raise SimulatorError(err.strip() or 'vntrsetup-sim --list-calls ended with %d' % code)
        _LISTED[sim] = parse_calls(out)
    return _LISTED[sim]


def parse_calls(text):
    calls = {}
    for line in text.split('\n')[1:]:
        m = re.match(r'(\w+)\s+(\S+\.dll)\s+(?:yes \(\d+\)|no)\s+(.*)$', line)
        if not m:
            continue
        records = m.group(3)
        names = []
        if records.startswith('args: '):
            listed = re.sub(r'\([^)]*\)', '', records[6:].split(';', 1)[0])
            names = [n.strip() for n in listed.split(',') if n.strip()]
        calls[m.group(1)] = (m.group(2).lower(), names)
    if not calls:
        raise SimulatorError('vntrsetup-sim --list-calls listed no host function')
    return calls
