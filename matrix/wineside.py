"""The candidate under Wine: each row's machine run by tools/vntrsetup-wine
(the real setup.exe, the same code and the same base prefix as a run by
hand), its screenshots kept with the page, and a machine Wine cannot hold
listed with why."""

import concurrent.futures
import json
import os
import shutil
import subprocess
import sys

from .machines import SOURCE
from .page import shown

TOOL = os.path.join(SOURCE, 'tools', 'vntrsetup-wine')
# A Wine run that does not end in this time is stopped (vntrsetup-wine's
# own bound on setup.exe is shorter; the first use builds the base prefix).
TIMEOUT = 1800


def _said(stderr):
    """vntrsetup-wine's message, without its name and the help hint."""
    lines = [line for line in stderr.decode('utf-8', 'replace').splitlines()
             if line.strip() and not line.startswith('(see ')]
    return (lines[-1] if lines else '').replace('vntrsetup-wine: ', '', 1)


def summary(report, shots):
    """What results.jsonl keeps of a Wine run (texts decoded)."""
    cp = (report.get('machine') or {}).get('codepage') or 1252
    return {
        'status': report.get('status'), 'message': shown(report.get('message'), cp),
        'exit_code': report.get('exit_code'), 'refused': None,
        'boxes': [{'buttons': b.get('buttons'), 'caption': shown(b['args'].get('caption'), cp),
                   'text': shown(b['args'].get('text'), cp), 'answer': b.get('answer')}
                  for b in report.get('boxes', [])],
        'realized_otherwise': [{k: shown(d.get(k), cp) for k in ('field', 'machine', 'under_wine',
                                                                  'why')}
                               for d in report.get('realized_otherwise', [])],
        'screenshots': shots, 'seconds': (report.get('summary') or {}).get('seconds_in_all'),
    }


def run_one(job, candidate, out, build=None):
    """Runs one row's machine under Wine with the candidate package; the
    screenshots are copied to OUT/shots/ROW/."""
    cmd = [sys.executable, TOOL, '--json', '--package', candidate]
    for a in job.answers or []:
        cmd += ['--answer', a]
    if build:
        cmd += ['--build', build]
    cmd += ['--', job.path]
    try:
        p = subprocess.run(cmd, capture_output=True, timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        return {'status': 'wine_failed', 'message': 'no end within %d s' % TIMEOUT,
                'refused': None, 'boxes': [], 'screenshots': [], 'realized_otherwise': []}
    if p.returncode == 2:
        return {'status': 'refused', 'refused': _said(p.stderr), 'message': '', 'boxes': [],
                'screenshots': [], 'realized_otherwise': []}
    try:
        report = json.loads(p.stdout)
    except ValueError:
        return {'status': 'wine_failed', 'message': _said(p.stderr) or 'status %d' % p.returncode,
                'refused': None, 'boxes': [], 'screenshots': [], 'realized_otherwise': []}
    kept = []
    folder = os.path.join('shots', job.row)
    os.makedirs(os.path.join(out, folder), exist_ok=True)
    for shot in report.get('summary', {}).get('screenshots', []):
        name = os.path.join(folder, os.path.basename(shot))
        shutil.copyfile(shot, os.path.join(out, name))
        kept.append(name.replace(os.sep, '/'))
    source = report.get('summary', {}).get('screenshot_folder')
    if source and os.path.isdir(source):
        shutil.rmtree(source, ignore_errors=True)  # copied here; the build tree keeps none
    return summary(report, kept)


def run_all(jobs, candidate, out, workers, build=None, done=None):
    """Runs every job under Wine, `workers` at once after the first: the
    first run alone makes the shared base prefix when it is missing."""
    if not jobs:
        return
    jobs[0].wine = run_one(jobs[0], candidate, out, build)
    if done:
        done(jobs[0])
    with concurrent.futures.ThreadPoolExecutor(max(1, workers)) as pool:
        futures = {pool.submit(run_one, j, candidate, out, build): j for j in jobs[1:]}
        for f in concurrent.futures.as_completed(futures):
            futures[f].wine = f.result()
            if done:
                done(futures[f])
