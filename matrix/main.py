"""The command line of tools/vntrsetup-matrix: a run over machine files,
or the merge of the shards' results; the progress; the exit status."""

import argparse
import datetime
import os
import shutil
import sys
import time

from wine import jsontext

from . import machines, page, simulate, verdict, wineside
from .machines import BadCommand
from .simulate import ToolFailed

SOURCE = machines.SOURCE
WORSE, BAD_COMMAND, FAILED = 1, 2, 3
RESULTS = 'results.jsonl'


def _parser(prog):
    parser = argparse.ArgumentParser(prog=prog, add_help=False, allow_abbrev=False)
    parser.add_argument('--out')
    parser.add_argument('--json', action='store_true')
    parser.add_argument('--help', '-h', action='store_true')

    def refuse(message):
        raise BadCommand(message)
    parser.error = refuse
    return parser


def parse(argv):
    if argv[:1] == ['merge']:
        parser = _parser('vntrsetup-matrix merge')
        parser.add_argument('parts', nargs='*')
        args = parser.parse_args(argv[1:])
        args.command = 'merge'
        if not args.help and not args.parts:
            raise BadCommand('merge needs the folders of the parts')
        return args
    parser = _parser('vntrsetup-matrix')
    parser.add_argument('machines', nargs='*')
    parser.add_argument('--package')
    parser.add_argument('--baseline')
    parser.add_argument('--wine', action='store_true')
    parser.add_argument('-j', type=int, default=simulate.default_workers())
    parser.add_argument('--shard')
    parser.add_argument('--sim')
    parser.add_argument('--build')
    args = parser.parse_args(argv)
    args.command = 'run'
    if args.help:
        return args
    if not args.package:
        raise BadCommand('--package NEW is needed: the candidate package folder')
    for option, folder in (('--package', args.package), ('--baseline', args.baseline)):
        if folder is not None and not os.path.isdir(folder):
            raise BadCommand('%s %s: no such folder' % (option, folder))
    if not args.machines:
        raise BadCommand('no machine file or folder given')
    if args.j < 1:
        raise BadCommand('-j takes a number of 1 or more')
    args.sim = args.sim or os.environ.get('VNTR_SIM_BINARY') or _built_sim()
    if not args.sim or not os.path.isfile(args.sim):
        raise BadCommand('vntrsetup-sim is missing (%s): build it (cmake --preset sim && cmake '
                         '--build build/sim) or name it with --sim' % (args.sim or 'not built'))
    return args


def _built_sim():
    for tree in ('sim', 'native'):
        path = os.path.join(SOURCE, 'build', tree, 'vntrsetup-sim')
        if os.path.isfile(path):
            return path
    return None


def out_folder(given, suffix=''):
    """--out, which must be new or empty; by default matrix-DATE (then
    matrix-DATE-2, ... when taken)."""
    if given:
        if os.path.isdir(given) and os.listdir(given):
            raise BadCommand('--out %s: the folder exists and is not empty' % given)
        os.makedirs(given, exist_ok=True)
        return given
    stem = 'matrix-%s%s' % (datetime.date.today().isoformat(), suffix)
    name, n = stem, 1
    while os.path.exists(name):
        n += 1
        name = '%s-%d' % (stem, n)
    os.makedirs(name)
    return name


class Progress:
    """A progress bar on a terminal (done, failed, remaining, time left);
    elsewhere one line per row."""

    def __init__(self, total, what):
        self.bar, self.total, self.done, self.failed = None, total, 0, 0
        try:
            import tqdm
        except ImportError:
            tqdm = None  # one line per row then
        if tqdm and sys.stderr.isatty():
            self.bar = tqdm.tqdm(total=total, desc=what, unit='row', file=sys.stderr)

    def more(self, n):
        self.total += n
        if self.bar:
            self.bar.total = self.total
            self.bar.refresh()

    def row(self, label, kind, failed):
        self.done += 1
        self.failed += failed
        if self.bar:
            self.bar.set_postfix(failed=self.failed, left=self.total - self.done, refresh=False)
            self.bar.update(1)
        else:
            print('[%d/%d] %s: %s' % (self.done, self.total, label, kind), file=sys.stderr,
                  flush=True)

    def close(self):
        if self.bar:
            self.bar.close()


def _label(job):
    return job.path + (' (answers %s)' % ', '.join(job.answers) if job.answers else '')


def record_heads(job, packages):
    """[(role, the record's keys but the simulator's document)] of a row."""
    controllers = machines.controllers(job.dump) if 'os' in (job.dump or {}) else []
    heads = []
    for role, folder in packages:
        head = {'row': job.row, 'machine_file': job.path, 'answers': job.answers,
                'package': role, 'package_dir': folder, 'controllers': controllers}
        if role == 'candidate' and getattr(job, 'wine', None) is not None:
            head['wine'] = job.wine
        heads.append((role, head))
    return heads


def finish_row(job, packages, results, writer):
    """Writes a row's records to results.jsonl (the simulator's document of
    each run kept as it came, one line each) and its detail page; then lets
    go of its documents, so that memory stays flat however many machines
    there are (a pass holds its jobs to its end)."""
    group = []
    for role, head in record_heads(job, packages):
        text = jsontext.dumps(head)
        results.write(text[:-1] + ',"simulator":' + job.raw[role].decode('utf-8') + '}\n')
        group.append(dict(head, simulator=job.docs[role]))
    writer.add(group)
    job.raw = job.docs = job.dump = job.row = None


def run(args):
    files = machines.collect(args.machines)
    if args.shard:
        files = machines.shard(files, *machines.parse_shard(args.shard))
    out = out_folder(args.out)
    packages = ([('baseline', os.path.abspath(args.baseline))] if args.baseline else []) + [
        ('candidate', os.path.abspath(args.package))]
    progress = Progress(len(files), 'machines')
    writer = page.Writer(out)
    held = []
    with open(os.path.join(out, RESULTS), 'w', encoding='utf-8') as results:
        def done(job):
            job.row = machines.row_id(job.path, job.answers)
            base = job.docs.get('baseline')
            kind, _ = verdict.judge(base, job.docs['candidate'])
            progress.row(_label(job), kind, kind in ('worse', 'unreadable'))
            if args.wine:
                held.append(job)
            else:
                finish_row(job, packages, results, writer)
        simulate.simulate(args.sim, files, packages, args.j, done, progress.more)
        progress.close()
        if args.wine:
            held.sort(key=lambda j: (j.path, j.answers or []))
            shown = Progress(len(held), 'Wine')
            wineside.run_all(held, packages[-1][1], out, args.j, args.build, lambda j: shown.row(
                _label(j) + ' under Wine', j.wine.get('refused') and 'not under Wine' or
                j.wine['status'], j.wine['status'] not in ('ok', 'refused')))
            shown.close()
            for job in held:
                finish_row(job, packages, results, writer)
    return out, writer.finish()


def merge(args):
    out = out_folder(args.out, '-merged')
    with open(os.path.join(out, RESULTS), 'w', encoding='utf-8') as results:
        for part in args.parts:
            path = os.path.join(part, RESULTS)
            if not os.path.isfile(path):
                raise BadCommand('%s: no %s here (the --out of a run)' % (part, RESULTS))
            with open(path, encoding='utf-8') as f:
                shutil.copyfileobj(f, results)
            shots = os.path.join(part, 'shots')
            if os.path.isdir(shots):
                shutil.copytree(shots, os.path.join(out, 'shots'), dirs_exist_ok=True)
    return out, page.build(out, [os.path.join(out, RESULTS)])


def write_out(text):
    """Standard output; a reader that stops early (| head) ends it quietly."""
    try:
        sys.stdout.write(text + '\n')
        sys.stdout.flush()
    except BrokenPipeError:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())


def report(out, rows, counts, as_json):
    """The summary: the rows that are worse on standard error, and with
    --json the summary as one document on standard output."""
    worse = [r for r in rows if r['kind'] == 'worse']
    for r in worse:
        print('vntrsetup-matrix: worse: %s%s: %s' % (
            r['machine_file'], ' (answers %s)' % ', '.join(r['answers']) if r['answers'] else '',
            '; '.join(r['reasons'])), file=sys.stderr)
    unheld = [r for r in rows if r['wine_refused']]
    print('vntrsetup-matrix: %d rows: %s; the page is %s' % (
        len(rows), ', '.join('%d %s' % (n, k) for k, n in counts.items()),
        os.path.join(out, 'index.html')), file=sys.stderr)
    if as_json:
        doc = {'out': out, 'page': os.path.join(out, 'index.html'), 'rows': len(rows),
               'counts': counts,
               'worse': [{'row': r['id'], 'machine_file': r['machine_file'],
                          'answers': r['answers'], 'reasons': r['reasons']} for r in worse],
               'not_under_wine': [{'row': r['id'], 'machine_file': r['machine_file'],
                                   'why': r['wine_refused']} for r in unheld]}
        write_out(jsontext.dumps(doc, indent=2))
    return WORSE if worse else 0


def main(argv, doc):
    try:
        args = parse(argv)
        if args.help:
            write_out(doc)
            return 0
        started = time.monotonic()
        out, (rows, counts) = run(args) if args.command == 'run' else merge(args)
        status = report(out, rows, counts, args.json)
        if not args.json:
            print('vntrsetup-matrix: %.1f s' % (time.monotonic() - started), file=sys.stderr)
        return status
    except KeyboardInterrupt:
        print('vntrsetup-matrix: stopped', file=sys.stderr)
        return 130
    except page.DuplicateRow as e:
        print('vntrsetup-matrix: %s: a shard merged twice?\n(see vntrsetup-matrix --help)' % e,
              file=sys.stderr)
        return BAD_COMMAND
    except BadCommand as e:
        print('vntrsetup-matrix: %s\n(see vntrsetup-matrix --help)' % e, file=sys.stderr)
        return BAD_COMMAND
    except (ToolFailed, RuntimeError, OSError, ValueError, KeyError) as e:
        print('vntrsetup-matrix: the check failed: %s' % e, file=sys.stderr)
        return FAILED
