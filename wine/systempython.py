"""The tools' interpreter: Debian's python3-* packages (pefile, jinja2,
tqdm) are seen by the system's interpreter only, not by a python3 of pyenv
or a virtual environment earlier on PATH. A tool that misses one starts
itself again under the system's interpreter, once."""

import importlib
import os
import sys

SYSTEM_PYTHON = '/usr/bin/python3'


def use_system_python(script, modules, flag):
    """Starts `script` again under SYSTEM_PYTHON, with the same arguments,
    when one of `modules` does not import here; `flag` is the environment
    variable that marks the second start, which never starts a third. A
    module still missing then is the caller's to report."""
    try:
        for name in modules:
            importlib.import_module(name)
    except ImportError:
        if os.path.exists(SYSTEM_PYTHON) and not os.environ.get(flag) and \
                os.path.realpath(sys.executable) != os.path.realpath(SYSTEM_PYTHON):
            os.environ[flag] = '1'
            os.execv(SYSTEM_PYTHON, [SYSTEM_PYTHON, os.path.abspath(script)] + sys.argv[1:])
