"""The page of a release check with --wine, opened in a real browser:
tools/vntrsetup-matrix runs two machines under the simulator and the real
setup.exe under Wine (a candidate without the Japanese messages against the
example package), then headless Chromium loads index.html and checks the
rows, the summary and the thumbnails, and opens a detail page from its
link. Exit 77 (skipped) where Chromium is missing, except in CI (CI set),
where that fails."""

import argparse
import html.parser
import os
import shutil
import subprocess
import sys
import tempfile

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TOOL = os.path.join(SOURCE, 'tools', 'vntrsetup-matrix')
MACHINES = [os.path.join(SOURCE, 'examples', 'machines', m)
            for m in ('xp-japanese.toml', '98se.toml')]
SKIPPED = 77
FLAGS = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
         '--disable-background-networking', '--disable-component-update', '--disable-sync']


class Dom(html.parser.HTMLParser):
    """The elements of a page as the browser left them: rows of the table,
    images, links and the summary's text."""

    def __init__(self):
        super().__init__()
        self.rows, self.images, self.links, self.text = [], [], [], {}
        self._in = None

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == 'tr' and a.get('id'):
            self.rows.append(a)
        elif tag == 'img':
            self.images.append(a)
        elif tag == 'a':
            self.links.append(a.get('href'))
        if a.get('id') in ('summary', 'kind') or tag == 'h1':
            self._in = a.get('id') or tag
            self.text[self._in] = ''

    def handle_endtag(self, tag):
        if tag in ('p', 'h1'):
            self._in = None

    def handle_data(self, data):
        if self._in:
            self.text[self._in] += data


def dom(chromium, profile, page):
    p = subprocess.run([chromium] + FLAGS + ['--user-data-dir=' + profile, '--dump-dom',
                                             'file://' + page],
                       capture_output=True, text=True, timeout=120)
    if p.returncode != 0 or '<html' not in p.stdout:
        raise AssertionError('chromium could not load %s: %s' % (page, p.stderr[-2000:]))
    parsed = Dom()
    parsed.feed(p.stdout)
    return parsed


def check(condition, what):
    if not condition:
        raise AssertionError(what)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--build', required=True)
    args = parser.parse_args()
    chromium = shutil.which('chromium') or shutil.which('chromium-browser')
    if not chromium:
        if os.environ.get('CI'):
            print('page_test: chromium is missing in CI (scripts/bootstrap --all installs it)')
            return 1
        print('page_test: SKIPPED: chromium is missing (scripts/bootstrap --all installs it)')
        return SKIPPED
    tmp = tempfile.mkdtemp(prefix='matrix-page-')
    try:
        candidate = os.path.join(tmp, 'candidate')
        shutil.copytree(os.path.join(SOURCE, 'examples', 'package'), candidate)
        os.remove(os.path.join(candidate, 'MultiLang', '0411.dat'))
        out = os.path.join(tmp, 'out')
        p = subprocess.run([sys.executable, TOOL, '--package', candidate, '--baseline',
                            os.path.join(SOURCE, 'examples', 'package'), '--wine', '-j', '2',
                            '--build', args.build, '--out', out] + MACHINES,
                           capture_output=True, text=True, timeout=1500)
        print(p.stderr)
        check(p.returncode == 0, 'vntrsetup-matrix --wine ended with %d' % p.returncode)
        index = dom(chromium, os.path.join(tmp, 'profile'), os.path.join(out, 'index.html'))
        check(len(index.rows) == 2, 'two rows, got %d' % len(index.rows))
        check([r['class'] for r in index.rows] == ['changed', 'same'],
              'the changed row first: %s' % index.rows)
        check(index.text.get('summary', '').startswith('2 rows: 0 worse, 0 better, 1 changed'),
              'the summary: %r' % index.text.get('summary'))
        thumbs = [i for i in index.images if i.get('class') == 'thumb']
        # Each row's boxes photographed: two on XP, three on 98 SE.
        check(len(thumbs) == 5, 'five thumbnails, got %d' % len(thumbs))
        for t in thumbs:
            check(os.path.getsize(os.path.join(out, t['src'])) > 0, 'no file %s' % t['src'])
        link = next(h for h in index.links if h and h.startswith('rows/'))
        detail = dom(chromium, os.path.join(tmp, 'profile'), os.path.join(out, link))
        check('xp-japanese.toml' in detail.text.get('h1', ''), 'the detail page of the first row: '
              '%r' % detail.text)
        check(detail.text.get('kind', '').startswith('changed'), 'its verdict')
        check(any(i['src'].startswith('../shots/') for i in detail.images),
              'its screenshots full size')
        print('page_test: the page, its thumbnails and a detail page load in %s' % chromium)
        return 0
    except AssertionError as e:
        print('page_test: FAILED: %s' % e)
        return 1
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == '__main__':
    sys.exit(main())
