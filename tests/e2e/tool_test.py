"""tools/vntrsetup-wine from the outside: its exit statuses and its report,
held against the simulator's run of the same machine.

    python3 tool_test.py BUILD_DIR
"""

import glob
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, SOURCE)
from wine import session  # noqa: E402
TOOL = os.path.join(SOURCE, 'tools', 'vntrsetup-wine')
# What the simulator derives from a run: the Wine side shows the simulator's.
DERIVED = ('outcome', 'outcome_unknown', 'changes', 'change_lines', 'after_restart')
BUILD = None


def simulated(path):
    p = subprocess.run([os.path.join(BUILD, 'vntrsetup-sim'), '--machine', path, '--json'],
                       stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=120)
    return json.loads(p.stdout)


def tool(*args, stdin=None, stdout=subprocess.PIPE):
    p = subprocess.run([sys.executable, TOOL, '--build', BUILD] + list(args),
                       stdout=stdout, stderr=subprocess.PIPE, input=stdin or b'', timeout=1200)
    return (p.returncode, (p.stdout or b'').decode('utf-8', 'replace'),
            p.stderr.decode('utf-8', 'replace'))


def started(*args, stdin=None):
    return subprocess.Popen([sys.executable, TOOL, '--build', BUILD] + list(args),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            stdin=subprocess.PIPE if stdin else subprocess.DEVNULL)


def left_running(tmp):
    """Processes of a run whose files were below `tmp`: every process it
    starts (Xvfb, Wine's) inherits TMPDIR."""
    return [pid for pid, _ in session._processes_with('TMPDIR', tmp)]


class ToolTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()

    def tearDown(self):
        self.dir.cleanup()

    def machine(self, text, name='machine.toml'):
        path = os.path.join(self.dir.name, name)
        with open(path, 'w') as f:
            f.write(text)
        return path

    def test_command_line_and_refusals(self):
        xp = os.path.join(SOURCE, 'examples', 'machines', 'xp.toml')
        with open(os.path.join(SOURCE, 'res', 'version.h')) as f:
            version = f.read().split('VNTR_VERSION "')[1].split('"')[0]
        # (arguments, exit status, what standard error says)
        cases = [
            ([], 2, 'a machine file is needed'),
            (['--machine', os.path.join(self.dir.name, 'none.toml')], 2, 'no such machine file'),
            ([os.path.join(self.dir.name, 'a\x01b.toml')], 2, 'a\\x01b.toml: no such'),
            ([xp, xp], 2, 'more than one machine file given'),
            (['--machine', xp, xp], 2, 'the machine file is given twice'),
            ([xp, '--answer', 'maybe'], 2, "not 'maybe'"),
            ([xp, '--keep', self.dir.name], 2, 'exists already'),
            ([xp, '--bogus'], 2, 'unrecognized arguments: --bogus'),
            ([xp, '--jso'], 2, 'unrecognized arguments: --jso'),  # no abbreviations
            ([xp, '--json', '--json'], 2, '--json is given twice'),
            ([xp, '--keep', 'a', '--keep=b'], 2, '--keep is given twice'),
            ([self.machine('os = "nt4"\n')], 2, "unknown Windows version 'nt4'"),
            (['-'], 2, '(standard input):1: os'),  # standard input: "os = 3"
            ([os.path.join(SOURCE, 'tests', 'machines', 'xp-missing-entries.toml')], 2,
             'cannot run under Wine: modules."setupapi.dll".missing (line 12)'),
            # The package's INF as a placeholder (a capture's, its bytes not
            # known): refused, naming the file.
            ([self.machine("current_dir = 'C:\\VNTR'\n[[files]]\n"
                           "path = 'C:\\VNTR\\VNTRXP.INF'\nsize = 100\ncrc32 = 1\n",
                           'inf.toml')], 2,
             'C:\\VNTR\\VNTRXP.INF is a placeholder'),
            ([self.machine("locale = 0x0411\ncurrent_dir = 'C:\\%s'\n" % ('\u30bd' * 90),
                           'long.toml')], 2, 'a name is 270 bytes in UTF-8'),
            (['--version'], 0, ''),
        ]
        for args, status, message in cases:
            code, out, err = tool(*args, stdin=b'os = 3\n')
            self.assertEqual(code, status, (args, err))
            self.assertIn(message, err, args)
        # With --json a refusal is the simulator's error object, on its keys.
        bad = self.machine('os = 3\n')
        code, out, _ = tool(bad, '--json')
        sim = subprocess.run([os.path.join(BUILD, 'vntrsetup-sim'), bad, '--json'],
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout
        self.assertEqual((code, json.loads(out)), (2, json.loads(sim)))
        code, out, _ = tool(xp, '--json', '--bogus')
        self.assertEqual((code, json.loads(out)['status']), (2, 'refused'))
        self.assertEqual(tool('--version')[1], 'vntrsetup-wine %s\n' % version)
        self.assertIn('Exit status', tool('--help')[1])
        # Standard output checked: a failed write is status 5, with its reason.
        with open('/dev/full', 'wb') as full:
            code, _, err = tool('--help', stdout=full)
        self.assertEqual((code, 'cannot write to standard output' in err), (5, True), err)

    def test_a_run_is_reported_with_the_simulator_s_keys(self):
        path = os.path.join(SOURCE, 'examples', 'machines', '98se.toml')
        code, out, err = tool('--machine', path, '--json')
        self.assertEqual(code, 0, err)
        report, sim = json.loads(out), simulated(path)
        self.assertEqual(list(report), [k for k in sim if k not in DERIVED] +
                         ['state', 'realized_otherwise', 'compared', 'simulator'])
        self.assertEqual(report['machine'], sim['machine'])
        self.assertEqual((report['realized_otherwise'], report['compared']),
                         ([], 'comparable with the simulator\'s run: everything'))
        self.assertEqual([(b['call'], b['args']['text'], b['answer']) for b in report['boxes']],
                         [(b['call'], b['args']['text'], b['answer']) for b in sim['boxes']])
        self.assertEqual((report['simulator']['outcome'], report['exit_code']),
                         (sim['outcome'], sim['exit_code']))
        self.assertEqual(report['simulator']['after_restart'], sim['after_restart'])
        # 98 SE: every change of the simulator's is made under Wine too.
        self.assertEqual([(c['line'], c['made_under_wine']) for c in report['simulator']['changes']],
                         [(line, True) for line in sim['change_lines']])
        self.assertTrue(all(os.path.exists(s) for s in report['summary']['screenshots']))

    def test_machines_wine_holds_otherwise_run_and_runs_keep_their_own_screenshots(self):
        """Windows 2000 in C:\\WINNT, and a Japanese machine from standard
        input, at once with another machine file named like it: each run
        lists what Wine holds otherwise and puts its screenshots in a
        folder of its own, which the report names."""
        other = os.path.join(self.dir.name, '2000.toml')
        with open(os.path.join(SOURCE, 'examples', 'machines', 'xp.toml')) as f:
            with open(other, 'w') as out:
                out.write(f.read())
        with open(os.path.join(SOURCE, 'examples', 'machines', '98se-japanese.toml'), 'rb') as f:
            japanese = f.read()
        runs = [started(os.path.join(SOURCE, 'examples', 'machines', '2000.toml'), '--json'),
                started(other, '--json'), started('-', stdin=japanese)]
        runs[2].stdin.write(japanese)
        runs[2].stdin.close()
        results = [(p.wait(timeout=1200), p.stdout.read().decode('utf-8', 'replace'),
                    p.stderr.read().decode('utf-8', 'replace')) for p in runs]
        for p in runs:
            p.stdout.close()
            p.stderr.close()
        for code, out, err in results:
            self.assertEqual(code, 0, err)
        winnt, xp = (json.loads(out) for _, out, _ in results[:2])
        self.assertEqual([(d['field'], d['machine'], d['under_wine'])
                          for d in winnt['realized_otherwise']],
                         [('windows_dir', 'C:\\WINNT', 'C:\\windows'),
                          ('system_dir', 'C:\\WINNT\\system32', 'C:\\windows\\system32')])
        self.assertIn('Windows directory\'s name left out', winnt['compared'])
        # The simulator's changes are made under Wine but for the directory's name.
        self.assertTrue(all(c['made_under_wine'] for c in winnt['simulator']['changes']))
        folders = [r['summary']['screenshot_folder'] for r in (winnt, xp)]
        self.assertNotEqual(folders[0], folders[1])
        for r in (winnt, xp):
            self.assertTrue(r['summary']['screenshots'])
            self.assertTrue(all(os.path.dirname(s) == r['summary']['screenshot_folder'] and
                                os.path.exists(s) for s in r['summary']['screenshots']))
        text = results[2][1]
        self.assertIn('98 SE, package folder ending in 表 ((standard input)), under Wine', text)
        self.assertIn('/stdin-', text)
        # The Japanese texts in their code page, as a reader reads them.
        self.assertIn('text:   "インストールが完了しました。システムを再起動しますか？\\n"', text)
        self.assertIn('+ copy C:\\Vantor\\ドライバ一覧表\\VNTR98SE.INF', text)
        shots = [line for line in text.splitlines() if line.startswith('screenshots in ')]
        self.assertEqual(len(shots), 1, text)
        self.assertTrue(os.path.isdir(shots[0].split(' ', 2)[2].split(':')[0]), shots)

    def test_a_question_without_an_answer_stops_the_run(self):
        """A package with a driver file of several MiB and a placeholder
        (a capture's file whose bytes no package holds): both are laid out
        with the bytes the simulator reads; the placeholder is listed as
        realized otherwise. No answer: the run stops at the question."""
        keep = os.path.join(self.dir.name, 'kept')
        package = os.path.join(self.dir.name, 'package')
        shutil.copytree(os.path.join(SOURCE, 'examples', 'package'), package)
        driver = bytes(range(256)) * (6 << 12)  # 6 MiB
        with open(os.path.join(package, 'VNTRCB.SYS'), 'wb') as f:
            f.write(driver)
        path = self.machine("os = 'xp'\ncurrent_dir = 'C:\\VNTR'\n"
                            "package = { from = 'package' }\n"
                            "[[files]]\npath = 'C:\\VNTR\\VNTRCB.DLL'\nsize = 5000\n"
                            "crc32 = 0x12345678\n")
        code, out, err = tool('--machine', path, '--keep', keep)
        self.assertEqual(code, 4, err)
        self.assertIn('no answer', err)
        self.assertIn(simulated(path)['boxes'][0]['args']['text'], out)
        self.assertIn('C:\\VNTR\\VNTRCB.DLL known by its size (5000) and CRC-32 (12345678) '
                      'only', out)
        self.assertTrue(os.path.exists(os.path.join(keep, 'prefix', 'system.reg')))
        self.assertTrue(os.path.exists(os.path.join(keep, 'setup-box1.png')))
        folder = os.path.join(keep, 'prefix', 'drive_c', 'VNTR')
        with open(os.path.join(folder, 'VNTRCB.SYS'), 'rb') as f:
            self.assertTrue(f.read() == driver)
        with open(os.path.join(folder, 'VNTRCB.DLL'), 'rb') as f:
            self.assertEqual(zlib.crc32(f.read()), 0x12345678)

    def test_a_signal_at_any_moment_leaves_nothing_behind(self):
        """SIGINT or SIGTERM, early (the plan) or late (Wine running): the
        tool dies of the signal without a traceback, and no file or process
        of its run is left."""
        path = os.path.join(SOURCE, 'examples', 'machines', '98se.toml')
        for signum, after in ((signal.SIGTERM, 0.5), (signal.SIGINT, None)):
            tmp = tempfile.mkdtemp(dir=self.dir.name)
            p = subprocess.Popen([sys.executable, TOOL, '--build', BUILD, path],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                 env=dict(os.environ, TMPDIR=tmp))
            deadline = time.monotonic() + 300
            if after is None:  # once Wine runs the program: its log has begun
                while time.monotonic() < deadline and p.poll() is None and not glob.glob(
                        os.path.join(tmp, '*', 'setup.log')):
                    time.sleep(0.2)
                time.sleep(1)
            else:
                time.sleep(after)
            p.send_signal(signum)
            out, err = p.communicate(timeout=300)
            self.assertEqual(p.returncode, -signum, err)
            self.assertNotIn(b'Traceback', err)
            # Wine's own socket folders (wine-XXXXXX, left by every run of
            # Wine's as of any) aside.
            self.assertEqual([n for n in os.listdir(tmp) if not n.startswith('wine-')], [])
            self.assertEqual(left_running(tmp), [])


if __name__ == '__main__':
    BUILD = sys.argv.pop(1)
    unittest.main()
