"""tools/vntrsetup-wine from the outside: its exit statuses and its report,
held against the simulator's run of the same machine.

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
# What the simulator derives from a run: the Wine side shows the simulator's.
DERIVED = ('outcome', 'outcome_unknown', 'changes', 'change_lines')
BUILD = None


def simulated(path):
    p = subprocess.run([os.path.join(BUILD, 'vntrsetup-sim'), '--machine', path, '--json'],
                       stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=120)
    return json.loads(p.stdout)


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
        path = os.path.join(SOURCE, 'examples', 'machines', '98se.toml')
        code, out, err = tool('--machine', path, '--json')
        self.assertEqual(code, 0, err)
        report, sim = json.loads(out), simulated(path)
        self.assertEqual(list(report), [k for k in sim if k not in DERIVED] +
                         ['state', 'simulator'])
        self.assertEqual([(b['call'], b['args']['text'], b['answer']) for b in report['boxes']],
                         [(b['call'], b['args']['text'], b['answer']) for b in sim['boxes']])
        self.assertEqual((report['simulator']['outcome'], report['exit_code']),
                         (sim['outcome'], sim['exit_code']))
        # 98 SE: every change of the simulator's is made under Wine too.
        self.assertEqual([(c['line'], c['made_under_wine']) for c in report['simulator']['changes']],
                         [(line, True) for line in sim['change_lines']])
        self.assertTrue(all(os.path.exists(s) for s in report['summary']['screenshots']))

    def test_a_question_without_an_answer_stops_the_run(self):
        keep = os.path.join(self.dir.name, 'kept')
        path = self.machine("os = 'xp'\ncurrent_dir = 'C:\\VNTR'\n")
        code, out, err = tool('--machine', path, '--keep', keep)
        self.assertEqual(code, 4, err)
        self.assertIn('no answer', err)
        self.assertIn(simulated(path)['boxes'][0]['args']['text'], out)
        self.assertTrue(os.path.exists(os.path.join(keep, 'prefix', 'system.reg')))
        self.assertTrue(os.path.exists(os.path.join(keep, 'setup-box1.png')))


if __name__ == '__main__':
    BUILD = sys.argv.pop(1)
    unittest.main()
