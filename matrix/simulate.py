"""The simulator's side of a release check: each machine's dump and its
runs under the baseline and the candidate, over `vntrsetup-sim --batch`
processes side by side (one process start for thousands of runs), and the
answer paths of a machine whose file does not answer every question."""

import json
import os
import queue
import subprocess
import threading

RS = b'\x1e'
# The program asks two questions at most; a path longer than this is cut.
MOST_ANSWERS = 4


class ToolFailed(Exception):
    """The check itself failed (exit status 3)."""


class Job:
    """One machine and one answer path: its dump (on the first pass) and a
    run for each package. `answers` None: the file's own."""

    def __init__(self, index, path, answers, dump=None):
        self.index, self.path, self.answers, self.dump = index, path, answers, dump
        self.docs, self.raw = {}, {}

    def requests(self, packages):
        out = []
        if self.dump is None:
            out.append(('dump', [self.path, '--dump-machine']))
        for role, folder in packages:
            args = [self.path, '--json', '--package', folder]
            for a in self.answers or []:
                args += ['--answer', a]
            out.append((role, args))
        return out


def _records(stream):
    """The records of a JSON text sequence as they arrive: a record is
    complete when the next one starts, or the stream ends."""
    pending = b''
    while True:
        chunk = stream.read1(1 << 16)
        if not chunk:
            break
        pending += chunk
        parts = pending.split(RS)
        pending = parts.pop()
        for p in parts:
            if p:
                yield p
    if pending:
        yield pending


class _Worker:
    """One `vntrsetup-sim --batch` process: its requests written by a thread
    of their own while its records are read, so neither side waits."""

    def __init__(self, sim, jobs, packages, results):
        self.results = results
        # Each request with its job and whether it is the job's last.
        self.plan = [(job, role, args, i == len(reqs) - 1)
                     for job, reqs in ((j, j.requests(packages)) for j in jobs)
                     for i, (role, args) in enumerate(reqs)]
        try:
            self.proc = subprocess.Popen([sim, '--batch'], stdin=subprocess.PIPE,
                                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        except OSError as e:
            raise ToolFailed('cannot start %s: %s' % (sim, e))
        self.writer = threading.Thread(target=self._write, daemon=True)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.writer.start()
        self.reader.start()

    def _write(self):
        try:
            for _, _, args, _ in self.plan:
                self.proc.stdin.write(json.dumps(args).encode() + b'\n')
            self.proc.stdin.close()
        except (BrokenPipeError, OSError):
            pass  # the reader sees the process end, and says so

    def _read(self):
        """Hands each finished job on; the end of the process, or output
        that does not parse, ends the list (with the failure said): the
        consumer never waits for a reader that has gone."""
        try:
            got = self._take()
        except ValueError as e:
            self.proc.kill()
            self.results.put(ToolFailed('vntrsetup-sim --batch wrote what is no JSON: %s' % e))
            self.results.put(None)
            return
        code = self.proc.wait()
        if got != len(self.plan):
            self.results.put(ToolFailed('vntrsetup-sim --batch ended (status %d) after %d of %d '
                                        'runs' % (code, got, len(self.plan))))
        self.results.put(None)

    def _take(self):
        got = 0
        for record in _records(self.proc.stdout):
            if got >= len(self.plan):
                break
            job, role, _, last = self.plan[got]
            got += 1
            if role == 'dump':
                job.dump = json.loads(record)
            else:
                # One line for results.jsonl: the document's own line ends
                # are whitespace between its members (strings escape theirs).
                job.raw[role] = record.strip().replace(b'\n', b'')
                job.docs[role] = json.loads(record)
            if last:
                self.results.put(job)
        return got


def run_jobs(sim, jobs, packages, workers):
    """Yields each job once its dump and runs are in, from `workers`
    processes side by side; `packages` is [(role, folder)]."""
    if not jobs:
        return
    workers = max(1, min(workers, len(jobs)))
    results = queue.Queue(maxsize=64)
    started = [_Worker(sim, jobs[w::workers], packages, results) for w in range(workers)]
    ended = 0
    while ended < len(started):
        item = results.get()
        if item is None:
            ended += 1
        elif isinstance(item, ToolFailed):
            for w in started:
                w.proc.kill()
            raise item
        else:
            yield item


def _answered(doc):
    """The answers a run's Yes/No boxes took, in order."""
    return [b['answer'].lower() for b in doc.get('boxes', [])
            if b.get('buttons') == 'Yes/No' and b.get('answer')]


def branches(job):
    """The answer paths a job that ran out of answers goes on with: the
    answers its runs took so far, then Yes; and No as well where this is
    not the first question (No to the first only declines). [] when every
    run had its answers."""
    short = [d for d in job.docs.values() if d.get('status') == 'no_answer']
    if not short:
        return []
    taken = max((_answered(d) for d in short), key=len)
    if len(taken) >= MOST_ANSWERS:
        return []
    choices = ['yes'] if not taken else ['yes', 'no']
    return [Job(job.index, job.path, taken + [c], job.dump) for c in choices]


def simulate(sim, files, packages, workers, done, more=lambda n: None):
    """Runs every machine file under each package, and each answer path
    a machine needs; calls done(job) for each finished row, in the order
    they finish, and more(n) when a machine turns out to be n more rows."""
    jobs = [Job(i, path, None) for i, path in enumerate(files)]
    while jobs:
        pending = []
        for job in run_jobs(sim, jobs, packages, workers):
            follow = branches(job)
            if follow:
                pending += follow
                more(len(follow) - 1)
            else:
                done(job)
        jobs = pending


def default_workers():
    return len(os.sched_getaffinity(0)) if hasattr(os, 'sched_getaffinity') else os.cpu_count()
