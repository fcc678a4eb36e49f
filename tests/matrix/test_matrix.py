"""tools/vntrsetup-matrix over the simulator (no Wine, no browser): the
batch runs, the rows and verdicts of the must-hold packages, the answer
paths, a file that does not load, shards merged into the same page, the
escaping of texts, and the command lines it refuses."""

import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, SOURCE)

from matrix import verdict  # noqa: E402

TOOL = os.path.join(SOURCE, 'tools', 'vntrsetup-matrix')
SIM = os.environ.get('VNTR_SIM_BINARY') or os.path.join(SOURCE, 'build', 'sim', 'vntrsetup-sim')
PACKAGE = os.path.join(SOURCE, 'examples', 'package')
EXAMPLES = os.path.join(SOURCE, 'examples', 'machines')
REGRESSION = os.path.join(SOURCE, 'tests', 'machines')


def matrix(*args):
    sim = [] if '--sim' in args else ['--sim', SIM]
    p = subprocess.run([sys.executable, TOOL] + sim + list(args), capture_output=True,
                       text=True, timeout=300)
    return p.returncode, p.stdout, p.stderr


def read(path):
    with open(path, encoding='utf-8') as f:
        return f.read()


def records(out):
    with open(os.path.join(out, 'results.jsonl'), encoding='utf-8') as f:
        return [json.loads(line) for line in f]


class Fixture(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix='matrix-test-')

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def package_without(self, name):
        folder = os.path.join(self.tmp, 'without-' + os.path.basename(name))
        if not os.path.isdir(folder):
            shutil.copytree(PACKAGE, folder)
            os.remove(os.path.join(folder, name))
        return folder

    def out(self, name):
        return os.path.join(self.tmp, name)


class Batch(unittest.TestCase):
    def test_each_record_is_the_document_of_its_own_run(self):
        lines = [[os.path.join(EXAMPLES, 'xp.toml'), '--json', '--package', PACKAGE],
                 [os.path.join(EXAMPLES, '98se.toml'), '--json', '--answer', 'yes',
                  '--answer', 'no'],
                 [os.path.join(EXAMPLES, 'me.toml'), '--dump-machine'],
                 ['no-such-machine.toml', '--json']]
        text = ''.join(json.dumps(a) + '\n' for a in lines) + 'not an array\n["-", "--json"]\n'
        p = subprocess.run([SIM, '--batch'], input=text.encode(), capture_output=True, timeout=60)
        self.assertEqual(p.returncode, 0)
        got = [json.loads(r) for r in p.stdout.split(b'\x1e')[1:]]
        self.assertEqual(len(got), 6)
        for args, doc in zip(lines, got):
            alone = subprocess.run([SIM] + args, capture_output=True, timeout=60)
            self.assertEqual(doc, json.loads(alone.stdout), args)
        self.assertEqual([d['status'] for d in got[3:]], ['refused'] * 3)
        self.assertIn('JSON array', got[4]['message'])
        self.assertIn('standard input', got[5]['message'])


class Verdicts(unittest.TestCase):
    def doc(self, outcome='installed', status='ok', messages=(4, 2), after=()):
        return {'status': status, 'outcome': outcome, 'change_lines': [],
                'boxes': [{'message': m, 'args': {'text': 't%d' % m, 'caption': 'c'},
                           'answer': 'OK'} for m in messages],
                'after_restart': [{'device': d, 'inf': inf, 'model': None, 'why': 'w'}
                                  for d, inf in after]}

    def test_kinds(self):
        found = [('D', 'OEM1.INF')]
        lost = [('D', None)]
        table = [
            ('same', self.doc(), self.doc()),
            ('worse', self.doc(), self.doc('failed', messages=(4, 0))),
            ('worse', self.doc(), self.doc(None, status='crashed', messages=(4,))),
            ('worse', self.doc('staged'), self.doc('no-controller', messages=(4, 1))),
            ('worse', self.doc('staged', after=found), self.doc('staged', after=lost)),
            ('better', self.doc('failed', messages=(4, 0)), self.doc()),
            ('better', self.doc('staged', after=lost), self.doc('staged', after=found)),
            ('changed', self.doc(), self.doc(messages=(4, 2, 2))),
            ('changed', self.doc('no-controller', messages=(4, 1)),
             self.doc('declined', messages=(4,))),
            ('same', None, self.doc('failed', messages=(4, 0))),
            ('worse', None, self.doc(None, status='timeout', messages=(4,))),
            ('worse', self.doc(), {'status': 'refused', 'message': 'x'}),
            ('unreadable', {'status': 'refused', 'message': 'x'},
             {'status': 'refused', 'message': 'x'}),
        ]
        for kind, base, cand in table:
            self.assertEqual(verdict.judge(base, cand)[0], kind, (base, cand))


class Runs(Fixture):
    def test_example_package_every_machine_a_row_exit_0(self):
        out = self.out('plain')
        code, _, err = matrix('--package', PACKAGE, '--out', out, EXAMPLES, REGRESSION)
        self.assertEqual(code, 0, err)
        got = records(out)
        files = {os.path.normpath(r['machine_file']) for r in got}
        listed = {os.path.join(d, f) for d in (EXAMPLES, REGRESSION) for f in os.listdir(d)
                  if f.endswith('.toml')}
        self.assertEqual(files, listed)
        self.assertEqual({r['package'] for r in got}, {'candidate'})
        index = read(os.path.join(out, 'index.html'))
        for r in got:
            self.assertIn('id="%s"' % r['row'], index)
            self.assertTrue(os.path.isfile(os.path.join(out, 'rows', r['row'] + '.html')))
        # A file without answers for the second question runs both paths.
        paths = sorted(tuple(r['answers'] or ()) for r in got
                       if r['machine_file'].endswith('98se-missing-catalog.toml'))
        self.assertEqual(paths, [('yes', 'no'), ('yes', 'yes')])

    def test_candidate_without_xp_inf_is_worse_on_xp_with_a_controller(self):
        out = self.out('noxp')
        code, stdout, err = matrix('--package', self.package_without('VNTRXP.INF'), '--baseline',
                                   PACKAGE, '--out', out, '--json', EXAMPLES)
        self.assertEqual(code, 1, err)
        summary = json.loads(stdout)
        worse = sorted(os.path.basename(w['machine_file']) for w in summary['worse'])
        self.assertEqual(worse, ['xp-both-models.toml', 'xp-japanese.toml',
                                 'xp-planted-dlls.toml', 'xp.toml'])
        for name in worse:
            self.assertIn(name, err)
        self.assertEqual(summary['counts']['worse'], 4)
        self.assertEqual(summary['counts']['same'], summary['rows'] - 4)

    def test_candidate_without_japanese_messages_changes_japanese_rows(self):
        out = self.out('nojp')
        code, stdout, err = matrix('--package', self.package_without('MultiLang/0411.dat'),
                                   '--baseline', PACKAGE, '--out', out, '--json', EXAMPLES)
        self.assertEqual(code, 0, err)
        summary = json.loads(stdout)
        self.assertEqual(summary['counts']['worse'], 0)
        rows = {r['row']: r for r in records(out) if r['package'] == 'candidate'}
        page = read(os.path.join(out, 'index.html'))
        changed = [r for r in rows.values() if '<tr class="changed" id="%s"' % r['row'] in page]
        self.assertEqual(sorted(os.path.basename(r['machine_file']) for r in changed),
                         ['98se-japanese.toml', 'xp-japanese.toml'])
        # The baseline's Japanese text shows as text, the candidate's English.
        self.assertIn('インストールが完了しました', page)

    def test_unloadable_file_is_a_row_and_texts_are_escaped(self):
        folder = self.out('odd-machines')
        os.makedirs(folder)
        with open(os.path.join(folder, 'broken.toml'), 'w') as f:
            f.write('os = "xp"\nthis is no TOML\n')
        with open(os.path.join(folder, 'named.toml'), 'w') as f:
            f.write('name = "<script>alert(1)</script>"\nos = "xp"\nanswers = ["yes"]\n')
        # A C1 control in a file name and a machine's name: escaped in every
        # JSON the check writes (results.jsonl, --json), read back the same.
        with open(os.path.join(folder, 'c1\x85.toml'), 'w') as f:
            f.write('name = "a\\u009bb"\nos = "xp"\nanswers = ["yes"]\n')
        out = self.out('odd')
        code, stdout, err = matrix('--package', PACKAGE, '--out', out, '--json', folder)
        self.assertEqual(code, 0, err)
        self.assertEqual(json.loads(stdout)['rows'], 3)
        with open(os.path.join(out, 'results.jsonl'), 'rb') as f:
            written = f.read() + stdout.encode()
        self.assertIsNone(re.search(b'\xc2[\x80-\x9f]', written))
        kinds = {os.path.basename(r['machine_file']): r['simulator']['status']
                 for r in records(out)}
        self.assertEqual(kinds, {'broken.toml': 'refused', 'named.toml': 'ok',
                                 'c1\x85.toml': 'ok'})
        names = [r['simulator'].get('machine', {}).get('name') for r in records(out)]
        self.assertIn('a\x9bb', names)
        page = read(os.path.join(out, 'index.html'))
        self.assertIn('<tr class="unreadable"', page)
        self.assertNotIn('<script>', page)
        self.assertIn('&lt;script&gt;', page)

    def test_shards_merged_give_the_same_page(self):
        whole = self.out('whole')
        base = ['--package', self.package_without('VNTRXP.INF'), '--baseline', PACKAGE]
        self.assertEqual(matrix(*base, '--out', whole, EXAMPLES, REGRESSION)[0], 1)
        parts = []
        for k in (1, 2, 3):
            parts.append(self.out('part%d' % k))
            code, _, err = matrix(*base, '--shard', '%d/3' % k, '--out', parts[-1], REGRESSION,
                                  EXAMPLES)
            self.assertIn(code, (0, 1), err)
        merged = self.out('merged')
        p = subprocess.run([sys.executable, TOOL, 'merge', '--out', merged] + parts,
                           capture_output=True, text=True, timeout=120)
        self.assertEqual(p.returncode, 1, p.stderr)
        sizes = [len(records(p)) for p in parts]
        self.assertEqual(sum(sizes), len(records(whole)))
        self.assertTrue(all(sizes))
        for name in ['index.html'] + ['rows/' + n for n in os.listdir(os.path.join(whole, 'rows'))]:
            with open(os.path.join(whole, name), 'rb') as a, open(os.path.join(merged, name),
                                                                  'rb') as b:
                self.assertEqual(a.read(), b.read(), name)
        # One part merged twice is refused, naming a row.
        p = subprocess.run([sys.executable, TOOL, 'merge', '--out', self.out('twice'), parts[0],
                            parts[0]], capture_output=True, text=True, timeout=120)
        self.assertEqual(p.returncode, 2)
        self.assertIn('is given twice', p.stderr)

    def test_simulator_that_fails_is_the_tools_failure(self):
        garbage = self.out('garbage-sim')
        with open(garbage, 'w') as f:
            f.write('#!/bin/sh\nprintf \'\\036{"status": nope\\n\'\n')
        os.chmod(garbage, 0o755)
        for n, (sim, said) in enumerate((('/bin/false', 'vntrsetup-sim --batch ended'),
                                         (garbage, 'what is no JSON'))):
            code, _, err = matrix('--package', PACKAGE, '--out', self.out('failing%d' % n),
                                  '--sim', sim, EXAMPLES)
            self.assertEqual(code, 3, err)
            self.assertIn(said, err)

    def test_bad_command_lines(self):
        used = self.out('used')
        os.makedirs(used)
        open(os.path.join(used, 'x'), 'w').close()
        for args in (['--package', PACKAGE],
                     [EXAMPLES],
                     ['--package', self.out('no-such-package'), EXAMPLES],
                     ['--package', PACKAGE, '--baseline', self.out('nothing'), EXAMPLES],
                     ['--package', PACKAGE, self.out('no-such-machine.toml')],
                     ['--package', PACKAGE, '--shard', '4/3', EXAMPLES],
                     ['--package', PACKAGE, '-j', '0', EXAMPLES],
                     ['--package', PACKAGE, '--out', used, EXAMPLES],
                     ['--package', PACKAGE, '--no-such-option', EXAMPLES],
                     ['merge']):
            code, _, err = matrix(*args)
            self.assertEqual(code, 2, (args, err))
            self.assertIn('--help', err)


if __name__ == '__main__':
    unittest.main()
