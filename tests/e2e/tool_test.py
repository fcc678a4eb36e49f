"""tools/vntrsetup-wine from the outside: its exit statuses and its report.

    python3 tool_test.py BUILD_DIR
"""

import json
import os
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
TOOL = os.path.join(SOURCE, 'tools', 'vntrsetup-wine')
SIM_KEYS = ('machine', 'status', 'message', 'exit_code', 'outcome', 'boxes', 'stdout', 'changes',
            'change_lines', 'events', 'summary', 'warnings')
BUILD = None


def tool(*args):
    p = subprocess.run([sys.executable, TOOL, '--build', BUILD] + list(args),
                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
                       timeout=1200)
    return p.returncode, p.stdout.decode('utf-8', 'replace'), p.stderr.decode('utf-8', 'replace')


class ToolTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()

    def tearDown(self):
        self.dir.cleanup()

    def machine(self, text):
        path = os.path.join(self.dir.name, 'machine.toml')
        with open(path, 'w') as f:
            f.write(text)
        return path

    def test_refusals_name_the_problem(self):
        xp = os.path.join(SOURCE, 'examples', 'machines', 'xp.toml')
        cases = [
            ([], '--machine FILE is needed'),
            (['--machine', os.path.join(self.dir.name, 'none.toml')], 'no such machine file'),
            (['--machine', xp, '--answer', 'maybe'], "not 'maybe'"),
            (['--machine', xp, '--keep', self.dir.name], 'exists already'),
            (['--machine', xp, '--bogus'], 'unrecognized arguments'),
            (['--machine', self.machine('os = "nt4"\n')], "unknown Windows version 'nt4'"),
            (['--machine', os.path.join(SOURCE, 'tests', 'machines', 'xp-update-fails.toml')],
             'simulator-only machine: faults[0].call (line 13)'),
        ]
        for args, message in cases:
            code, out, err = tool(*args)
            self.assertEqual(code, 2, (args, err))
            self.assertIn(message, err, args)

    def test_a_run_is_reported_with_the_simulator_s_keys(self):
        path = os.path.join(SOURCE, 'tests', 'machines', 'xp-answer-no.toml')
        code, out, err = tool('--machine', path, '--json')
        self.assertEqual(code, 0, err)
        report = json.loads(out)
        self.assertEqual([k for k in report if k != 'state'], list(SIM_KEYS))
        self.assertEqual([(b['call'], b['args']['text'], b['answer']) for b in report['boxes']],
                         [('MessageBoxA', 'Do you want to update Vantor Cardbus controllers?',
                           'No')])
        self.assertEqual((report['outcome'], report['changes'], report['change_lines'],
                          report['exit_code']), ('declined', [], [], 0))
        self.assertTrue(all(os.path.exists(s) for s in report['summary']['screenshots']))

    def test_a_question_without_an_answer_stops_the_run(self):
        keep = os.path.join(self.dir.name, 'kept')
        path = self.machine("os = 'xp'\ncurrent_dir = 'C:\\VNTR'\n")
        code, out, err = tool('--machine', path, '--keep', keep)
        self.assertEqual(code, 4, err)
        self.assertIn('no answer', err)
        self.assertIn('Do you want to update Vantor Cardbus controllers?', out)
        self.assertTrue(os.path.exists(os.path.join(keep, 'prefix', 'system.reg')))
        self.assertTrue(os.path.exists(os.path.join(keep, 'setup-box1.png')))


if __name__ == '__main__':
    BUILD = sys.argv.pop(1)
    unittest.main()
