"""Tests of the harness's own parsing: Wine's registry files, its debug log,
binfmt_misc entries and the message table the checks expect."""

import os
import struct
import tempfile
import unittest

from harness import checks, machine, regfile, winelog
import scenarios

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


LOG = '''0020:0024:trace:loaddll:build_module Loaded L"C:\\\\VNTRPKG\\\\setup.exe" at 00400000: native
0030:0034:Call kernel32.LoadLibraryA(7b001000 "C:\\\\windows\\\\system32\\\\setupapi.dll") ret=7b0a0000
0020:0024:Call user32.MessageBoxA(00000000,00403000 "Line, with \\"quotes\\"\\n",00403100 "Title",00000004) ret=00401234
0020:0024:trace:msgbox:MSGBOX_OnInit L"Line, with \\"quotes\\"\\n"
0020:0024:Ret  user32.MessageBoxA() retval=00000006 ret=00401234
0020:0024:Call KERNEL32.LoadLibraryA(00403200 "C:\\\\windows\\\\system32\\\\setupapi.dll") ret=00401300
0020:0024:Ret  KERNEL32.LoadLibraryA() retval=6aec0000 ret=00401300
0020:0028:Call user32.MessageBoxA(00000000,00000000,00403100 "Title",00000000) ret=00401400
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
        self.assertIsNone(calls[2].retval)  # never returned

    def test_calls_from_other_images_or_processes_are_left_out(self):
        log = winelog.WineLog(LOG)
        self.assertEqual(len(log.calls), 4)
        self.assertEqual(log.calls_from(0x30, 0x400000, 0x410000), [])

    def test_box_texts_and_crashes_by_process(self):
        log = winelog.WineLog(LOG)
        self.assertEqual(log.box_texts(0x20), ['Line, with "quotes"\n', ''])
        crashes = log.crash_pids()
        self.assertEqual([pid for pid, _ in crashes], [0x30, 0x20])


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


class ExpectationTest(unittest.TestCase):
    def test_message_file_read_in_text_mode(self):
        self.assertEqual(scenarios.message_table(None), checks.MESSAGES)
        self.assertEqual(scenarios.message_table(b'a\r\nb\rc\r\nlast'),
                         ['a\n', 'b\rc\n', 'last', None, None])
        self.assertEqual(scenarios.message_table(b'1\n2\x1a3\n'), ['1\n', '2', None, None, None])
        self.assertEqual(scenarios.message_table(scenarios.SEVEN_LINES)[4], 'M4 update?\n')

    def test_search_walk_stops_at_the_first_match(self):
        seen, found = scenarios._walk([scenarios.SHORT_ID, scenarios.CTRL_51, scenarios.CTRL_3A],
                                      scenarios.ID_3A)
        self.assertEqual(found, (2, scenarios.CTRL_3A[0]))
        self.assertEqual(seen, scenarios.SHORT_ID + scenarios.CTRL_51 + scenarios.CTRL_3A[:1])
        seen, found = scenarios._walk([[scenarios.ID_3A[:-1]]], scenarios.ID_3A)
        self.assertIsNone(found)

    def test_inf_description(self):
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, 'X.INF')
            with open(path, 'w') as f:
                f.write('[Vantor]\n%DEV% = Install, PCI\\VEN_C4B9&DEV_8E3A ; first\n'
                        '[Strings]\nDEV = "Vantor Controller"\n')
            self.assertEqual(scenarios.inf_description(path, 'pci\\ven_c4b9&dev_8e3a'),
                             'Vantor Controller')
            self.assertIsNone(scenarios.inf_description(path, 'PCI\\VEN_C4B9&DEV_8E51'))

    def test_image_range_from_the_pe_header(self):
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, 'a.exe')
            data = bytearray(512)
            struct.pack_into('<I', data, 0x3c, 0x80)
            data[0x80:0x84] = b'PE\0\0'
            struct.pack_into('<I', data, 0x80 + 24 + 56, 0x5000)
            with open(path, 'wb') as f:
                f.write(data)
            self.assertEqual(checks.image_range(path, 0x400000), (0x400000, 0x405000))


if __name__ == '__main__':
    unittest.main()
