"""Stand-in for `vntrsetup-sim --dump-machine` until the simulator has it:
the resolved machine of a machine file, in the dump's JSON shape, read with
the presets of host/sim/presets.cpp. Only what the realizer needs."""

import os
import re
import tomllib

PRESETS = {
    '95': (1, 4, 0, 0x040003B6, '', 'C:\\WINDOWS', 'C:\\WINDOWS\\SYSTEM'),
    '98': (1, 4, 10, 0x040A07CE, ' ', 'C:\\WINDOWS', 'C:\\WINDOWS\\SYSTEM'),
    '98se': (1, 4, 10, 0x040A08AE, ' A ', 'C:\\WINDOWS', 'C:\\WINDOWS\\SYSTEM'),
    'me': (1, 4, 90, 0x045A0BB8, ' ', 'C:\\WINDOWS', 'C:\\WINDOWS\\SYSTEM'),
    '2000': (2, 5, 0, 2195, 'Service Pack 4', 'C:\\WINNT', 'C:\\WINNT\\system32'),
    'xp': (2, 5, 1, 2600, 'Service Pack 3', 'C:\\WINDOWS', 'C:\\WINDOWS\\system32'),
    '2003': (2, 5, 2, 3790, 'Service Pack 2', 'C:\\WINDOWS', 'C:\\WINDOWS\\system32'),
}
BACKGROUND_DEVICES = [
    ['ACPI\\PNP0A03', '*PNP0A03'],
    ['PCI\\VEN_8086&DEV_7190&SUBSYS_00000000&REV_03', 'PCI\\VEN_8086&DEV_7190&SUBSYS_00000000',
     'PCI\\VEN_8086&DEV_7190&CC_060000', 'PCI\\VEN_8086&DEV_7190&CC_0600'],
    ['PCI\\VEN_8086&DEV_7110&SUBSYS_00000000&REV_08', 'PCI\\VEN_8086&DEV_7110&SUBSYS_00000000',
     'PCI\\VEN_8086&DEV_7110&CC_060100', 'PCI\\VEN_8086&DEV_7110&CC_0601'],
    ['ROOT\\LEGACY_BEEP'],
]
BACKGROUND_PCI_KEYS = ['VEN_8086&DEV_7190&SUBSYS_00000000&REV_03\\BUS_00&DEV_00&FUNC_00',
                       'VEN_8086&DEV_7110&SUBSYS_00000000&REV_08\\BUS_00&DEV_07&FUNC_00']
CAPTION = 'Vantor CardBus Controller Setup Utility'
TYPES = {'REG_NONE': 0, 'REG_SZ': 1, 'REG_EXPAND_SZ': 2, 'REG_BINARY': 3, 'REG_DWORD': 4,
         'REG_MULTI_SZ': 7}


def _key(root, path):
    node = root
    for part in [p for p in path.split('\\') if p]:
        for sub in node['subkeys']:
            if sub['name'].lower() == part.lower():
                node = sub
                break
        else:
            sub = {'name': part, 'values': [], 'subkeys': []}
            node['subkeys'].append(sub)
            node = sub
    return node


def _multi_sz(ids):
    return ''.join(i + '\0' for i in ids) + '\0'


def _hex(text):
    return text.encode('latin-1').hex()


def _settings(text):
    """Top-level keys and tables of the file with their line numbers."""
    found = []
    table = ''
    for number, line in enumerate(text.splitlines(), 1):
        m = re.match(r'\s*\[\[?\s*([^\]]+?)\s*\]\]?', line)
        if m:
            table = m.group(1)
            found.append({'field': table, 'line': number})
            continue
        m = re.match(r'\s*([A-Za-z_][\w."]*)\s*=', line)
        if m:
            found.append({'field': (table + '.' if table else '') + m.group(1), 'line': number})
    return found


def dump(path, package_dir):
    with open(path, 'rb') as f:
        raw = f.read()
    data = tomllib.loads(raw.decode('utf-8'))
    os_value = data.get('os', 'xp')
    if isinstance(os_value, str):
        base, custom = os_value, {}
    else:
        base, custom = os_value.get('base', 'xp'), os_value
    platform, major, minor, build, csd, windows_dir, system_dir = PRESETS[base]
    base_platform = platform
    platform = custom.get('platform', platform)
    major = custom.get('major', major)
    minor = custom.get('minor', minor)
    build = custom.get('build_number', build)
    if 'build' in custom:
        build = (major << 24 | minor << 16 | custom['build']) if platform == 1 else custom['build']
    csd = custom.get('csd', csd)
    if 'windows_dir' in data:
        windows_dir = data['windows_dir']
        system_dir = windows_dir + ('\\SYSTEM' if platform == 1 else '\\system32')
    system_dir = data.get('system_dir', system_dir)
    current_dir = data.get('current_dir', 'C:\\')
    files = {}

    def mkdirs(p):
        p = p.rstrip('\\') if len(p) > 3 else p
        while True:
            files.setdefault(p.lower(), {'path': p, 'dir': True})
            parent = p.rsplit('\\', 1)[0]
            if len(p) <= 3:
                break
            p = parent if len(parent) > 2 else parent + '\\'

    def put(p, content):
        mkdirs(p.rsplit('\\', 1)[0] if p.count('\\') > 1 else p[:3])
        files[p.lower()] = {'path': p, 'dir': False, 'hex': content.hex()}

    mkdirs('C:\\')
    mkdirs(windows_dir + '\\INF')
    mkdirs(system_dir)
    package = data.get('package', True)
    if package is not False:
        spec = package if isinstance(package, dict) else {}
        source = spec.get('from', package_dir)
        if not os.path.isabs(source):
            source = os.path.join(os.path.dirname(path), source)
        at = spec.get('at', current_dir)
        omit = [o.lower() for o in spec.get('omit', [])]
        mkdirs(at)
        for dirpath, dirnames, filenames in os.walk(source):
            rel = os.path.relpath(dirpath, source)
            win_dir = at.rstrip('\\') + ('' if rel == '.' else '\\' + rel.replace('/', '\\'))
            mkdirs(win_dir)
            for name in filenames:
                relname = (name if rel == '.' else rel + '/' + name)
                if relname.lower() in omit:
                    continue
                with open(os.path.join(dirpath, name), 'rb') as f:
                    put(win_dir + '\\' + name, f.read())
    mkdirs(current_dir)
    for d in data.get('dirs', []):
        mkdirs(d['path'])
    for f in data.get('files', []):
        if 'text' in f:
            content = f['text'].encode('latin-1')
        elif 'hex' in f:
            content = bytes.fromhex(re.sub(r'[\s,]', '', f['hex']))
        else:
            with open(os.path.join(os.path.dirname(path), f['from']), 'rb') as g:
                content = g.read()
        put(f['path'], content)
    for r in data.get('remove', []):
        for k in [k for k in files if k == r.lower() or k.startswith(r.lower() + '\\')]:
            del files[k]

    registry = {'name': '', 'values': [], 'subkeys': []}
    cv = _key(registry, 'SOFTWARE\\Microsoft\\Windows\\CurrentVersion')
    if base_platform == 1:
        cv['values'].append({'name': 'DevicePath', 'type': 1,
                             'hex': _hex(windows_dir + '\\INF\0')})
        for k in BACKGROUND_PCI_KEYS:
            _key(registry, 'Enum\\PCI\\' + k)
    else:
        cv['values'].append({'name': 'DevicePath', 'type': 2, 'hex': _hex('%SystemRoot%\\inf\0')})
    devices = []
    if base_platform == 2:
        devices = [{'hardware_ids_hex': _hex(_multi_sz(ids)), 'reported_size': None,
                    'insufficient_forever': False, 'size_query_succeeds': False,
                    'present': True} for ids in BACKGROUND_DEVICES]
    if data.get('background', True) is False:
        devices = []
        registry['subkeys'] = [k for k in registry['subkeys'] if k['name'] != 'Enum']
    for k in data.get('keys', []):
        _key(registry, k['path'])
    for v in data.get('values', []):
        key = _key(registry, v['key'])
        if 'text' in v:
            kind, content = 1, _hex(v['text'] + '\0')
        elif 'hex' in v:
            kind, content = 3, re.sub(r'[\s,]', '', v['hex'])
        else:
            kind, content = 4, v['dword'].to_bytes(4, 'little').hex()
        if 'type' in v:
            kind = TYPES.get(v['type'], v['type'])
        key['values'] = [x for x in key['values'] if x['name'].lower() != v['name'].lower()]
        key['values'].append({'name': v['name'], 'type': kind, 'hex': content})
    for d in data.get('devices', []):
        if 'ids' in d:
            ids = _hex(_multi_sz(d['ids']))
        elif 'hex' in d:
            ids = re.sub(r'[\s,]', '', d['hex'])
        else:
            ids = None
        devices.append({'hardware_ids_hex': ids, 'reported_size': d.get('reported_size'),
                        'insufficient_forever': d.get('insufficient_forever', False),
                        'size_query_succeeds': d.get('size_query_succeeds', False),
                        'present': d.get('present', True)})
    modules = [{'name': 'setupapi.dll', 'dir': system_dir, 'loads': True, 'planted': False,
                'missing': []}]
    if base_platform == 2:
        modules.append({'name': 'newdev.dll', 'dir': system_dir, 'loads': True,
                        'planted': False, 'missing': []})
    for name, spec in data.get('modules', {}).items():
        found = [m for m in modules if m['name'].lower() == name.lower()]
        if spec.get('present', True) is False:
            modules = [m for m in modules if m not in found]
            continue
        if not found:
            modules.append({'name': name, 'dir': system_dir, 'loads': True, 'planted': False,
                            'missing': []})
            found = modules[-1:]
        found[0]['loads'] = spec.get('loads', True)
        found[0]['dir'] = spec.get('dir', found[0]['dir'])
        found[0]['missing'] = sorted(set(found[0]['missing']) | set(spec.get('missing', [])))
    for p in data.get('planted', []):
        modules.append({'name': p['name'], 'dir': p.get('dir', current_dir), 'loads': True,
                        'planted': True, 'missing': []})
    update = data.get('update', {})
    strings = {'103': CAPTION}
    if 'caption' in data:
        if data['caption'] is False:
            strings = {}
        else:
            strings = {'103': data['caption']}
    return {
        'name': data.get('name', os.path.splitext(os.path.basename(path))[0]),
        'source': path,
        'os': {'name': base if not custom else 'custom', 'platform': platform, 'major': major,
               'minor': minor, 'build_number': build, 'csd': csd},
        'windows_dir': windows_dir, 'system_dir': system_dir, 'current_dir': current_dir,
        'exe_dir': data.get('exe_dir', ''), 'locale': data.get('locale', 0x0409),
        'codepage': 1252, 'stdout': data.get('stdout', True),
        'registry_delete': data.get('registry_delete', 'legacy' if platform == 1 else 'nt'),
        'command_line': '', 'strings': strings,
        'files': sorted(files.values(), key=lambda f: f['path'].lower()),
        'registry': registry, 'devices': devices, 'modules': modules,
        'update': {'result': update.get('result', True), 'reboot': update.get('reboot', False),
                   'error': update.get('error', 0), 'check': update.get('check', True)},
        'exit_windows_succeeds': data.get('exit_windows_succeeds', True),
        'answers': data.get('answers', []),
        'faults': data.get('faults', []),
        'settings': _settings(raw.decode('utf-8')),
    }
