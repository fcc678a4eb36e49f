"""The end-to-end scenarios: the machine each one sets up, how its boxes are
answered, and what the run must show and leave behind."""

import os

from harness.checks import (CONFIRM, FAILED, MB_OK, MB_YESNO, MESSAGES, NO_CONTROLLER, SUCCESS,
                            SUCCESS_REBOOT, Any, Expected, OneOf, IText, NonZero, SystemDll, box,
                            WINDOWS_DIR)

PCI_BRANCH = 'Enum\\PCI'
CURRENT_VERSION = 'Software\\Microsoft\\Windows\\CurrentVersion'
ENUM_ROOT = 'System\\CurrentControlSet\\Enum'
CLASS_ROOT = 'System\\CurrentControlSet\\Control\\Class'

ID_3A = 'PCI\\VEN_C4B9&DEV_8E3A'
ID_51 = 'PCI\\VEN_C4B9&DEV_8E51'
# A controller lists its most specific identifier first, like a real one.
CTRL_3A = [ID_3A + '&SUBSYS_8E3AC4B9&REV_02', ID_3A + '&SUBSYS_8E3AC4B9', ID_3A + '&CC_060700',
           ID_3A]
CTRL_51 = [ID_51 + '&SUBSYS_8E51C4B9&REV_02', ID_51 + '&SUBSYS_8E51C4B9', ID_51 + '&CC_060700',
           ID_51]
# Devices that are not controllers: a bridge and one with a short identifier.
OTHER_PCI = ['PCI\\VEN_8086&DEV_7190&SUBSYS_00000000&REV_03', 'PCI\\VEN_8086&DEV_7190']
SHORT_ID = ['ACPI\\PNP0A03']

TRACED = ('MessageBoxA', 'LoadLibraryA', 'UpdateDriverForPlugAndPlayDevicesA', 'CopyFileA',
          'CreateDirectoryA', 'RegSetValueExA', 'ExitWindowsEx')


class Scenario:
    """Defaults: XP, the package folder current and holding setup.exe, every
    question answered Yes."""

    windows = 'winxp'
    layout = 'folder'  # 'folder', 'root' (package at D:\), 'elsewhere' (setup.exe in C:\TOOLS)
    devices = []  # NT: hardware-identifier lists, one per device, in creation order
    answers = ['yes']  # answers to the Yes/No boxes, in order
    drop = []  # package files left out
    message_file = None  # bytes of MultiLang\0409.dat
    planted = False
    program = 'setup'  # or the name of a helper program in the configuration
    timeout = 120

    def __init__(self, name, **settings):
        self.name = name
        for key, value in settings.items():
            if not hasattr(self, key):
                raise AttributeError('%s: unknown setting %s' % (name, key))
            setattr(self, key, value)
        self.begin()

    def begin(self):
        """Forgets what an earlier attempt learnt: devices and answers given."""
        self.instances = []
        self._asked = 0

    def prepare_registry(self, setup):
        pass

    def prepare_files(self, setup, layout):
        pass

    def decide(self, index, text, box_type):
        if box_type == MB_OK:
            return 'Return'
        questions = self._asked
        self._asked = questions + 1
        answer = self.answers[questions] if questions < len(self.answers) else 'no'
        return 'alt+y' if answer == 'yes' else 'alt+n'

    def expect(self, outcome):
        raise NotImplementedError


# -- the harness's own probe --------------------------------------------------

class Probe(Scenario):
    """The harness proving itself with the probe program: boxes answered,
    calls from the program's image, files and registry in the prefix."""

    program = 'probe'

    def prepare_files(self, setup, layout):
        with open(layout.package_unix + '/probe.txt', 'w') as f:
            f.write('probe file\r\n')

    def prepare_registry(self, setup):
        setup.system.ensure_key('Software\\VntrProbe\\Gone')

    def expect(self, o):
        o.check_box_texts(['Probe question?', 'Probe done.'])
        o.check_calls([
            box('Probe question?', MB_YESNO),
            Expected('CreateDirectoryA', 'C:\\probe-dir', None),
            Expected('CopyFileA', 'probe.txt', 'C:\\probe-dir\\probe.txt', 0, retval=1),
            Expected('RegSetValueExA', NonZero(), 'Answer', 0, 1, NonZero(), 4),
            Expected('RegDeleteKeyA', NonZero(), 'Gone', retval=0),
            Expected('LoadLibraryA', 'setupapi.dll'),
            box('Probe done.', MB_OK),
        ])
        o.check(o.trace_lines() == ['probe: start', 'probe: yes'],
                'probe output %r' % o.stdout)
        o.check_copied([], 'C:\\probe-dir')
        o.check(o.host_path('C:\\probe-dir\\probe.txt') is not None, 'probe.txt not copied')
        o.check(o.value_text('Software\\VntrProbe', 'Answer') == 'yes',
                'HKLM\\Software\\VntrProbe Answer not saved')
        o.check(not o.system.has_key('Software\\VntrProbe\\Gone'), 'Gone key not deleted')


class Contract(Scenario):
    """The host contract checks of tests/contract, which the simulator passes
    too, against Wine's Windows: a console program without boxes. Where Wine
    is known to differ from Windows the program prints a note, not a
    failure."""

    program = 'contract'
    answers = []

    def expect(self, o):
        lines = o.trace_lines()
        failed = [l for l in lines if l.startswith('not ok')]
        o.check(not failed, 'contract checks failed:\n    ' + '\n    '.join(failed))
        o.check(len([l for l in lines if l.startswith('ok - ')]) >= 30,
                'fewer contract checks ran than expected: %r' % lines[-3:])
        o.check(lines[-1:] == ['0 failed'], 'contract summary missing: %r' % lines[-3:])
        o.notes.extend(l for l in lines if l.startswith('note - '))


def message_table(data):
    """The five messages a message file gives, as the program reads it in
    text mode: CR LF read as LF, a lone CR kept, Ctrl-Z ends the file, reads
    of at most 255 bytes that keep the line end. Absent entries are None."""
    if data is None:
        return list(MESSAGES)
    text = data.split(b'\x1a', 1)[0].replace(b'\r\n', b'\n').decode('latin-1')
    entries = []
    while text and len(entries) < 5:
        end = text.find('\n')
        end = len(text) if end < 0 else end + 1
        end = min(end, 255)
        entries.append(text[:end])
        text = text[end:]
    return entries + [None] * (5 - len(entries))


def _walk(devices, search):
    """The trace entries of one search over our devices (in creation order)
    and the matching (device index, entry), or None."""
    seen = []
    for index, ids in enumerate(devices):
        for entry in ids:
            seen.append(entry)
            if len(entry) >= len(search) and entry[:len(search)].upper() == search.upper():
                return seen, (index, entry)
    return seen, None


def inf_strings(path):
    """[Strings] of an INF file, keys lower-cased."""
    strings = {}
    section = None
    with open(path, encoding='latin-1') as f:
        for line in f:
            line = line.split(';', 1)[0].strip()
            if line.startswith('['):
                section = line.strip('[]').strip().lower()
            elif section == 'strings' and '=' in line:
                key, value = line.split('=', 1)
                strings[key.strip().lower()] = value.strip().strip('"')
    return strings


def inf_description(path, hardware_id):
    """The device description an INF gives a hardware identifier."""
    strings = inf_strings(path)
    with open(path, encoding='latin-1') as f:
        for line in f:
            line = line.split(';', 1)[0].strip()
            if '=' not in line or ',' not in line:
                continue
            desc, rest = line.split('=', 1)
            ids = [i.strip().upper() for i in rest.split(',')[1:]]
            if hardware_id.upper() in ids:
                desc = desc.strip()
                if desc.startswith('%') and desc.endswith('%'):
                    desc = strings.get(desc.strip('%').lower(), desc)
                return desc.strip('"')
    return None


class Nt(Scenario):
    """Windows 2000/XP/2003: a search over present devices, then the
    driver update through newdev.dll."""

    devices = [OTHER_PCI, SHORT_ID, CTRL_3A]

    def inf_name(self):
        return {'win2k': '\\VNTR2K.INF', 'winxp': '\\VNTRXP.INF'}.get(self.windows, '')

    def expect(self, o):
        texts = message_table(self.message_file)
        answer_yes = self.answers[:1] == ['yes']
        package = o.layout.package_windows.rstrip('\\')
        inf_path = package + self.inf_name()

        searches = []
        found = None
        if answer_yes:
            for search in (ID_3A, ID_51):
                seen, found = _walk(self.devices, search)
                searches.append((search, seen, found))
                if found:
                    break

        expected = [box(texts[CONFIRM], MB_YESNO)]
        update = None
        if answer_yes:
            expected.append(Expected('LoadLibraryA', SystemDll('setupapi.dll')))
            if found:
                expected.append(Expected('LoadLibraryA', SystemDll('newdev.dll')))
                expected.append(Expected('UpdateDriverForPlugAndPlayDevicesA', 0, found[1],
                                         IText(inf_path), 1, NonZero()))
                updates = o.calls_named('UpdateDriverForPlugAndPlayDevicesA')
                update = updates[0] if updates else None
                succeeded = update is not None and update.retval == 1
                final = SUCCESS if succeeded else FAILED
            else:
                final = NO_CONTROLLER
            expected.append(box(texts[final], MB_OK))
        o.check_calls(expected, only=TRACED + ('RegDeleteKeyA',))
        o.check_box_texts([(e.args[1] or '') for e in expected if e.func == 'MessageBoxA'])

        # The trace: our devices' entries in order, each search closed by a
        # found line or by the failure line of the end of the device list.
        ours = {e for ids in self.devices for e in ids}
        want = []
        for search, seen, match in searches:
            want.append('Search for Device ID: [%s]' % search)
            want.extend('Compare device ID: [%s]' % e for e in seen)
            if match:
                want.append('Found! [%s]' % match[1][:len(search)])
            else:
                want.append('EnumDeviceInfo FAILURE: ...')
        got = []
        for line in o.trace_lines():
            if line.startswith('Compare device ID: [') and line[20:-1] not in ours:
                continue  # Wine's own devices
            if not line:
                continue  # the line break that closes the system's error text
            if line.startswith('EnumDeviceInfo FAILURE: '):
                if not answer_yes or 'No more' not in line and '(0x00000103)' not in line:
                    o.fail('unexpected failure line %r' % line)
                line = 'EnumDeviceInfo FAILURE: ...'
            got.append(line)
        if got != want:
            o.fail('trace differs:\n      expected %s\n      got      %s' % (
                '\n               '.join(want), '\n               '.join(got)))

        # The device installation Wine made.
        for index, instance in enumerate(self.instances):
            driver = o.value_text(ENUM_ROOT + '\\' + instance, 'Driver')
            if found and index == found[0] and update is not None and update.retval == 1 \
                    and self.inf_name():
                desc = inf_description(os.path.join(o.package_unix, self.inf_name()[1:]), found[1]) or \
                    inf_description(os.path.join(o.package_unix, self.inf_name()[1:]), found[1].split('&SUBSYS')[0])
                if o.check(driver is not None, 'device %s has no driver after the update' % instance):
                    got_desc = o.value_text(ENUM_ROOT + '\\' + instance, 'DeviceDesc')
                    o.check(got_desc == desc, 'device %s: DeviceDesc %r, expected %r from %s' % (
                        instance, got_desc, desc, self.inf_name()[1:]))
                    inf_path = o.value_text(CLASS_ROOT + '\\' + driver, 'InfPath') or ''
                    o.check(inf_path.lower().endswith(self.inf_name()[1:].lower()) or
                            inf_path.lower().startswith('oem'),
                            'device %s: driver key %s names INF %r' % (instance, driver, inf_path))
            else:
                o.check(driver is None, 'device %s got a driver (%s) but was not to be updated' % (
                    instance, driver))
        self.expect_more(o)

    def expect_more(self, o):
        pass


def planted_loads(o, dll):
    """Whether the planted copy of dll left its marker, and the paths the
    program's process loaded dll from."""
    marker = o.host_path('C:\\vntr-planted-%s.txt' % dll) is not None
    paths = [l[1] for l in o.run.log.loads
             if l[0] == o.pid and l[1].lower().endswith('\\%s.dll' % dll)]
    return marker, paths


class Planted(Nt):
    """Copies of setupapi.dll and newdev.dll in the package folder, which
    holds setup.exe too, with Wine told to prefer them: the program must take
    the system's libraries."""

    planted = True

    def expect_more(self, o):
        for dll in ('setupapi', 'newdev'):
            marker, paths = planted_loads(o, dll)
            o.check(not marker, 'the planted %s.dll in the package folder was loaded' % dll)
            o.check(paths and all(p.lower().startswith('c:\\windows\\system32\\') for p in paths),
                    '%s.dll loaded from %s' % (dll, paths))


class ProbePlanted(Probe):
    """The probe loads setupapi.dll by bare name from a folder that holds a
    planted copy: proves that Wine takes it, and that the check sees it."""

    planted = True

    def expect(self, o):
        marker, paths = planted_loads(o, 'setupapi')
        o.check(marker, 'the planted setupapi.dll left no marker')
        o.check(paths == [o.layout.package_windows + '\\setupapi.dll'],
                'setupapi.dll loaded from %s' % paths)


class Legacy(Scenario):
    """Windows 98 / 98 SE / ME: files staged into the INF directory, controller
    keys under Enum\\PCI deleted, reboot offered."""

    windows = 'win98'
    answers = ['yes', 'no']
    pci_keys = ['VEN_8086&DEV_7190&SUBSYS_00000000&REV_03',
                'VEN_C4B9&DEV_8E3A&SUBSYS_8E3AC4B9&REV_02']
    other_device_path = None  # preset value, or None for none
    inf_other = True  # ME: INF\OTHER exists beforehand

    def prepare_registry(self, setup):
        for name in self.pci_keys:
            # One instance below each device key, as on a real machine.
            setup.system.set_string(PCI_BRANCH + '\\' + name + '\\ROOT_BUS&01', 'Class', 'PCI')
        if self.other_device_path is not None:
            setup.system.set_string(CURRENT_VERSION, 'OtherDevicePath', self.other_device_path)
        else:
            setup.system.delete_value(CURRENT_VERSION, 'OtherDevicePath')

    def prepare_files(self, setup, layout):
        import os
        other = setup.c_path('C:\\windows\\inf\\other')
        if self.windows == 'winme' and self.inf_other:
            os.makedirs(other, exist_ok=True)
        elif os.path.isdir(other):
            os.rmdir(other)

    def matched(self):
        return [k for k in self.pci_keys
                if k[:17] in ('VEN_C4B9&DEV_8E3A', 'VEN_C4B9&DEV_8E51')]

    def expect(self, o):
        texts = message_table(self.message_file)
        package = o.layout.package_windows.rstrip('\\')
        me = self.windows == 'winme'
        inf, cat = {'winme': ('VNTRME.INF', 'VNTRME.CAT'),
                    'win98-1998': ('VNTR98.INF', None)}.get(self.windows,
                                                          ('VNTR98SE.INF', 'VNTR98SE.CAT'))
        target = WINDOWS_DIR + '\\INF' + ('\\OTHER' if me else '')
        expected = [box(texts[CONFIRM], MB_YESNO)]
        staged, reset = [], False
        if self.answers[:1] == ['yes']:
            if me and not self.inf_other:
                expected.append(Expected('CreateDirectoryA', IText(target), None, retval=1))
            expected.append(Expected('CopyFileA', IText(package + '\\' + inf),
                                     IText(target + '\\' + inf), 0, retval=1))
            staged.append(inf)
            if cat is None:
                reset = True  # Windows 98 has no catalog
            elif cat in self.drop:
                expected.append(Expected('CopyFileA', IText(package + '\\' + cat),
                                         IText(target + '\\' + cat), 0, retval=0))
                expected.append(box(texts[FAILED], MB_OK))
            else:
                expected.append(Expected('CopyFileA', IText(package + '\\' + cat),
                                         IText(target + '\\' + cat), 0, retval=1))
                staged.append(cat)
                reset = True
            if reset:
                if self.other_device_path is None:
                    # The declared size is the buffer's, 260; the length of the
                    # path with its NUL is as good (and reads no bytes past it).
                    path = WINDOWS_DIR + '\\INF\\OTHER'
                    expected.append(Expected('RegSetValueExA', NonZero(), 'OtherDevicePath', 0, 1,
                                             NonZero(), OneOf(260, len(path) + 1), retval=0))
                if self.matched():
                    expected.append(box(texts[SUCCESS_REBOOT], MB_YESNO))
                    if self.answers[1:2] == ['yes']:
                        expected.append(Expected('ExitWindowsEx', 2, 0))
                    else:
                        expected.append(box(texts[SUCCESS], MB_OK))
                else:
                    expected.append(box(texts[NO_CONTROLLER], MB_OK))
        o.check_calls(expected, only=TRACED)
        o.check_box_texts([(e.args[1] or '') for e in expected if e.func == 'MessageBoxA'])

        o.check_copied(staged, target)
        o.check_not_copied([f for f in ('VNTR98.INF', 'VNTR98SE.INF', 'VNTR98SE.CAT', 'VNTRME.INF',
                                         'VNTRME.CAT') if f not in staged], target)
        if me:
            o.check(o.host_path(target) is not None, '%s does not exist' % target)

        # Deletions: each call names a controller key (or a key below one,
        # for a program that empties a key before deleting it).
        matched = self.matched() if reset else []
        for call in o.calls_named('RegDeleteKeyA'):
            name = call.arg(1)
            o.check(isinstance(name, str) and any(
                name.upper() == k.upper() or name.upper().startswith(k.upper() + '\\')
                for k in matched), 'RegDeleteKeyA of %r, which is no controller key' % (name,))
        for key in self.pci_keys:
            full = PCI_BRANCH + '\\' + key
            if key in matched:
                o.check(not o.key_exists(full), '%s was not deleted' % full)
            else:
                o.check(o.key_exists(full + '\\ROOT_BUS&01'),
                        '%s was changed but is no controller key' % full)

        stored = o.value_text(CURRENT_VERSION, 'OtherDevicePath')
        if self.other_device_path is not None:
            o.check(stored == self.other_device_path,
                    'OtherDevicePath changed from %r to %r' % (self.other_device_path, stored))
        elif reset:
            o.check(stored is not None and stored.lower() == (WINDOWS_DIR + '\\INF\\OTHER').lower(),
                    'OtherDevicePath is %r, expected %s\\INF\\OTHER' % (stored, WINDOWS_DIR))
        else:
            o.check(stored is None, 'OtherDevicePath written (%r) before the copies succeeded'
                    % stored)


class Win95(Legacy):
    """A legacy build the package has no files for: a closing message, and
    nothing copied, written or deleted."""

    windows = 'win95'

    def expect(self, o):
        calls = [c for c in o.calls if c.func in TRACED + ('RegDeleteKeyA',)]
        o.check(len(calls) == 2 and Expected('MessageBoxA', 0, MESSAGES[CONFIRM], Any(),
                                              MB_YESNO).matches(calls[0])
                and calls[1].func == 'MessageBoxA' and calls[1].arg(3) == MB_OK
                and calls[1].arg(1) in MESSAGES,
                'expected the question and one closing message, got %r' % calls)
        o.check_not_copied(['VNTR98.INF', 'VNTR98SE.INF', 'VNTR98SE.CAT', 'VNTRME.INF',
                            'VNTRME.CAT'], WINDOWS_DIR + '\\INF')
        for key in self.pci_keys:
            o.check(o.key_exists(PCI_BRANCH + '\\' + key), '%s was deleted' % key)
        o.check(o.value_text(CURRENT_VERSION, 'OtherDevicePath') is None,
                'OtherDevicePath was written')


class Win31(Legacy):
    """Platform 0: the question, then nothing."""

    windows = 'win31'

    def expect(self, o):
        o.check_calls([box(MESSAGES[CONFIRM], MB_YESNO)], only=TRACED + ('RegDeleteKeyA',))
        o.check_box_texts([MESSAGES[CONFIRM]])
        o.check(o.stdout == b'', 'unexpected output %r' % o.stdout[:200])
        for key in self.pci_keys:
            o.check(o.key_exists(PCI_BRANCH + '\\' + key), '%s was deleted' % key)


THREE_LINES = b'Fehler 0\r\nKein Controller 1\r\nErfolg 2\r\n'
SEVEN_LINES = b'M0\r\nM1\r\nM2 done\r\nM3\r\nM4 update?\r\nM5\r\nM6\r\n'
MANY_KEYS = ['VEN_1000&DEV_%04X&SUBSYS_00000000&REV_01' % i for i in range(14)] + [
    'VEN_C4B9&DEV_8E3A&SUBSYS_%08X&REV_02' % (0x8E3A0000 + i) for i in range(11)] + [
    'VEN_C4B9&DEV_8E51', 'VEN_FFFF&DEV_0001', 'ven_c4b9&dev_8e51&subsys_00000000&rev_01']

PROBES = [Probe('probe'), ProbePlanted('probe-planted-library'),
          Contract('contract-xp'), Contract('contract-98se', windows='win98')]
# Every case on XP; on 2000, which differs in the INF it names, the cases
# that form that path or choose the device.
SCENARIOS = [
    Nt('xp-first-model'),
    Nt('xp-second-model', devices=[OTHER_PCI, CTRL_51, SHORT_ID]),
    Nt('xp-both-models', devices=[CTRL_51, OTHER_PCI, CTRL_3A]),
    Nt('xp-no-controller', devices=[OTHER_PCI, SHORT_ID]),
    Nt('xp-lower-case-id', devices=[OTHER_PCI, [e.lower() for e in CTRL_3A]]),
    Nt('xp-exact-id', devices=[SHORT_ID, [ID_51]]),
    Nt('xp-answer-no', answers=['no']),
    Nt('xp-drive-root', layout='root'),
    Nt('xp-started-elsewhere', layout='elsewhere'),
    Nt('xp-three-line-messages', message_file=THREE_LINES),
    Nt('xp-seven-line-messages', message_file=SEVEN_LINES),
    Planted('xp-planted-libraries'),
    Nt('2k-first-model', windows='win2k'),
    Nt('2k-second-model', windows='win2k', devices=[OTHER_PCI, CTRL_51, SHORT_ID]),
    Nt('2k-both-models', windows='win2k', devices=[CTRL_51, OTHER_PCI, CTRL_3A]),
    Nt('2k-drive-root', windows='win2k', layout='root'),
    Nt('2003-bare-directory', windows='win2003'),
]
# 98 SE and ME each with one and with both models; the other cases on the
# edition whose flow they touch, most on both.
for legacy in ('win98', 'winme'):
    tag = '98se' if legacy == 'win98' else 'me'
    SCENARIOS += [
        Legacy(tag + '-one-model', windows=legacy),
        Legacy(tag + '-both-models', windows=legacy,
               pci_keys=['VEN_C4B9&DEV_8E51&SUBSYS_8E51C4B9&REV_02', 'VEN_8086&DEV_7190',
                         'VEN_C4B9&DEV_8E3A']),
        Legacy(tag + '-reboot-yes', windows=legacy, answers=['yes', 'yes']),
        Legacy(tag + '-missing-catalog', windows=legacy,
               drop=['VNTR98SE.CAT' if legacy == 'win98' else 'VNTRME.CAT']),
        Legacy(tag + '-drive-root', windows=legacy, layout='root'),
    ]
SCENARIOS += [
    Legacy('98se-no-controller',
           pci_keys=['VEN_8086&DEV_7190', 'ven_c4b9&dev_8e3a&subsys_8e3ac4b9&rev_02']),
    Legacy('98se-many-pci-keys', pci_keys=MANY_KEYS),
    Legacy('98se-answer-no', answers=['no']),
    Legacy('98se-other-device-path-kept', other_device_path='C:\\DRIVERS;C:\\windows\\INF\\OTHER'),
    Legacy('me-no-controller', windows='winme', pci_keys=['VEN_8086&DEV_7190']),
]
SCENARIOS += [
    # Windows 98 copies its INF alone: a missing catalog does no harm.
    Legacy('98-first-edition', windows='win98-1998', drop=['VNTR98SE.CAT', 'VNTRME.CAT']),
    Legacy('me-without-inf-other', windows='winme', inf_other=False),
    Win95('95-build'),
    Win31('31-platform'),
]


def by_name(name):
    for s in PROBES + SCENARIOS:
        if s.name == name:
            return s
    raise KeyError('no scenario named %s' % name)
