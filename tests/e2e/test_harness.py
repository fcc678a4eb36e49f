"""Tests of the harness's own parsing: Wine's registry files, its debug log,
binfmt_misc entries and the message table the checks expect."""

import os
import struct
import tempfile
import unittest

from harness import checks, compare, machine, prefix, realize, regfile, wine_run, winelog

SYSTEM_REG = r'''WINE REGISTRY Version 2
;; All keys relative to \\Machine

#arch=win32

[Enum\\PCI\\VEN_C4B9&DEV_8E3A\\ROOT_BUS&01] 1700000000
#time=1d9
"Class"="PCI"

[Software\\Microsoft\\Windows\\CurrentVersion] 1700000000
"ProgramFilesPath"=str(2):"%ProgramFiles%"
"OtherDevicePath"=hex(1):43,00,3a,00,5c,00,49,00,4e,00,46,00,00,00,41,00,\
  42,00,00,00
"Quote \"name\""="a \"b\" \\c"
"Count"=dword:0000002a
@="default"
'''


class RegistryFileTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.path = os.path.join(self.dir.name, 'system.reg')
        with open(self.path, 'w') as f:
            f.write(SYSTEM_REG)

    def tearDown(self):
        self.dir.cleanup()

    def test_values_of_every_kind(self):
        reg = regfile.RegistryFile(self.path)
        key = r'Software\Microsoft\Windows\CurrentVersion'
        self.assertEqual(reg.value(key, 'ProgramFilesPath').text(), '%ProgramFiles%')
        # A string stored with bytes after its NUL reads up to the NUL.
        self.assertEqual(reg.value(key, 'otherdevicepath').text(), 'C:\\INF')
        self.assertEqual(reg.value(key, 'Quote "name"').text(), 'a "b" \\c')
        self.assertEqual(reg.value(key, 'Count').data, 42)
        self.assertEqual(reg.value(key, '').text(), 'default')
        self.assertIsNone(reg.value(key, 'Missing'))

    def test_key_with_only_subkeys_has_no_section(self):
        reg = regfile.RegistryFile(self.path)
        self.assertFalse(reg.has_key(r'Enum\PCI\VEN_C4B9&DEV_8E3A'))
        self.assertEqual(reg.subkeys(r'enum\pci\ven_c4b9&dev_8e3a'),
                         [r'Enum\PCI\VEN_C4B9&DEV_8E3A\ROOT_BUS&01'])

    def test_edits_survive_a_save(self):
        reg = regfile.RegistryFile(self.path)
        reg.set_string(r'Software\Wine', 'Version', 'win98')
        reg.set_string(r'Software\Wine', 'Version', 'winme')  # replaces, no duplicate
        reg.delete_value(r'Software\Microsoft\Windows\CurrentVersion', 'OtherDevicePath')
        reg.set_dword(r'Software\Wine\WineDbg', 'ShowCrashDialog', 0)
        reg.save()
        again = regfile.RegistryFile(self.path)
        self.assertEqual(again.value(r'software\wine', 'version').text(), 'winme')
        self.assertEqual(len(again.key(r'Software\Wine').values()), 1)
        self.assertIsNone(again.value(r'Software\Microsoft\Windows\CurrentVersion',
                                      'OtherDevicePath'))
        self.assertEqual(again.value(r'Software\Microsoft\Windows\CurrentVersion', 'Count').data,
                         42)
        self.assertEqual(again.value(r'Software\Wine\WineDbg', 'ShowCrashDialog').data, 0)
        with open(self.path) as f:
            self.assertIn('[Software\\\\Wine\\\\WineDbg]', f.read())

    def test_raw_values_read_back_as_written(self):
        reg = regfile.RegistryFile(self.path)
        text = 'C:\\W\xe4\0'.encode('utf-16-le')
        reg.set_raw('Enum\\PCI\\K', 'S', regfile.REG_SZ, text)
        reg.set_raw('Enum\\PCI\\K', 'B', regfile.REG_BINARY, b'\x00\xff')
        reg.save()
        again = regfile.RegistryFile(self.path)
        self.assertEqual(again.value('enum\\pci\\k', 's').text(), 'C:\\W\xe4')
        self.assertEqual(again.value('Enum\\PCI\\K', 'B').data, b'\x00\xff')


LOG = '''0020:0024:trace:loaddll:build_module Loaded L"C:\\\\VNTRPKG\\\\setup.exe" at 00400000: native
0030:0034:Call kernel32.LoadLibraryA(7b001000 "C:\\\\windows\\\\system32\\\\setupapi.dll") ret=7b0a0000
0020:0024:Call user32.MessageBoxA(00000000,00403000 "Line, with \\"quotes\\"\\n",00403100 "Title",00000004) ret=00401234
0020:0024:trace:msgbox:MSGBOX_OnInit L"Line, with \\"quotes\\"\\n"
0020:0024:Ret  user32.MessageBoxA() retval=00000006 ret=00401234
0020:0024:Call KERNEL32.LoadLibraryA(00403200 "C:\\\\windows\\\\system32\\\\setupapi.dll") ret=00401300
0020:0024:Ret  KERNEL32.LoadLibraryA() retval=6aec0000 ret=00401300
0020:0028:Call user32.MessageBoxA(00000000,00000000,00403100 "Title",00000000) ret=00401400
wine client error:9c: 0020:0028:Ret  user32.MessageBoxA() retval=00000001 ret=00401400
0020:0028:trace:msgbox:MSGBOX_OnInit L""
0030:0034:Starting thread proc
wine: Unhandled page fault on read access to 00000000 at address 7B012345 (thread 0034), starting debugger...
wine: Unhandled exception 0x80000003 in thread 28 at address 00401400 (thread 0028), starting debugger...
'''


class WineLogTest(unittest.TestCase):
    def test_calls_arguments_and_results(self):
        log = winelog.WineLog(LOG)
        pid, path, base, kind = log.module('\\setup.exe')
        self.assertEqual((pid, path, base, kind), (0x20, 'C:\\VNTRPKG\\setup.exe', 0x400000,
                                                   'native'))
        calls = log.calls_from(0x20, 0x400000, 0x410000)
        self.assertEqual([c.func for c in calls], ['MessageBoxA', 'LoadLibraryA', 'MessageBoxA'])
        self.assertEqual(calls[0].arg(1), 'Line, with "quotes"\n')
        self.assertEqual(calls[0].arg(3), 4)
        self.assertEqual(calls[0].retval, 6)
        self.assertEqual(calls[1].arg(0), 'C:\\windows\\system32\\setupapi.dll')
        self.assertEqual(calls[1].retval, 0x6aec0000)
        self.assertEqual(calls[2].arg(1), 0)  # a NULL text has no string
        self.assertEqual(calls[2].retval, 1)  # found after another process's output

    def test_non_ascii_bytes_and_characters(self):
        # A byte string shows \xNN, a wide one \xNNNN: "Möchten" either way.
        self.assertEqual(winelog.unquote('"M\\xf6chten"'), 'M\xf6chten')
        self.assertEqual(winelog.unquote('L"M\\x00f6chten"'), 'M\xf6chten')

    def test_calls_from_other_images_or_processes_are_left_out(self):
        log = winelog.WineLog(LOG)
        self.assertEqual(len(log.calls), 4)
        self.assertEqual(log.calls_from(0x30, 0x400000, 0x410000), [])

    def test_box_texts_and_crashes_by_process(self):
        log = winelog.WineLog(LOG)
        self.assertEqual(log.box_texts(0x20), ['Line, with "quotes"\n', ''])
        crashes = log.crash_pids()
        self.assertEqual([pid for pid, _ in crashes], [0x30, 0x20])


class PrefixCopyTest(unittest.TestCase):
    def test_a_copy_links_libraries_and_never_writes_into_the_base(self):
        with tempfile.TemporaryDirectory() as d:
            base, copy = os.path.join(d, 'base'), os.path.join(d, 'copy')
            os.makedirs(os.path.join(base, 'drive_c', 'windows', 'system32'))
            os.makedirs(os.path.join(base, 'dosdevices'))
            os.symlink('../drive_c', os.path.join(base, 'dosdevices', 'c:'))
            files = {'system.reg': SYSTEM_REG, 'drive_c/windows/win.ini': '[x]\n',
                     'drive_c/windows/system32/setupapi.dll': 'MZ library'}
            for name, text in files.items():
                with open(os.path.join(base, name), 'w') as f:
                    f.write(text)
            prefix.copy_prefix(base, copy)
            lib = os.path.join(copy, 'drive_c', 'windows', 'system32', 'setupapi.dll')
            self.assertTrue(os.path.samefile(
                lib, os.path.join(base, 'drive_c', 'windows', 'system32', 'setupapi.dll')))
            self.assertEqual(os.readlink(os.path.join(copy, 'dosdevices', 'c:')), '../drive_c')
            with open(prefix.replace_file(lib), 'w') as f:
                f.write('stub')
            reg = regfile.RegistryFile(os.path.join(copy, 'system.reg'))
            reg.set_string('Software\\Wine', 'Version', 'win98')
            reg.save()
            with open(os.path.join(copy, 'drive_c', 'windows', 'win.ini'), 'w') as f:
                f.write('changed')
            for name, text in files.items():
                with open(os.path.join(base, name)) as f:
                    self.assertEqual(f.read(), text, name)


class BinfmtTest(unittest.TestCase):
    def test_registration_line(self):
        line = machine.registration_line()
        fields = line.split(':')
        self.assertEqual(fields[1], machine.HANDLER_NAME)
        self.assertEqual(fields[2], 'M')
        magic = bytes(int(x, 16) for x in fields[4].split('\\x')[1:])
        mask = bytes(int(x, 16) for x in fields[5].split('\\x')[1:])
        self.assertEqual((len(magic), len(mask)), (20, 20))
        self.assertEqual(fields[6], machine.QEMU)
        self.assertEqual(fields[7], 'F')
        # The mask takes 32-bit executables and shared objects, not 64-bit ones.
        for e_type, e_machine, expected in ((2, 3, True), (3, 3, True), (2, 62, False)):
            header = bytearray(machine.I386_MAGIC)
            struct.pack_into('<HH', header, 16, e_type, e_machine)
            if e_machine == 62:
                header[4] = 2
            matched = all((h & m) == (g & m) for h, g, m in zip(header, magic, mask))
            self.assertEqual(matched, expected, (e_type, e_machine))

    def test_active_i386_handlers_are_found(self):
        with tempfile.TemporaryDirectory() as d:
            for name, state, magic in (
                    ('qemu-i386', 'enabled', machine.I386_MAGIC.hex()),
                    ('off-i386', 'disabled', machine.I386_MAGIC.hex()),
                    ('qemu-arm', 'enabled', '7f454c4601010100000000000000000002002800')):
                with open(os.path.join(d, name), 'w') as f:
                    f.write('%s\ninterpreter /usr/bin/%s\nflags: F\noffset 0\nmagic %s\nmask %s\n'
                            % (state, name, magic, machine.I386_MASK.hex()))
            self.assertEqual(machine.i386_handlers(d), [('qemu-i386', '/usr/bin/qemu-i386', 'F')])


def _dump(**changes):
    """A resolved XP machine with one controller, as the simulator dumps it."""
    d = {'name': 'test', 'source': 'test.toml',
         'os': {'name': 'xp', 'platform': 2, 'major': 5, 'minor': 1, 'build_number': 2600,
                'csd': 'Service Pack 3'},
         'windows_dir': 'C:\\WINDOWS', 'system_dir': 'C:\\WINDOWS\\system32',
         'current_dir': 'C:\\VNTR', 'exe_dir': '', 'locale': 0x0409, 'codepage': 1252,
         'stdout': True, 'registry_delete': 'nt', 'command_line': '',
         'strings': {'103': realize.CAPTION}, 'files': [], 'registry': {'name': ''},
         'devices': [{'hardware_ids_hex': b'PCI\\VEN_C4B9&DEV_8E3A\0\0'.hex(),
                      'reported_size': None, 'insufficient_forever': False,
                      'size_query_succeeds': False, 'present': True}],
         'modules': [{'name': 'setupapi.dll', 'dir': 'C:\\WINDOWS\\system32', 'loads': True,
                      'planted': False, 'missing': []},
                     {'name': 'newdev.dll', 'dir': 'C:\\WINDOWS\\system32', 'loads': True,
                      'planted': False, 'missing': []}],
         'update': {'reboot': False, 'check': True},
         'answers': ['yes'], 'faults': [], 'settings': [{'field': 'devices[0].ids[0]', 'line': 9}]}
    for path, value in changes.items():
        node, keys = d, path.split('__')
        for k in keys[:-1]:
            node = node[int(k)] if k.isdigit() else node[k]
        node[int(keys[-1]) if keys[-1].isdigit() else keys[-1]] = value
    return d


class RealizeTest(unittest.TestCase):
    def test_settings_wine_cannot_hold_are_named(self):
        cases = [
            ({}, []),
            ({'windows_dir': 'C:\\WINNT', 'system_dir': 'C:\\WINNT\\system32',
              'modules__0__dir': 'C:\\WINNT\\system32', 'modules__1__dir': 'C:\\WINNT\\system32'},
             ['windows_dir', 'system_dir']),
            ({'devices__0__present': False}, ['devices[0].present']),
            ({'devices__0__reported_size': 12}, ['devices[0].reported_size']),
            ({'update__reboot': True}, ['update.reboot']),
            ({'registry_delete': 'legacy'}, ['registry_delete']),
            ({'locale': 0x0411}, ['locale']),
            ({'stdout': False}, []),
            ({'strings': {}}, ['caption']),
            ({'faults': [{'call': 'CopyFileA', 'nth': 1, 'count': 1, 'error': 5}]},
             ['faults[0].call']),
            ({'modules__0__dir': 'C:\\OTHER'}, ['modules."setupapi.dll".dir']),
            ({'os': {'platform': 3, 'major': 6, 'minor': 0, 'build_number': 1, 'csd': ''}},
             ['os']),
            ({'files': [{'path': 'C:\\VNTR\\SMALL.INF', 'dir': False, 'hex': '3b0d0a'},
                        {'path': 'C:\\VNTR\\BIG.BIN', 'dir': False, 'size': 1 << 24,
                         'crc32': 1, 'placeholder': True}]}, ['files']),
        ]
        for changes, blocked in cases:
            p = realize.plan(_dump(**changes))
            self.assertEqual([b.field for b in p.blockers], blocked, changes)
        # The file numbers its own devices, after the preset's ordinary ones.
        d = _dump(devices__0__present=False, settings=[{'field': 'devices[0].ids[0]', 'line': 9}])
        d['devices'].append(dict(d['devices'][0], present=True))
        p = realize.plan(d)
        self.assertEqual([(b.field, b.line) for b in p.blockers],
                         [('os (its ordinary device 0).present', 0)])
        d['devices'].reverse()
        p = realize.plan(d)
        self.assertEqual([(b.field, b.line) for b in p.blockers], [('devices[0].present', 9)])

    def test_versions_locales_and_libraries(self):
        cases = [
            ((1, 4, 10, 0x040A08AE, ' A '), ('named', 'win98')),
            ((1, 4, 10, 0x040A07CE, ' '), ('9x', (4, 10, 1998, ' '))),
            ((0, 3, 10, 0, 'Win32s 1.3'), ('named', 'win31')),
            ((2, 5, 1, 2600, 'Service Pack 2'), ('nt', (5, 1, 2600, 'Service Pack 2'))),
        ]
        for (platform, major, minor, build, csd), version in cases:
            os_ = {'name': 'x', 'platform': platform, 'major': major, 'minor': minor,
                   'build_number': build, 'csd': csd}
            p = realize.plan(_dump(os=os_, registry_delete='legacy' if platform == 1 else 'nt'))
            self.assertEqual(p.version, version)
        self.assertEqual(realize.plan(_dump(locale=0x0407)).locale, 'de_DE.UTF-8')
        p = realize.plan(_dump(modules__0__missing=['SetupDiCallClassInstaller'],
                               modules__1__loads=False))
        self.assertEqual(p.stubs, [('setupapi.dll', ['SetupDiCallClassInstaller'])])
        self.assertEqual((p.broken, p.overrides), (['newdev.dll'],
                                                   {'setupapi': 'native', 'newdev': 'native'}))
        d = _dump()
        d['modules'] = d['modules'][:1] + [{'name': 'newdev.dll', 'dir': 'C:\\VNTR',
                                            'loads': True, 'planted': True, 'missing': []}]
        p = realize.plan(d)
        self.assertEqual((p.planted, p.overrides),
                         ([('newdev.dll', 'C:\\VNTR')], {'newdev': ''}))
        self.assertEqual(realize.plan(_dump(devices__0__hardware_ids_hex=None)).devices, [None])

    def test_a_plan_is_written_into_the_prefix(self):
        with tempfile.TemporaryDirectory() as d:
            pfx = os.path.join(d, 'prefix')
            for sub in ('drive_c/windows/inf/other', 'drive_c/windows/system32', 'dosdevices'):
                os.makedirs(os.path.join(pfx, sub))
            for name in ('system.reg', 'user.reg'):
                with open(os.path.join(pfx, name), 'w') as f:
                    f.write(SYSTEM_REG)
            program = os.path.join(d, 'setup.exe')
            with open(program, 'wb') as f:
                f.write(b'MZ')
            dump = _dump(
                os={'name': '98', 'platform': 1, 'major': 4, 'minor': 10,
                    'build_number': 0x040A07CE, 'csd': ' '},
                registry_delete='legacy', current_dir='D:\\', system_dir='C:\\WINDOWS\\SYSTEM',
                files=[{'path': 'C:\\WINDOWS\\INF', 'dir': True},
                       {'path': 'C:\\WINDOWS\\INF\\OLD.INF', 'dir': False, 'hex': '3b0d0a'},
                       {'path': 'D:\\VNTR98.INF', 'dir': False, 'hex': '41'}],
                registry={'name': '', 'subkeys': [{'name': 'Enum', 'subkeys': [
                    {'name': 'PCI', 'subkeys': [{'name': 'VEN_C4B9&DEV_8E3A', 'values': [
                        {'name': 'Class', 'type': 1, 'hex': b'PCI\0'.hex()}]}]}]}]},
                devices__0__hardware_ids_hex=b'A\0B'.hex())
            dump['modules'] = [dict(dump['modules'][0], dir='C:\\WINDOWS\\SYSTEM')]
            dump['devices'].append(dict(dump['devices'][0], hardware_ids_hex=None))
            plan = realize.plan(dump)
            self.assertEqual(plan.blockers, [])
            realized = realize.Realizer({}, d).apply(plan, prefix.PrefixSetup(pfx),
                                                     os.path.join(d, 'work'), program)
            system = regfile.RegistryFile(os.path.join(pfx, 'system.reg'))
            user = regfile.RegistryFile(os.path.join(pfx, 'user.reg'))
            cv = 'Software\\Microsoft\\Windows\\CurrentVersion'
            self.assertEqual(system.value(cv, 'VersionNumber').text(), '4.10.1998')
            self.assertEqual(system.value(cv, 'SubVersionNumber').text(), ' ')
            self.assertIsNone(user.value('Software\\Wine', 'Version'))
            self.assertIsNone(system.value(cv, 'OtherDevicePath'))  # the machine has none
            self.assertEqual(system.value('Enum\\PCI\\VEN_C4B9&DEV_8E3A', 'Class').text(), 'PCI')
            self.assertFalse(system.has_key('Enum\\PCI\\VEN_C4B9&DEV_8E3A\\ROOT_BUS&01'))
            first = realize.DEVICE_ROOT + '\\0000'
            self.assertEqual(system.value(first, 'HardwareId').data, 'A\0B'.encode('utf-16-le'))
            self.assertIsNone(system.value(realize.DEVICE_ROOT + '\\0001', 'HardwareId'))
            self.assertEqual(realized.devices, ['ROOT\\VNTR_TEST\\0000', 'ROOT\\VNTR_TEST\\0001'])
            drive_d = os.path.join(d, 'work', 'drive-d')
            self.assertEqual(os.readlink(os.path.join(pfx, 'dosdevices', 'd:')), drive_d)
            self.assertEqual(realized.exe_unix, os.path.join(drive_d, 'setup.exe'))
            with open(os.path.join(drive_d, 'VNTR98.INF'), 'rb') as f:
                self.assertEqual(f.read(), b'A')
            inf = os.path.join(pfx, 'drive_c', 'windows', 'inf')
            self.assertEqual(sorted(os.listdir(inf)), ['OLD.INF'])  # no INF\OTHER on this one

    @unittest.skipUnless(os.path.exists(os.path.join(realize.WINE_PE_DIR, 'newdev.dll')),
                         'needs wine32')
    def test_exports_of_wine_libraries(self):
        names = realize.pe_exports(os.path.join(realize.WINE_PE_DIR, 'newdev.dll'))
        self.assertIn('UpdateDriverForPlugAndPlayDevicesA', names)
        self.assertEqual(names, sorted(names))  # the export table is sorted by name


def _view(calls=(), trace='', inf=None, other=None, pci=(), code=0, outcome='installed'):
    return compare.View(list(calls), trace, {'inf': inf or {}, 'other_device_path': other,
                                             'enum_pci': list(pci), 'planted_loaded': []},
                        code, outcome, 'ok')


def _delete(name, result=0):
    return ('RegDeleteKeyA', (('subkey', name),), result)


class CompareTest(unittest.TestCase):
    KNOWN = [{'id': k, 'cause': '-', 'scenario': 'm/%s.toml' % k} for k in compare.NORMALIZERS]

    def test_known_differences_explain_only_their_own_pattern(self):
        own = 'Compare device ID: [HID]\r\n'
        mine = 'Compare device ID: [PCI\\X]\r\n'
        cases = [
            ('same', _view(trace=mine), _view(trace=mine), [], []),
            ('own devices', _view(trace=mine), _view(trace=own + mine), ['wine-own-devices'], []),
            ('error 259', _view(trace='FAILURE: No more data is available.\r\n'),
             _view(trace='FAILURE: No more data available.\r\n'), ['error-259-text'], []),
            ('two subkeys', _view(calls=[_delete('a'), _delete('b')]),
             _view(calls=[_delete('a', 5), _delete('a\\x'), _delete('a'), _delete('b')]),
             ['delete-two-subkeys'], []),
            ('sorted keys', _view(calls=[_delete('b'), _delete('a')]),
             _view(calls=[_delete('a'), _delete('b')]), ['sorted-key-enumeration'], []),
            ('another trace line', _view(trace=mine), _view(trace=own + 'x\r\n'),
             ['wine-own-devices'], ['trace differs:']),
            ('a box more', _view(calls=[('MessageBoxA', (), 6)]), _view(), [],
             ['calls from setup.exe differ:']),
            ('state', _view(pci=['a']), _view(pci=[]), [], ["state enum_pci: simulator ['a'], "
                                                            "Wine []"]),
            ('exit code', _view(code=0), _view(code=1), [], ['exit code: simulator 0, Wine 1']),
        ]
        for name, sim, wine, seen, left in cases:
            got_left, got_seen = compare.compare(sim, wine, self.KNOWN, {'wine_device_ids': ['HID']})
            self.assertEqual(got_seen, seen, name)
            self.assertEqual([l for l in got_left if not l.startswith('  ')][:len(left) or 99],
                             left, name)

    def test_a_listed_difference_its_scenario_no_longer_shows_fails(self):
        left, _ = compare.compare(_view(), _view(), self.KNOWN, {}, 'm/error-259-text.toml')
        self.assertEqual(left, ['known difference error-259-text names this machine, but the '
                                'run does not show it'])

    def test_the_list_of_known_differences_is_complete(self):
        known = compare.load_known(os.path.join(os.path.dirname(__file__),
                                                'known-differences.toml'))
        self.assertEqual(sorted(k['id'] for k in known), sorted(compare.NORMALIZERS))
        for entry in known:
            self.assertTrue(os.path.exists(os.path.join(os.path.dirname(__file__), '..', '..',
                                                        entry['scenario'])), entry['scenario'])

    def test_simulator_events_and_relayed_calls_meet(self):
        sim = compare._calls(compare._sim_events({'events': [
            {'type': 'box', 'call': 'MessageBoxA', 'result': 6, 'answer': 'Yes',
             'args': {'owner': 'NULL', 'text': 'Q?', 'caption': 'T', 'type': 4}},
            {'type': 'dir', 'call': 'GetWindowsDirectoryA', 'args': {'size': 256}, 'result': 10},
            {'type': 'load', 'call': 'LoadLibraryA', 'result': '0x10100000',
             'args': {'name': 'C:\\WINDOWS\\system32\\setupapi.dll'}},
            {'type': 'copy', 'call': 'CopyFileA', 'result': True,
             'args': {'from': 'C:\\VNTR\\A.INF', 'to': 'C:\\WINDOWS\\INF\\A.INF',
                      'fail_if_exists': 0}}]}))
        log = winelog.WineLog(
            '0020:0024:Call user32.MessageBoxA(00000000,00403000 "Q?",00403100 "T",00000004) '
            'ret=00401234\n'
            '0020:0024:Ret  user32.MessageBoxA() retval=00000006 ret=00401234\n'
            '0020:0024:Call KERNEL32.LoadLibraryA(00403200 "C:\\\\windows\\\\system32\\\\'
            'setupapi.dll") ret=00401300\n'
            '0020:0024:Ret  KERNEL32.LoadLibraryA() retval=6aec0000 ret=00401300\n'
            '0020:0024:Call KERNEL32.CopyFileA(00403200 "C:\\\\VNTR\\\\A.INF",00403300 '
            '"C:\\\\windows\\\\INF\\\\A.INF",00000000) ret=00401400\n'
            '0020:0024:Ret  KERNEL32.CopyFileA() retval=00000001 ret=00401400\n')
        wine = compare._calls([wine_run.event_of(c) for c in log.calls])
        self.assertEqual(sim, wine)


class RunReportTest(unittest.TestCase):
    def test_message_file_read_in_text_mode(self):
        self.assertEqual(wine_run.message_table(None), checks.MESSAGES)
        self.assertEqual(wine_run.message_table(b'a\r\nb\rc\r\nlast'),
                         ['a\n', 'b\rc\n', 'last', None, None])
        self.assertEqual(wine_run.message_table(b'1\n2\x1a3\n'), ['1\n', '2', None, None, None])
        self.assertEqual(wine_run.message_table(b'x' * 300)[:2], ['x' * 255, 'x' * 45])

    def test_change_lines(self):
        def call(function, result, **args):
            return {'call': function, 'args': args, 'result': result}
        events = [
            call('CopyFileA', True, **{'from': 'C:\\VNTR\\A.INF', 'to': 'C:\\windows\\INF\\A.INF'}),
            call('CopyFileA', False, **{'from': 'C:\\VNTR\\A.CAT', 'to': 'C:\\windows\\INF\\A.CAT'}),
            call('RegSetValueExA', 0, name='OtherDevicePath', type=1, size=21),
            call('RegDeleteKeyA', 5, subkey='K1'),
            call('RegDeleteKeyA', 0, subkey='K1'),
            call('UpdateDriverForPlugAndPlayDevicesA', True, hardware_id='PCI\\X', inf='C:\\V\\X.INF'),
            call('ExitWindowsEx', True, flags=2, reserved=0),
        ]
        before = (None, ['K1', 'K1\\I', 'K2', 'Other', 'Other\\I'])
        after = ([1, 'C:\\windows\\INF\\OTHER'], ['Other', 'Other\\I'])
        self.assertEqual(wine_run.changes_of(events, before, after), [
            'copy C:\\VNTR\\A.INF -> C:\\windows\\INF\\A.INF',
            'regset HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\OtherDevicePath = '
            'REG_SZ, 21 bytes: "C:\\windows\\INF\\OTHER\\0"',
            'regdel HKLM\\Enum\\PCI\\K1', 'regdel HKLM\\Enum\\PCI\\K2',
            'install PCI\\X from C:\\V\\X.INF', 'reboot'])

    def test_outcomes(self):
        def box(text, result):
            return {'call': 'MessageBoxA', 'args': {'text': text}, 'result': result}
        q, m = checks.MESSAGES[checks.CONFIRM], checks.MESSAGES
        cases = [
            ([], 2, 'nothing'),
            ([box(q, 7)], 2, 'declined'),
            ([box(q, 6)], 0, 'nothing'),
            ([box(q, 6), box(m[checks.SUCCESS], 1)], 2, 'installed'),
            ([box(q, 6), box(m[checks.SUCCESS], 1)], 1, 'staged'),
            ([box(q, 6), box(m[3], 6), {'call': 'ExitWindowsEx', 'args': {}, 'result': True}], 1,
             'restart'),
            ([box(q, 6), box(m[checks.NO_CONTROLLER], 1)], 2, 'no-controller'),
            ([box(q, 6), box(m[checks.FAILED], 1)], 2, 'failed'),
            ([box(q, 6), box(m[checks.FAILED], 1)], 1, 'failed'),
            ([box(q, 6), box(m[checks.FAILED], 1)], 1.95, 'nothing'),  # Windows 95
        ]
        for events, platform, outcome in cases:
            build = 950 if platform == 1.95 else 2222
            dump = _dump(os={'platform': int(platform), 'build_number': build})
            self.assertEqual(wine_run.outcome_of(events, dump), outcome, (platform, events))


if __name__ == '__main__':
    unittest.main()
