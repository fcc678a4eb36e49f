"""What a row comes to: the candidate's run against the baseline's, from
the simulator's documents alone (status, outcome, the boxes' message
numbers and texts, the change lines, the after-restart prediction)."""

KINDS = ('worse', 'better', 'changed', 'unreadable', 'same')
# Outcomes in which the driver was installed, or staged for the restart.
DELIVERED = ('installed', 'staged', 'restart')
HUNG = {'crashed': 'a crash', 'timeout': 'a hang', 'sim_failed': 'the simulator failed'}


def refused(doc):
    return doc.get('status') == 'refused'


def result(doc):
    """What of a run is compared: everything a user or the machine sees."""
    return (doc.get('status'), doc.get('outcome'),
            [(b.get('message'), b['args'].get('caption'), b['args'].get('text'), b.get('answer'))
             for b in doc.get('boxes', [])],
            doc.get('change_lines', []), doc.get('after_restart') or [])


def drivers(doc):
    """{device: INF} of the drivers Windows finds after the restart."""
    return {a['device']: a['inf'] for a in doc.get('after_restart') or [] if a.get('inf')}


def losses(before, after):
    """Why `after` is worse than `before`: each reason a line."""
    why = []
    if refused(after) and not refused(before):
        why.append('the machine does not load: %s' % after.get('message', ''))
    if after.get('status') in HUNG and before.get('status') not in HUNG:
        why.append(HUNG[after['status']])
    if any(b.get('message') == 0 for b in after.get('boxes', [])) and \
            not any(b.get('message') == 0 for b in before.get('boxes', [])):
        why.append('message 0 (the update failed)')
    if after.get('outcome') == 'no-controller' and before.get('outcome') in DELIVERED:
        why.append('no-controller where it was %s' % before['outcome'])
    found = drivers(after)
    for device, inf in sorted(drivers(before).items()):
        if device not in found:
            why.append('after the restart, no driver for %s (was %s)' % (device, inf))
    return why


def judge(baseline, candidate):
    """(kind, reasons): worse, better, changed, unreadable or same. Without
    a baseline only a crash or a hang of the candidate is worse."""
    if refused(candidate) and (baseline is None or refused(baseline)):
        return 'unreadable', [candidate.get('message', '')]
    if baseline is None:
        hung = HUNG.get(candidate.get('status'))
        return ('worse', [hung]) if hung else ('same', [])
    if result(baseline) == result(candidate):
        return 'same', []
    worse = losses(baseline, candidate)
    if worse:
        return 'worse', worse
    better = losses(candidate, baseline)
    if better:
        return 'better', ['no longer: %s' % b for b in better]
    return 'changed', _parts_differing(baseline, candidate)


def _parts_differing(baseline, candidate):
    """Which parts of the two results differ ("boxes differ", ...); the
    detail page lists the differences themselves."""
    names = ('status', 'outcome', 'boxes', 'changes', 'after the restart')
    return ['%s differ%s' % (n, '' if n.endswith('s') else 's')
            for n, a, b in zip(names, result(baseline), result(candidate)) if a != b]


def _boxes(doc):
    return ['%s: %s' % ('message %s' % b['message'] if b.get('message') is not None else 'box',
                        b['args'].get('text')) for b in doc.get('boxes', [])]


def differences(baseline, candidate):
    """What differs between the two runs, a line each (texts as the
    documents hold them: one character per byte)."""
    out = []
    for what, get in (('status', lambda d: d.get('status')),
                      ('outcome', lambda d: d.get('outcome'))):
        if get(baseline) != get(candidate):
            out.append('%s: %s -> %s' % (what, get(baseline), get(candidate)))
    for what, get in (('boxes', _boxes), ('changes', lambda d: d.get('change_lines', [])),
                      ('after the restart', lambda d: [
                          '%s: %s' % (a['device'], a.get('inf') or 'no driver (%s)' % a.get('why'))
                          for a in d.get('after_restart') or []])):
        a, b = get(baseline), get(candidate)
        if a != b:
            out += ['%s: - %s' % (what, x) for x in a if x not in b]
            out += ['%s: + %s' % (what, x) for x in b if x not in a]
            if all(x in b for x in a) and all(x in a for x in b):
                out.append('%s: in another order' % what)
    return out
