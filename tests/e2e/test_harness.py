"""Tests of the wine/ package's own logic: Wine's registry files, its debug
log, binfmt_misc entries, plans, the relayed calls named after the
simulator's, the comparison and the version pins. VNTR_SIM_BINARY and
VNTR_SETUP_EXE (set by CTest) name the build's simulator and setup.exe."""

import glob
import json
import os
import re
import struct
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, SOURCE)

from wine import codepage, compare, jsontext, mode, pe, prefix, realize, regfile, run  # noqa: E402
from wine import session, simulator, versions, winelog  # noqa: E402

SIM = os.environ.get('VNTR_SIM_BINARY', '')
SETUP_EXE = os.environ.get('VNTR_SETUP_EXE', '')

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

    def test_a_process_faulting_in_a_loop_is_told_from_a_few_faults(self):
        trap = '0074:0130:' + session.LOOP_LINE + ' -1\n'
        cases = [(trap * 5000, True), ('0020:0024:Call x\n' * 5000 + trap * 3, False),
                 ((trap + '0074:0130:Call y\n') * 3000, False)]
        for text, looping in cases:
            with tempfile.NamedTemporaryFile('w', suffix='.log') as f:
                f.write(text)
                f.flush()
                self.assertEqual(session._looping(f.name) is not None, looping, text[-40:])


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


class BaseLockTest(unittest.TestCase):
    def test_a_run_waits_while_another_makes_the_base_prefix(self):
        """Two first runs at once: the second waits for the first's lock
        and then finds the base prefix made; copies share the lock."""
        import threading
        with tempfile.TemporaryDirectory() as d:
            base, times = os.path.join(d, 'base-prefix'), {}

            def copy():
                with prefix.base_lock(base, shared=True):
                    times['copied'] = time.monotonic()
                    with prefix.base_lock(base + '2', shared=True):  # another lock: no wait
                        pass

            with prefix.base_lock(base):
                other = threading.Thread(target=copy)
                other.start()
                time.sleep(0.3)
                self.assertNotIn('copied', times)
                released = time.monotonic()
            other.join(10)
            self.assertGreaterEqual(times['copied'], released)
            with prefix.base_lock(base, shared=True), prefix.base_lock(base, shared=True):
                pass  # shared locks go together


class FirstStartTest(unittest.TestCase):
    def test_a_first_start_that_fails_is_made_once_more_with_a_longer_time_out(self):
        """Wine's first start in the base prefix: a crash or a hang costs a
        short first time-out and one more try; two failures leave no half
        made base prefix."""
        from unittest import mock
        for failures, made in ((0, True), (1, True), (2, False)):
            with tempfile.TemporaryDirectory() as d:
                base, tries = os.path.join(d, 'base-prefix'), []

                def start(base, workdir, mode, preload, tag, listdevices, timeout):
                    tries.append(timeout)
                    with open(os.path.join(base, 'user.reg'), 'w') as f:
                        f.write(SYSTEM_REG)
                    if len(tries) <= failures:
                        raise session.SessionError('wineboot --init timed out')
                    return []

                with mock.patch.object(prefix, '_first_start', start), \
                        mock.patch.object(prefix, 'wine_version', lambda: 'wine-8.0'), \
                        mock.patch.object(prefix, 'registered_device_ids', lambda b: []), \
                        mock.patch.object(prefix, 'link_wine_fonts', lambda b: 1):
                    try:
                        prefix.prepare_base(base, os.path.join(d, 'work'),
                                            mode.Mode('native', False, 'test'), None, d, None)
                    except session.SessionError:
                        pass
                self.assertEqual(tries, list(prefix.FIRST_START_TIMEOUTS[:failures + 1]))
                self.assertEqual((os.path.isdir(base), os.path.exists(base + '.ready')),
                                 (made, made), failures)


class BinfmtAndVersionTest(unittest.TestCase):
    def test_registration_line(self):
        line = mode.registration_line()
        fields = line.split(':')
        self.assertEqual(fields[1], mode.HANDLER_NAME)
        self.assertEqual(fields[2], 'M')
        magic = bytes(int(x, 16) for x in fields[4].split('\\x')[1:])
        mask = bytes(int(x, 16) for x in fields[5].split('\\x')[1:])
        self.assertEqual((len(magic), len(mask)), (20, 20))
        self.assertEqual(fields[6], mode.QEMU)
        self.assertEqual(fields[7], 'F')
        # The mask takes 32-bit executables and shared objects, not 64-bit ones.
        for e_type, e_machine, expected in ((2, 3, True), (3, 3, True), (2, 62, False)):
            header = bytearray(mode.I386_MAGIC)
            struct.pack_into('<HH', header, 16, e_type, e_machine)
            if e_machine == 62:
                header[4] = 2
            matched = all((h & m) == (g & m) for h, g, m in zip(header, magic, mask))
            self.assertEqual(matched, expected, (e_type, e_machine))

    def test_active_i386_handlers_are_found(self):
        with tempfile.TemporaryDirectory() as d:
            for name, state, magic in (
                    ('qemu-i386', 'enabled', mode.I386_MAGIC.hex()),
                    ('off-i386', 'disabled', mode.I386_MAGIC.hex()),
                    ('qemu-arm', 'enabled', '7f454c4601010100000000000000000002002800')):
                with open(os.path.join(d, name), 'w') as f:
                    f.write('%s\ninterpreter /usr/bin/%s\nflags: F\noffset 0\nmagic %s\nmask %s\n'
                            % (state, name, magic, mode.I386_MASK.hex()))
            self.assertEqual(mode.i386_handlers(d), [('qemu-i386', '/usr/bin/qemu-i386', 'F')])

    def test_only_another_version_than_the_checked_one_is_warned_of(self):
        cases = [('wine', 'wine-8.0 (Debian 8.0~repack-4)', None),
                 ('wine', 'wine-9.0', 'wine is 9.0, not 8.0'),
                 ('wine', '', 'wine is an unknown version'),
                 ('qemu', 'qemu-i386 version 7.2.22 (Debian 1:7.2+dfsg-7)', None),
                 ('qemu', 'qemu-i386 version 8.2.1', 'qemu is 8.2, not 7.2')]
        for tool, text, said in cases:
            got = versions.warning(tool, text)
            self.assertEqual(got is None, said is None, (tool, text, got))
            if said:
                self.assertTrue(got.startswith(said), got)


def _file(path, hex=None, placeholder=True):
    """A file of the dump: its bytes, or its size and CRC-32 only."""
    if hex is not None:
        return {'path': path, 'dir': False, 'hex': hex}
    return {'path': path, 'dir': False, 'size': 1 << 24, 'crc32': 1,
            'placeholder': placeholder}


def _dump(**changes):
    """A resolved XP machine with one controller, as the simulator dumps it."""
    d = {'name': 'test', 'source': 'test.toml',
         'os': {'name': 'xp', 'platform': 2, 'major': 5, 'minor': 1, 'build_number': 2600,
                'csd': 'Service Pack 3'},
         'windows_dir': 'C:\\WINDOWS', 'system_dir': 'C:\\WINDOWS\\system32',
         'current_dir': 'C:\\VNTR', 'exe_dir': '', 'locale': 0x0409, 'codepage': 1252,
         'unix_locale': {'name': 'en_US', 'locale': 0x0409, 'codepage': 1252},
         'stdout': True, 'registry_delete': 'nt', 'command_line': '',
         'strings': {'103': 'Caption'}, 'files': [], 'registry': {'name': ''},
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
    def test_settings_wine_holds_otherwise_are_named_and_only_what_cannot_run_blocks(self):
        P, N, E = realize.PATHS, realize.NOTHING, realize.EVERYTHING
        winnt = {'windows_dir': 'C:\\WINNT', 'system_dir': 'C:\\WINNT\\system32',
                 'modules__0__dir': 'C:\\WINNT\\system32',
                 'modules__1__dir': 'C:\\WINNT\\system32'}
        japanese = {'locale': 0x0411, 'codepage': 932,
                    'unix_locale': {'name': 'ja_JP', 'locale': 0x0411, 'codepage': 932}}
        # (changes, blocked, realized otherwise with what they leave compared)
        cases = [
            ({}, [], []),
            (winnt, [], [('windows_dir', P), ('system_dir', P)]),
            (dict(winnt, system_dir='D:\\SYS', modules__0__dir='D:\\SYS',
                  modules__1__dir='D:\\SYS'), [], [('windows_dir', P), ('system_dir', N)]),
            ({'windows_dir': 'C:\\WINDOWS\\A\\B', 'system_dir': 'C:\\WINDOWS\\A\\B\\system32',
              'modules__0__dir': 'C:\\WINDOWS\\A\\B\\system32',
              'modules__1__dir': 'C:\\WINDOWS\\A\\B\\system32'}, [],
             [('windows_dir', N), ('system_dir', P)]),
            ({'devices__0__present': False}, [], [('devices[0].present', N)]),
            ({'devices__0__reported_size': 12}, [], [('devices[0].reported_size', N)]),
            ({'update__reboot': True}, [], [('update.reboot', N)]),
            ({'registry_delete': 'legacy'}, [], [('registry_delete', N)]),
            (japanese, [], []),
            ({'locale': 0x040a, 'unix_locale': {'name': 'es_ES', 'locale': 0x0c0a,
                                                'codepage': 1252}}, [], [('locale', N)]),
            ({'codepage': 932}, [], [('codepage', N)]),
            ({'stdout': False}, [], []),
            ({'strings': {}}, [], [('caption', N)]),
            ({'strings': {'103': 'Another'}}, [], [('caption', N)]),
            ({'faults': [{'call': 'CopyFileA', 'nth': 1, 'count': 1, 'error': 5}]}, [],
             [('faults[0].call', N)]),
            ({'command_line': '/s'}, [], [('command_line', N)]),
            ({'modules__0__dir': 'C:\\OTHER'}, ['modules."setupapi.dll".dir'], []),
            ({'os': {'platform': 3, 'major': 6, 'minor': 0, 'build_number': 1, 'csd': ''}},
             ['os'], []),
            ({'current_dir': 'VNTR'}, ['current_dir'], []),
            # Files by size and CRC-32: real bytes (from the simulator) run as
            # they are; a placeholder runs, its bytes made up alike on both
            # sides, but not the package's INF or catalog.
            ({'files': [_file('C:\\VNTR\\SMALL.INF', hex='3b0d0a'),
                        _file('C:\\VNTR\\BIG.SYS', placeholder=False),
                        _file('C:\\VNTR\\BIG.BIN'),
                        _file('C:\\WINDOWS\\INF\\OEM1.INF')]}, [],
             [('files', E), ('files', E)]),
            ({'files': [_file('C:\\VNTR\\VNTRXP.inf')]}, ['files'], []),
            ({'files': [_file('C:\\VNTR\\VNTR98SE.CAT')]}, ['files'], []),
            ({'files': [dict(_file('C:\\VNTR\\VNTRME.INF', hex='00'), placeholder=True)]},
             ['files'], []),  # small: its made-up bytes shown
            ({'exe_dir': 'D:\\', 'files': [_file('D:\\VNTRXP.INF')]}, ['files'], []),
            # Names the host cannot hold: 255 characters of 3 bytes each in
            # UTF-8; a lead byte that ends a name.
            (dict(japanese, files=[_file('C:\\VNTR\\' + '\x83\x5c' * 100, hex='')]),
             ['files'], []),
            (dict(japanese, current_dir='C:\\VNTR\x83'), ['current_dir'], []),
            ({'files': [_file('C:\\VNTR\\' + 'a' * 255, hex='')]}, [], []),
        ]
        for changes, blocked, otherwise in cases:
            p = realize.plan(_dump(**changes), {103: 'Caption'})
            self.assertEqual([b.field for b in p.blockers], blocked, changes)
            self.assertEqual([(d.field, d.leaves) for d in p.differences], otherwise, changes)
            self.assertEqual(p.comparable, all(leaves != N for _, leaves in otherwise))
        p = realize.plan(_dump(**japanese))
        self.assertEqual((p.locale, p.codepage), ('ja_JP.UTF-8', 932))
        self.assertEqual(p.text('C:\\\x95\\'), 'C:\\\u8868')  # one character, its second byte 5C
        # A Windows directory under another name: laid out below Wine's, and
        # compared but for its name.
        p = realize.plan(_dump(**winnt))
        self.assertEqual(p.path_masks(), [('C:\\WINNT', 'C:\\windows')])
        self.assertEqual(p.wine_path('C:\\WINNT\\INF\\X.INF'), 'C:\\windows\\INF\\X.INF')
        self.assertEqual(p.wine_path('C:\\WINNTX\\A'), 'C:\\WINNTX\\A')
        self.assertIn('C:\\windows under Wine, C:\\WINNT on the machine', p.comparison())
        self.assertEqual(p.differences[0].as_json()['line'], 0)  # the preset's: no line
        # A deeper one is laid out below Wine's too, but not compared.
        p = realize.plan(_dump(windows_dir='C:\\WINDOWS\\A\\B'))
        self.assertEqual((p.path_masks(), p.wine_path('c:\\windows\\a\\b\\INF')),
                         ([], 'C:\\windows\\INF'))
        # Without the program's string table the caption is not checked.
        self.assertEqual(realize.plan(_dump(strings={})).differences, [])
        # The file numbers its own devices, after the preset's ordinary ones.
        d = _dump(devices__0__present=False, settings=[{'field': 'devices[0].ids[0]', 'line': 9}])
        d['devices'].append(dict(d['devices'][0], present=True))
        p = realize.plan(d)
        self.assertEqual([(b.field, b.line) for b in p.differences],
                         [('os (its ordinary device 0).present', 0)])
        d['devices'].reverse()
        p = realize.plan(d)
        self.assertEqual([(b.field, b.line) for b in p.differences], [('devices[0].present', 9)])

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
        self.assertEqual(realize.plan(_dump(locale=0x0407, unix_locale={
            'name': 'de_DE', 'locale': 0x0407, 'codepage': 1252})).locale, 'de_DE.UTF-8')
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


class ProgramFactsTest(unittest.TestCase):
    """What the Wine side reads from the program's files and the simulator
    rather than keeping a copy."""

    @unittest.skipUnless(os.path.exists(os.path.join(realize.WINE_PE_DIR, 'newdev.dll')),
                         'needs wine32')
    def test_exports_and_imports_of_wine_libraries(self):
        names = pe.exports(os.path.join(realize.WINE_PE_DIR, 'newdev.dll'))
        self.assertIn('UpdateDriverForPlugAndPlayDevicesA', names)
        self.assertEqual(names, sorted(names))  # the export table is sorted by name
        self.assertIn('SetupDiCallClassInstaller', realize.wine_imports('newdev.dll',
                                                                        'setupapi.dll'))

    @unittest.skipUnless(os.path.exists(SETUP_EXE) and os.path.exists(SIM),
                         'needs VNTR_SETUP_EXE and VNTR_SIM_BINARY')
    def test_setup_exe_carries_the_simulator_s_caption(self):
        builtin = json.loads(subprocess.run([SIM, '--os', 'xp', '--dump-machine'],
                                            stdout=subprocess.PIPE, check=True).stdout)
        strings = pe.strings(SETUP_EXE)
        self.assertEqual({str(k): v for k, v in strings.items()}, builtin['strings'])
        self.assertEqual(realize.plan(builtin, strings).blockers, [])
        self.assertGreater(pe.image_size(SETUP_EXE), os.path.getsize(SETUP_EXE) // 2)

    @unittest.skipUnless(os.path.exists(SIM), 'needs VNTR_SIM_BINARY')
    def test_one_list_of_argument_names_serves_simulator_and_relay(self):
        relay = compare.Relay(simulator.host_calls(SIM))
        self.assertIn('user32.MessageBoxA', relay.include.split(';'))
        self.assertIn('newdev.UpdateDriverForPlugAndPlayDevicesA', relay.include.split(';'))
        seen = set()
        machines = glob.glob(os.path.join(SOURCE, 'examples', 'machines', '*.toml')) + \
            glob.glob(os.path.join(SOURCE, 'tests', 'machines', '*.toml'))
        for path in machines:
            events = compare._sim_events(simulator.predict(SIM, path))
            relay.check_events(events)  # raises on another order or name
            seen |= {e['call'] for e in events}
        self.assertEqual(set(compare.COMPARED_CALLS) - seen, set())


    @unittest.skipUnless(os.path.exists(SIM), 'needs VNTR_SIM_BINARY')
    def test_a_box_that_differs_is_named_with_the_simulator_s_tags(self):
        path = os.path.join(SOURCE, 'examples', 'machines', '98se.toml')
        dump, doc = simulator.dump(SIM, path), simulator.predict(SIM, path)
        # The record's tags on today's JSON: the question, the reboot question,
        # and a box whose number cannot be told.
        boxes = [e for e in doc['events'] if e.get('type') == 'box']
        for box, tags in zip(boxes, ({'message': 4}, {'message': 3},
                                     {'message': None, 'absent': True})):
            box.update(tags)
        relay = compare.Relay(simulator.host_calls(SIM))
        sim = compare.sim_view(dump, doc, relay)
        wine_events = [dict(e, args=dict(e['args'])) for e in compare._sim_events(doc)
                       if e['call'] in compare.COMPARED_CALLS]
        wine_events[-2]['args']['text'] = 'Another text'
        wine = compare.View(compare.compared_calls(wine_events), sim.trace, sim.state,
                            sim.exit_code, sim.status)
        said = [l for l in compare.differences(sim, wine) if l.startswith('  !')]
        self.assertEqual(len(said), 1)
        self.assertTrue(said[0].endswith('-> 7 (message 3)'), said[0])
        self.assertEqual(sim.tags[2], 'a box without text, its message number not to be told')


LIST_CALLS = '''host function                        library        can fail  records
MessageBoxA                          user32.dll     yes (8)   args: owner, text, caption, type; result (the answer)
RegSetValueExA                       advapi32.dll   yes (5)   args: key, name, reserved, type, data, size; result (status)
RegDeleteKeyA                        advapi32.dll   yes (5)   args: key, subkey; result (status); the keys removed
LoadLibraryA                         kernel32.dll   yes (126) args: name; result (handle); error
CopyFileA                            kernel32.dll   yes (5)   args: from, to, fail_if_exists; result; error
CreateDirectoryA                     kernel32.dll   yes (5)   args: path, security; result; error
ExitWindowsEx                        user32.dll     yes (5)   args: flags, reserved; result
UpdateDriverForPlugAndPlayDevicesA   newdev.dll     yes (5)   args: parent, hardware_id, inf, flags, reboot (the flag's value at the call); result
CM_Locate_DevNodeA                   setupapi.dll   no        the call alone, as an unexpected_call event

A [[faults]] entry names one of the functions that can fail.
'''


def _relayed(line):
    return winelog.WineLog(line + '\n').calls[0]


class RelayTest(unittest.TestCase):
    def setUp(self):
        self.relay = compare.Relay(simulator.parse_calls(LIST_CALLS))

    def test_calls_are_named_after_the_simulator_s_list(self):
        calls = simulator.parse_calls(LIST_CALLS)
        self.assertEqual(calls['UpdateDriverForPlugAndPlayDevicesA'],
                         ('newdev.dll', ['parent', 'hardware_id', 'inf', 'flags', 'reboot']))
        self.assertEqual(calls['CM_Locate_DevNodeA'], ('setupapi.dll', []))
        cases = [
            ('0020:0024:Call advapi32.RegSetValueExA(00000034,00403000 "OtherDevicePath",'
             '00000000,00000001,0034fe00,00000015) ret=00401234',
             {'key': None, 'name': 'OtherDevicePath', 'reserved': 0, 'type': 1, 'data': None,
              'size': 21}),
            ('0020:0024:Call newdev.UpdateDriverForPlugAndPlayDevicesA(00000000,00403000 "PCI\\\\X",'
             '00403100 "C:\\\\V\\\\X.INF",00000001,0034fe10) ret=00401234',
             {'parent': 'NULL', 'hardware_id': 'PCI\\X', 'inf': 'C:\\V\\X.INF', 'flags': 1,
              'reboot': '0x0034fe10'}),
            ('0020:0024:Call user32.MessageBoxA(00000000,00000000,00403100 "T",00000000,'
             '00000009) ret=00401234',
             {'owner': 0, 'text': 0, 'caption': 'T', 'type': 0, 'arg5': 9}),
        ]
        for line, args in cases:
            self.assertEqual(self.relay.event_of(_relayed(line))['args'], args)

    def test_a_rule_or_an_event_that_does_not_fit_the_list_is_refused(self):
        calls = simulator.parse_calls(LIST_CALLS)
        calls['CopyFileA'] = ('kernel32.dll', ['source', 'target', 'fail_if_exists'])
        with self.assertRaisesRegex(ValueError, 'CopyFileA has no argument from, to'):
            compare.Relay(calls)
        with self.assertRaisesRegex(ValueError, 'holds the arguments name, path'):
            self.relay.check_events([{'call': 'LoadLibraryA', 'args': {'name': 'x', 'path': 'y'}}])

    def test_the_simulator_s_events_and_the_relayed_calls_meet(self):
        sim = [
            {'type': 'box', 'call': 'MessageBoxA', 'result': 6, 'answer': 'Yes', 'message': 4,
             'args': {'owner': 'NULL', 'text': 'Q?', 'caption': 'T', 'type': 4}},
            {'type': 'load', 'call': 'LoadLibraryA', 'result': '0x10100000',
             'args': {'name': 'C:\\WINDOWS\\system32\\setupapi.dll'}},
            {'type': 'copy', 'call': 'CopyFileA', 'result': True,
             'args': {'from': 'C:\\VNTR\\A.INF', 'to': 'C:\\WINDOWS\\INF\\A.INF',
                      'fail_if_exists': 0}},
            {'type': 'install', 'call': 'UpdateDriverForPlugAndPlayDevicesA', 'result': True,
             'args': {'parent': 'NULL', 'hardware_id': 'PCI\\X', 'inf': 'C:\\V\\X.INF',
                      'flags': 1, 'reboot': 0}},
        ]
        log = winelog.WineLog(
            '0020:0024:Call user32.MessageBoxA(00000000,00403000 "Q?",00403100 "T",00000004) '
            'ret=00401234\n'
            '0020:0024:Ret  user32.MessageBoxA() retval=00000006 ret=00401234\n'
            '0020:0024:Call KERNEL32.LoadLibraryA(00403200 "C:\\\\windows\\\\system32\\\\'
            'setupapi.dll") ret=00401300\n'
            '0020:0024:Ret  KERNEL32.LoadLibraryA() retval=6aec0000 ret=00401300\n'
            '0020:0024:Call KERNEL32.CopyFileA(00403200 "C:\\\\VNTR\\\\A.INF",00403300 '
            '"C:\\\\windows\\\\INF\\\\A.INF",00000000) ret=00401400\n'
            '0020:0024:Ret  KERNEL32.CopyFileA() retval=00000001 ret=00401400\n'
            '0020:0024:Call newdev.UpdateDriverForPlugAndPlayDevicesA(00000000,00403000 '
            '"PCI\\\\X",00403100 "C:\\\\V\\\\X.INF",00000001,0034fe10) ret=00401500\n'
            '0020:0024:Ret  newdev.UpdateDriverForPlugAndPlayDevicesA() retval=00000001 '
            'ret=00401500\n')
        wine = [self.relay.event_of(c) for c in log.calls]
        self.assertEqual(compare.compared_calls(sim), compare.compared_calls(wine))
        # A reboot flag passed as NULL is another call.
        sim[3]['args']['reboot'] = None
        self.assertNotEqual(compare.compared_calls(sim), compare.compared_calls(wine))


def _view(calls=(), trace='', inf=None, other=None, pci=(), code=0, tags=()):
    return compare.View(list(calls), trace, {'inf': inf or {}, 'other_device_path': other,
                                             'enum_pci': list(pci), 'planted_loaded': []},
                        code, 'ok', tags, 'C:\\WINDOWS')


def _delete(name, result=0):
    return ('RegDeleteKeyA', (('subkey', name),), result)


class CompareTest(unittest.TestCase):
    KNOWN = [{'id': k, 'cause': '-', 'scenario': 'm/%s.toml' % k} for k in compare.NORMALIZERS]

    def test_known_differences_explain_only_their_own_pattern(self):
        own = 'Compare device ID: [HID]\r\n'
        mine = 'Compare device ID: [PCI\\X]\r\n'
        box = ('MessageBoxA', (('text', 'Installation successful!'),), 1)
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
            ('a box more', _view(calls=[box], tags=['message 2']), _view(), [],
             ['calls from setup.exe differ:', "!  1 simulator MessageBoxA(text='Installation "
              "successful!') -> 1 (message 2)"]),
            ('state', _view(pci=['a']), _view(pci=[]), [], ["state enum_pci: simulator ['a'], "
                                                            "Wine []"]),
            ('exit code', _view(code=0), _view(code=1), [], ['exit code: simulator 0, Wine 1']),
        ]
        # A system text in the machine's language: taken as the simulator's
        # on a German machine only, and only in a failure line.
        english = 'EnumDeviceInfo FAILURE: No more data is available.\r\r\n'
        german = 'EnumDeviceInfo FAILURE: Keine weiteren Daten.\r\r\n'
        cases += [
            ('German text', _view(trace=english), _view(trace=german),
             ['system-texts-in-the-machine-language'], [], 0x0407),
            ('German text, English machine', _view(trace=english), _view(trace=german), [],
             ['trace differs:'], 0x0409),
            ('another line', _view(trace=english), _view(trace='Other FAILURE: x\r\r\n'), [],
             ['trace differs:'], 0x0407),
        ]
        for name, sim, wine, seen, left, *locale in cases:
            got_left, got_seen = compare.compare(sim, wine, self.KNOWN, {
                'wine_device_ids': ['HID'], 'locale': locale[0] if locale else 0x0409})
            self.assertEqual(got_seen, seen, name)
            self.assertEqual([l.strip() for l in got_left][:len(left) or 99], left, name)

    def test_a_windows_directory_under_another_name_compares_but_for_its_name(self):
        def views(wine_name, machine='C:\\WINNT', wine_dir='C:\\windows'):
            copy = {'call': 'CopyFileA', 'args': {'from': 'C:\\VNTR\\A.INF',
                                                  'to': machine + '\\INF\\A.INF',
                                                  'fail_if_exists': 0}, 'result': True}
            sim = _view(calls=compare.compared_calls([copy]),
                        trace='Windows directory: %s\r\n' % machine)
            wine = _view(calls=compare.compared_calls([dict(copy, args=dict(
                copy['args'], to=wine_dir + '\\INF\\' + wine_name))]),
                trace='Windows directory: %s\r\n' % wine_dir)
            return (compare.mask_paths(sim, machine), compare.mask_paths(wine, wine_dir),
                    {'changes': [copy], 'change_lines': ['copy']})
        cases = [('alike', 'A.INF', []),
                 ('another file', 'B.INF', ['calls from setup.exe differ:'])]
        for name, wine_name, left in cases:
            sim, wine, doc = views(wine_name)
            got, _ = compare.compare(sim, wine, self.KNOWN, {})
            self.assertEqual(got[:1], left, name)
            self.assertEqual(compare.confirmed_changes(sim, wine, doc), [('copy', not left)], name)
        # A directory that merely begins with the same letters keeps its name.
        self.assertEqual(compare._masked('c:\\winntx\\a', 'C:\\WINNT'), 'c:\\winntx\\a')

    def test_a_listed_difference_its_scenario_no_longer_shows_fails(self):
        left, _ = compare.compare(_view(), _view(), self.KNOWN, {}, 'm/error-259-text.toml')
        self.assertEqual(left, ['known difference error-259-text names this machine, but the '
                                'run does not show it'])

    def test_the_list_of_known_differences_is_complete(self):
        known = compare.load_known(os.path.join(HERE, 'known-differences.toml'))
        self.assertEqual(sorted(k['id'] for k in known), sorted(compare.NORMALIZERS))
        for entry in known:
            self.assertTrue(os.path.exists(os.path.join(SOURCE, entry['scenario'])),
                            entry['scenario'])

    def test_what_the_simulator_says_of_a_box(self):
        cases = [({'message': 2}, 'message 2'), ({'message': 0}, 'message 0'),
                 ({'message': None, 'entry_point': True}, 'names a missing setupapi entry point'),
                 ({'message': None, 'absent': True}, 'a box without text, its message number '
                  'not to be told'), ({}, None)]
        for fields, tag in cases:
            self.assertEqual(compare.box_tag(dict({'call': 'MessageBoxA'}, **fields)), tag)

    def test_the_simulator_s_changes_are_marked_where_wine_made_them(self):
        def event(call, result, **args):
            return {'call': call, 'args': args, 'result': result}
        copy = event('CopyFileA', True, **{'from': 'C:\\VNTR\\A.INF',
                                           'to': 'C:\\WINDOWS\\INF\\A.INF', 'fail_if_exists': 0})
        regset = event('RegSetValueExA', 0, key='HKLM\\X', name='OtherDevicePath', reserved=0,
                       type=1, data='C:\\WINDOWS\\INF\\OTHER\0', size=21)
        regdel = dict(event('RegDeleteKeyA', 0, key='HKLM\\Enum\\PCI', subkey='K1'),
                      removed=['HKLM\\Enum\\PCI\\K1', 'HKLM\\Enum\\PCI\\K1\\I'])
        doc = {'changes': [copy, regset, regdel, event('ExitWindowsEx', True, flags=2,
                                                       reserved=0)],
               'change_lines': ['copy', 'regset', 'regdel', 'reboot']}
        state = {'inf': {'inf\\a.inf': 'd1'}, 'other_device_path': [1, 'c:\\windows\\inf\\other'],
                 'enum_pci': ['k2']}
        sim = compare.View(compare.compared_calls(doc['changes']), '', state, 0, 'ok', (),
                           'C:\\WINDOWS')
        wine_calls = compare.compared_calls([
            dict(regdel, args={'key': None, 'subkey': 'k1'}), regset,
            dict(copy, args=dict(copy['args'], to='C:\\windows\\INF\\A.INF'))])
        cases = [
            ('all made but the reboot', state, [True, True, True, False]),
            ('another copy', dict(state, inf={'inf\\a.inf': 'd2'}), [False, True, True, False]),
            ('a key left', dict(state, enum_pci=['k1\\i', 'k2']), [True, True, False, False]),
            ('another value', dict(state, other_device_path=[1, 'x']), [True, False, True, False]),
        ]
        for name, wine_state, made in cases:
            wine = compare.View(wine_calls, '', wine_state, 0, 'ok')
            self.assertEqual(compare.confirmed_changes(sim, wine, doc),
                             list(zip(doc['change_lines'], made)), name)

    def test_every_part_of_the_state_and_the_run_is_compared(self):
        """A change in any part the comparison reads is a difference: the
        parts of the state as sim_state gives them (planted libraries
        included), and the calls, trace, status and exit code."""
        dump = _dump(files=[_file('C:\\WINDOWS\\INF', hex=None) | {'dir': True}])
        doc = {'summary': {'registry': {'name': '', 'subkeys': []}}, 'events': []}
        state = compare.sim_state(dump, doc, [])
        state.update({'inf': {'inf': 'dir', 'inf\\a.inf': 'd1'},
                      'other_device_path': [1, 'c:\\windows\\inf\\other'],
                      'enum_pci': ['k1'], 'planted_loaded': ['newdev.dll']})
        call = ('CopyFileA', (('from', 'a'), ('to', 'b')), True)
        changed = {'inf': {'inf': 'dir', 'inf\\a.inf': 'd2'},
                   'other_device_path': [2, 'c:\\windows\\inf\\other'],
                   'enum_pci': [], 'planted_loaded': []}
        self.assertEqual(set(changed), set(state))  # every part sim_state gives
        base = dict(calls=[call], trace='t\r\n', state=state, exit_code=0, status='ok')
        cases = [('state ' + k, {'state': dict(state, **{k: v})}) for k, v in changed.items()]
        cases += [('calls', {'calls': [call[:2] + (False,)]}), ('trace', {'trace': 'u\r\n'}),
                  ('exit code', {'exit_code': 1}), ('status', {'status': 'crashed'})]
        for name, change in cases:
            sim = compare.View(**base)
            wine = compare.View(**dict(base, **change))
            self.assertEqual(compare.differences(sim, sim), [], name)
            said = compare.differences(sim, wine)
            self.assertTrue(said and said[0].startswith(name.split(' ')[0]), (name, said))

    def test_an_update_windows_would_refuse_is_left_out_and_nothing_else(self):
        """Wine's driver update always succeeds: where the simulator says
        Windows refuses the INF, the update's result and the box after it
        are left out of the comparison; every other call still counts."""
        def event(call, result, **args):
            return {'call': call, 'args': args, 'result': result}
        question = event('MessageBoxA', 6, owner='NULL', text='Update?', caption='T', type=4)
        load = event('LoadLibraryA', '0x1', name='C:\\WINDOWS\\system32\\newdev.dll')
        update = dict(event('UpdateDriverForPlugAndPlayDevicesA', False, parent='NULL',
                            hardware_id='PCI\\X', inf='C:\\VNTR\\VNTRXP.INF', flags=1,
                            reboot=0), type='install', inf_verdict='fails',
                      inf_why='no model lists PCI\\X')
        said = event('MessageBoxA', 1, owner='NULL', text='Failed.', caption='T', type=0)
        doc = {'events': [question, load, update, said], 'stdout': '', 'status': 'ok',
               'exit_code': 0, 'summary': {}}
        self.assertIs(compare.inf_refused(doc), update)
        for verdict in ('installs', 'unpredictable', None):  # a fault or an [update] failure
            self.assertIsNone(compare.inf_refused(
                dict(doc, events=[dict(update, inf_verdict=verdict)])), verdict)
        relay = compare.Relay(simulator.parse_calls(LIST_CALLS))
        wine_events = [question, load, dict(update, result=True),
                       dict(said, args=dict(said['args'], text='Done.'))]
        plan = realize.plan(_dump())
        plan.differ('update', 'refused', 'succeeds', 'Wine', realize.UPDATE)
        self.assertTrue(plan.comparable)
        self.assertIn('the driver update\'s result and the box that reports it left out',
                      plan.comparison())
        cases = [('as Windows would', wine_events, []),
                 ('another question', [dict(question, args=dict(question['args'], text='Q'))]
                  + wine_events[1:], ['calls from setup.exe differ:']),
                 ('another INF', wine_events[:2] + [dict(update, result=True, args=dict(
                     update['args'], inf='C:\\VNTR\\OTHER.INF'))] + wine_events[3:],
                  ['calls from setup.exe differ:']),
                 ('another box type', wine_events[:3] + [dict(said, args=dict(
                     said['args'], type=4))], ['calls from setup.exe differ:'])]
        for name, events, left in cases:
            report = {'events': events, 'stdout': '', 'exit_code': 0, 'status': 'ok',
                      'state': compare.sim_state(_dump(), doc, [])}
            sim, wine = compare.views(_dump(), doc, report, relay, plan)
            self.assertEqual(compare.differences(sim, wine)[:1], left, name)
        # Without the difference the update's result counts.
        sim, wine = compare.views(_dump(), doc, dict(report, events=wine_events), relay,
                                  realize.plan(_dump()))
        self.assertTrue(compare.differences(sim, wine))


class WineTextTest(unittest.TestCase):
    @unittest.skipUnless(os.path.isdir(codepage.NLS_DIR), 'needs Wine\'s code-page tables')
    def test_bytes_become_the_characters_wine_makes_of_them(self):
        # (bytes, code page, Wine's characters): bytes a code page leaves
        # undefined included, which Python's codecs refuse.
        cases = [(b'A\x81\x8d', 1252, 'A\x81\x8d'), (b'\x80', 1252, '\u20ac'),
                 (b'\xaa\xff', 1253, '\uf8f9\uf8fb'),
                 (b'\x83\x5c\xa0\xfd', 932, '\u30bd\uf8f0\uf8f1'),
                 (b'\x88\x9f', 932, '\u4e9c'), (b'A\x83', 932, 'A\0'),
                 ('中文'.encode('gbk'), 936, '中文'), ('한국'.encode('cp949'), 949, '한국')]
        for data, page, text in cases:
            self.assertEqual(codepage.decode(data, page), text, (data, page))
            if '\0' not in text:
                self.assertEqual(codepage.encode(text, page), data.decode('latin-1'))
        self.assertEqual(codepage.encode('\u4e9c\u2603', 932), '\x88\x9f?')

    def test_boxes_are_answered_by_their_buttons_not_their_language(self):
        cases = [(4, True, 'space'), (4, False, 'Tab space'), (0x104, True, 'Tab space'),
                 (0x104, False, 'space'), (None, False, 'Tab space')]
        for box_type, yes, keys in cases:
            self.assertEqual(run.answer_keys(box_type, yes), keys, (box_type, yes))


class JsonTextTest(unittest.TestCase):
    def test_c1_controls_are_escaped_and_read_back(self):
        """The tools' JSON: UTF-8 as it is, the C1 controls escaped
        wherever a text lies (a value, a key, a list, nested, indented or
        not), and read back as they were."""
        cases = [{'message': 'a\x85b'}, {'k\x9b[2J': ['\x80', '\x9f', '\xa0', '\u30bd']},
                 {'n': {'m': '\x1b\x90\u0085\u00ff'}}, '\x85', []]
        for value in cases:
            for options in ({}, {'indent': 2}, {'separators': (',', ':')}):
                text = jsontext.dumps(value, **options)
                self.assertIsNone(re.search('[\x80-\x9f]', text), (value, text))
                self.assertEqual(json.loads(text), value, text)
        self.assertEqual(jsontext.dumps(['\xa0\u30bd']), '["\xa0\u30bd"]')  # kept as UTF-8
        # Every writer of JSON that keeps UTF-8 goes through it.
        sources = glob.glob(os.path.join(SOURCE, 'wine', '*.py')) + \
            glob.glob(os.path.join(SOURCE, 'matrix', '*.py')) + \
            [os.path.join(SOURCE, 'tools', 'vntrsetup-wine')]
        for path in sources:
            with open(path, encoding='utf-8') as f:
                if not path.endswith('jsontext.py'):
                    self.assertNotIn('ensure_ascii=False', f.read(), path)


if __name__ == '__main__':
    unittest.main()
