"""The capture round trip inside a machine's comparison run: vntrcapture.exe
runs in the realized prefix just ahead of the real setup.exe, in the same
session, under the name setup.exe (from a folder of its own: the realizer
gives a machine's libraries to programs of that name through DllOverrides,
and the capture must see the machine setup.exe sees). The captured file,
given back what no capture can see, is run by the simulator and compared
with setup.exe's run as the machine file's own run is compared.

The registry is compared where the capture holds it: on Windows 98/98 SE/ME
(elsewhere setup.exe reads none), the name of each key below Enum\\PCI and
each controller key's tree (setup.exe opens no other key's subkeys)."""

import os
import re
import shutil
import subprocess

from wine import compare, prefix, simulator


def controller_keys(config):
    """What a controller's key name under Enum\\PCI begins with, for each
    model, as the program defines it (common/product.h, CONTROLLER_KEY),
    through the C preprocessor: the simulator does not print it."""
    source = '#include "common/product.h"\nCONTROLLER_KEY(FIRST_MODEL)\nCONTROLLER_KEY(SECOND_MODEL)\n'
    p = subprocess.run([config.tools['mingw_cc'], '-E', '-P', '-I', config.source, '-x', 'c', '-'],
                       input=source.encode(), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                       timeout=60)
    keys = tuple(''.join(re.findall(r'"([^"]*)"', line))
                 for line in p.stdout.decode().splitlines() if line.strip())
    if p.returncode != 0 or len(keys) != 2 or not all(keys):
        raise RuntimeError('cannot read the controller keys from common/product.h: %s' % (
            p.stderr.decode('utf-8', 'replace').strip() or p.stdout.decode()))
    return keys


class Capture:
    """Runs the capture as the hook ahead of setup.exe and keeps its output."""

    def __init__(self, capture_exe, folder):
        # Outside the run's work folder, which each attempt starts afresh.
        self.as_setup = os.path.join(folder, 'setup.exe')
        os.makedirs(os.path.dirname(self.as_setup), exist_ok=True)
        shutil.copyfile(capture_exe, self.as_setup)
        self.code = self.text = None

    def before(self, session, realized):
        self.code, self.text = session.run([self.as_setup], cwd=realized.cwd_unix, timeout=300,
                                           name='vntrcapture')


def given_back(dump, answers):
    """The settings no capture can see: the answers, a program started
    without standard output, an update that skips its own check."""
    text = 'answers = [%s]\n' % ', '.join('"%s"' % a for a in answers)
    if dump.get('stdout') is False:
        text += 'stdout = false\n'
    if dump.get('update', {}).get('check') is False:
        text += 'update = { check = false }\n'
    return text


def _captured_registry_only(view, legacy, controllers):
    if not legacy:
        view.state['enum_pci'] = view.state['other_device_path'] = None
        return
    view.state['enum_pci'] = [k for k in view.state.get('enum_pci', [])
                              if '\\' not in k or k.split('\\', 1)[0] in controllers]


def device_ids(dump):
    return [e.decode('latin-1') for d in dump.get('devices', []) if d.get('hardware_ids_hex')
            for e in bytes.fromhex(d['hardware_ids_hex']).split(b'\0') if e]


def replay(config, capture, dump, plan, report, work, known, relay):
    """Compares the simulated replay of the capture with setup.exe's run
    under Wine: (report lines, differences left)."""
    if capture.code != 0:
        return [], ['vntrcapture.exe ended with %s (see %s)' % (
            capture.code, os.path.join(work, 'vntrcapture.err'))]
    replayed = os.path.join(work, 'captured.toml')
    with open(replayed, 'wb') as f:
        f.write(given_back(dump, plan.answers).encode() + capture.text.encode('latin-1'))
    try:
        dump2 = simulator.dump(config.sim, replayed)
        doc2 = simulator.predict(config.sim, replayed)
    except simulator.SimulatorError as e:
        return [], ['the captured file does not run: %s' % e]
    pci = compare._find(dump.get('registry', {}), 'Enum\\PCI') or {}
    keys = controller_keys(config)
    controllers = {s['name'].lower() for s in pci.get('subkeys', []) if s['name'].startswith(keys)}
    context = {
        'wine_device_ids': prefix.base_info(config.base).get('wine_device_ids', []) +
        report['summary']['wine_device_ids'],
        'machine_device_ids': device_ids(dump2),
        'locale': dump2.get('locale', 0x0409),
    }
    sim, wine = compare.sim_view(dump2, doc2, relay), compare.wine_view(report)
    for view in (sim, wine):
        _captured_registry_only(view, dump2['os']['platform'] == 1, controllers)
        if plan.update_left_out:  # the replay predicts Windows' refusal too
            compare.leave_out_update(view)
    left, seen = compare.compare(sim, wine, known, context)
    lines = ['capture: %d bytes, replayed by the simulator: outcome %s' % (
        len(capture.text), doc2.get('outcome'))]
    lines += ['capture: known Wine difference: %s' % k for k in seen]
    return lines, ['capture: ' + line for line in left]
