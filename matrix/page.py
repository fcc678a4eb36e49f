"""The page of a release check, made from results.jsonl alone (so that a
run and the merge of its shards give the same page): index.html, one table
row per machine and answer path, the rows that differ first; and a detail
page per row under rows/. Rendered with Jinja2 templates (templates/),
which escape every text."""

import json
import os
import tempfile

import jinja2
import markupsafe

from . import verdict

TEMPLATES = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'templates')
ORDER = {k: i for i, k in enumerate(verdict.KINDS)}


def shown(text, codepage):
    """A text of the machine as a reader sees it: the simulator's byte
    strings (one character per byte) decoded in the machine's code page;
    a text with characters past U+00FF is Unicode already (change lines)."""
    if not isinstance(text, str):
        return '' if text is None else str(text)
    try:
        return text.encode('latin-1').decode('cp%d' % codepage, 'replace')
    except (UnicodeEncodeError, LookupError):
        return text


def _environment():
    env = jinja2.Environment(loader=jinja2.FileSystemLoader(TEMPLATES),
                             autoescape=True, trim_blocks=True, lstrip_blocks=True,
                             undefined=jinja2.StrictUndefined)
    return env


def read_groups(paths):
    """The records of each row, row after row: a row's records stand
    together in a results.jsonl."""
    for path in paths:
        group = []
        with open(path, encoding='utf-8') as f:
            for line in f:
                if not line.strip():
                    continue
                record = json.loads(line)
                if group and group[0]['row'] != record['row']:
                    yield group
                    group = []
                group.append(record)
        if group:
            yield group


def _side(doc, codepage):
    """What the table shows of one run."""
    return {
        'status': doc.get('status'),
        'outcome': doc.get('outcome') or doc.get('outcome_unknown') or doc.get('message'),
        'boxes': [{'message': b.get('message'), 'text': shown(b['args'].get('text'), codepage),
                   'caption': shown(b['args'].get('caption'), codepage),
                   'answer': b.get('answer')} for b in doc.get('boxes', [])],
        # The simulator gives the after-restart predictions in UTF-8 already.
        'after': [{'device': a.get('device'), 'inf': a.get('inf'), 'model': a.get('model'),
                   'line': a.get('line'), 'why': a.get('why')}
                  for a in doc.get('after_restart') or []],
    }


def row_of(group):
    """A row from its records: the machine, the verdict and both sides."""
    by = {r['package']: r for r in group}
    cand, base = by['candidate'], by.get('baseline')
    doc = cand['simulator']
    m = doc.get('machine') or (base['simulator'].get('machine') if base else None) or {}
    codepage = m.get('codepage') or 1252
    kind, reasons = verdict.judge(base['simulator'] if base else None, doc)
    row = {
        'id': cand['row'], 'machine_file': cand['machine_file'], 'answers': cand['answers'],
        'name': shown(m.get('name'), codepage), 'os': m.get('os'), 'version': m.get('version'),
        'locale': m.get('locale'), 'codepage': m.get('codepage'),
        'controllers': cand.get('controllers') or [],
        'kind': kind, 'reasons': [shown(r, codepage) for r in reasons],
        'candidate': _side(doc, codepage), 'baseline': _side(base['simulator'], codepage)
        if base else None,
        'wine': cand.get('wine'),
    }
    return row, by, codepage


def _detail(row, by, codepage):
    """The detail page's own facts: traces, changes, differences, the
    command that replays the machine."""
    runs = []
    for role in ('baseline', 'candidate'):
        if role not in by:
            continue
        r, doc = by[role], by[role]['simulator']
        stdout = shown(doc.get('stdout') or '', codepage).replace('\r\n', '\n')
        runs.append({'role': role, 'package': r['package_dir'], 'side': row[role],
                     'message': shown(doc.get('message'), codepage),
                     'trace': stdout.rstrip('\n').split('\n') if stdout else [],
                     'changes': doc.get('change_lines') or [],
                     'replay': replay(r)})
    differs = []
    if 'baseline' in by:
        differs = [shown(d, codepage) for d in verdict.differences(
            by['baseline']['simulator'], by['candidate']['simulator'])]
    return {'runs': runs, 'differs': differs}


def replay(record):
    """The command that runs one record's machine again."""
    words = ['vntrsetup-sim', record['machine_file'], '--package', record['package_dir']]
    for a in record['answers'] or []:
        words += ['--answer', a]
    return ' '.join(_quoted(w) for w in words)


def _quoted(word):
    safe = all(c.isalnum() or c in '/._-+:=,@' for c in word)
    return word if safe and word else "'%s'" % word.replace("'", "'\\''")


class DuplicateRow(ValueError):
    """A row given twice (two parts of one shard merged)."""


class Writer:
    """Writes each row's detail page and its line of the table as the row
    comes, and index.html at the end; a run feeds it the rows it has just
    made, a merge the rows of the parts' results.jsonl: the same rows give
    the same page. Of each row only its place in the order, its verdict and
    where its line of the table lies are kept, in a temporary file, so
    that memory stays flat however many rows there are."""

    def __init__(self, out):
        self.out, self.env = out, _environment()
        os.makedirs(os.path.join(out, 'rows'), exist_ok=True)
        self.detail = self.env.get_template('row.html')
        self.line = self.env.get_template('index_row.html')
        self.lines = tempfile.TemporaryFile()
        self.held = tempfile.TemporaryFile('w+', encoding='utf-8')
        self.baseline_given = self.with_wine = False

    def add(self, group):
        """One row's records (the candidate's, and the baseline's)."""
        row, by, codepage = row_of(group)
        self.baseline_given = self.baseline_given or 'baseline' in by
        self.with_wine = self.with_wine or bool(row['wine'])
        with open(os.path.join(self.out, 'rows', row['id'] + '.html'), 'w',
                  encoding='utf-8') as f:
            f.write(self.detail.render(row=row, detail=_detail(row, by, codepage)))
        line = self.line.render(r=row).encode('utf-8')
        # What the index and the summary need of the row, in the file
        # beside its line: nothing of a row stays in memory until the end.
        held = {'order': [ORDER[row['kind']], row['machine_file'], row['answers'] or []],
                'id': row['id'], 'kind': row['kind'], 'machine_file': row['machine_file'],
                'answers': row['answers'],
                'reasons': row['reasons'] if row['kind'] == 'worse' else [],
                'wine_refused': (row['wine'] or {}).get('refused'),
                'line': [self.lines.tell(), len(line)]}
        self.lines.write(line)
        self.held.write(json.dumps(held) + '\n')

    def _lines(self, rows):
        for r in rows:
            self.lines.seek(r['line'][0])
            yield markupsafe.Markup(self.lines.read(r['line'][1]).decode('utf-8'))

    def finish(self):
        """Writes index.html; returns (the rows in the page's order, their
        counts by kind)."""
        self.held.seek(0)
        rows = sorted((json.loads(line) for line in self.held), key=lambda r: r['order'])
        self.held.close()
        for a, b in zip(rows, rows[1:]):
            if a['id'] == b['id']:
                raise DuplicateRow('%s%s is given twice' % (a['machine_file'], ' (answers %s)' % (
                    ', '.join(a['answers'])) if a['answers'] else ''))
        counts = {k: sum(1 for r in rows if r['kind'] == k) for k in verdict.KINDS}
        with open(os.path.join(self.out, 'index.html'), 'w', encoding='utf-8') as f:
            for piece in self.env.get_template('index.html').generate(
                    fragments=self._lines(rows), total=len(rows), counts=counts,
                    baseline_given=self.baseline_given, with_wine=self.with_wine):
                f.write(piece)
        self.lines.close()
        return rows, counts


def build(out, result_files):
    """The page of the records of `result_files`."""
    writer = Writer(out)
    for group in read_groups(result_files):
        writer.add(group)
    return writer.finish()
