"""The simulator's prediction and the real run under Wine, event by event:
boxes and the calls from the program's own image with their arguments and
results, the trace bytes, the state the program could have changed (the INF
directories, OtherDevicePath, the keys under Enum\\PCI), the planted
libraries that were loaded and the exit code. The Wine side derives no
outcome of its own and formats no change lines: it shows the simulator's
and marks which of its changes the Wine run made too.

The relayed calls are named as the simulator names them: the arguments of
each call in its order, from `vntrsetup-sim --list-calls`, and checked
against the simulator's events. What is the harness's own is here: which
calls it relays and compares, and how an argument or result compares where
not exactly. Windows compares file paths, library names and registry key
names without regard to case, so those arguments (and the state's paths) are
compared that way; Wine's Windows directory is C:\\windows where the
simulator's machines have C:\\WINDOWS. Texts, hardware identifiers and the
trace are compared byte for byte.

A difference fails the comparison unless a known Wine difference
(tests/e2e/known-differences.toml) explains it: each has a normalizer here,
applied to both sides before the second comparison.
"""

import os
import re
import tomllib
import zlib

# The calls the relay log shows (RelayInclude) and the comparison compares.
COMPARED_CALLS = ('MessageBoxA', 'LoadLibraryA', 'CopyFileA', 'CreateDirectoryA',
                  'RegSetValueExA', 'RegDeleteKeyA', 'UpdateDriverForPlugAndPlayDevicesA',
                  'ExitWindowsEx')
# Arguments, by the simulator's name, compared other than exactly: a path or
# name Windows matches without case; a pointer by whether it is NULL; not at
# all where the relay log shows only an address (a key handle, data).
PATH, POINTER, HIDDEN = 'path', 'pointer', 'hidden'
RULES = {
    'LoadLibraryA': {'name': PATH},
    'CopyFileA': {'from': PATH, 'to': PATH},
    'CreateDirectoryA': {'path': PATH, 'security': POINTER},
    'RegSetValueExA': {'key': HIDDEN, 'name': PATH, 'data': HIDDEN},
    'RegDeleteKeyA': {'key': HIDDEN, 'subkey': PATH},
    'UpdateDriverForPlugAndPlayDevicesA': {'parent': POINTER, 'inf': PATH, 'reboot': POINTER},
}
# Results compared by success alone (a BOOL, a module handle); the others
# (a box's answer, a registry status) exactly.
BY_SUCCESS = ('LoadLibraryA', 'CopyFileA', 'CreateDirectoryA',
              'UpdateDriverForPlugAndPlayDevicesA', 'ExitWindowsEx')


class Relay:
    """The relayed calls as the simulator lists them (simulator.host_calls):
    each call's library and argument names."""

    def __init__(self, host_calls):
        missing = [c for c in COMPARED_CALLS if c not in host_calls]
        if missing:
            raise ValueError('vntrsetup-sim --list-calls does not list %s' % ', '.join(missing))
        self.names = {c: host_calls[c][1] for c in COMPARED_CALLS}
        for call, rules in RULES.items():
            unknown = set(rules) - set(self.names[call])
            if unknown:
                raise ValueError('%s has no argument %s in vntrsetup-sim --list-calls (%s)' % (
                    call, ', '.join(sorted(unknown)), ', '.join(self.names[call])))
        self.include = ';'.join('%s.%s' % (os.path.splitext(host_calls[c][0])[0], c)
                                for c in COMPARED_CALLS)

    def event_of(self, call):
        """A relayed call (winelog.Call) as {call, args, result}, its
        arguments named as the simulator names them. A pointer shows as NULL
        or its address; what the relay log shows only the address of (a key
        handle's path, the data behind a pointer) is None."""
        names = self.names.get(call.func, [])
        args = {}
        for i, (number, string) in enumerate(call.args):
            name = names[i] if i < len(names) else 'arg%d' % (i + 1)
            rule = RULES.get(call.func, {}).get(name)
            if rule == HIDDEN:
                args[name] = None
            elif rule == POINTER:
                args[name] = 'NULL' if number == 0 else '0x%08x' % number
            else:
                args[name] = string if string is not None else number
        return {'call': call.func, 'args': args, 'result': call.retval}

    def check_events(self, events):
        """The simulator's events of the compared calls hold the arguments
        --list-calls names, in that order: one list of names serves both."""
        for e in events:
            call = e.get('call')
            if call in self.names and list(e.get('args', {})) != self.names[call]:
                raise ValueError('the simulator\'s %s event holds the arguments %s, its '
                                 '--list-calls %s' % (call, ', '.join(e.get('args', {})),
                                                      ', '.join(self.names[call])))


def _result(call, value):
    if call in BY_SUCCESS:  # a failed load is NULL in the simulator, 0 relayed
        return value not in (None, 0, False, 'NULL')
    return value


def _norm(value, how):
    if how == HIDDEN:
        return None
    if how == POINTER:  # sim: "NULL", an address, or the value behind a given pointer
        return 'NULL' if value in (None, 'NULL') else 'given'
    if how == PATH and isinstance(value, str):
        return value.lower()
    if value is None or value == 'NULL':  # a NULL pointer: null in the simulator, 0 relayed
        return 0
    if isinstance(value, str) and re.fullmatch(r'0x[0-9a-fA-F]+', value):
        return int(value, 16)
    if isinstance(value, bool):
        return int(value)
    return value


def box_tag(event):
    """What the simulator says a box showed, where it says it."""
    if event.get('absent'):
        return 'a box without text, its message number not to be told'
    if event.get('entry_point'):
        return 'names a missing setupapi entry point'
    if event.get('message') is not None:
        return 'message %d' % event['message']
    return None


class View:
    """One side of the comparison."""

    def __init__(self, calls, trace, state, exit_code, status, tags=(), windows_dir=''):
        self.calls = calls  # [(call, ((arg, value)...), result)]
        self.tags = list(tags)  # what the simulator says of each box (box_tag), in order
        self.windows_dir = windows_dir.rstrip('\\').lower()
        self.trace = trace  # str, one character per byte
        self.state = state  # {'inf': {...}, 'other_device_path': ..., 'enum_pci': [...]}
        self.exit_code = exit_code
        self.status = status
        self.masked = None  # the Windows directory whose name is left out (mask_paths)


def compared(e):
    call, args = e['call'], e.get('args', {})
    rules = RULES.get(call, {})
    shown = tuple((name, _norm(value, rules.get(name))) for name, value in args.items()
                  if rules.get(name) != HIDDEN)
    return (call, shown, _result(call, e.get('result')))


def compared_calls(events):
    return [compared(e) for e in events if e.get('call') in COMPARED_CALLS]


# -- the simulator's side ---------------------------------------------------------

def _sim_events(doc):
    """The simulator's host-call events, {call, args, result, ...} (not the
    note of a planned fault that goes before a call)."""
    return [e for e in doc.get('events', []) if 'call' in e and e.get('type') != 'fault']


def _find(tree, path):
    node = tree
    for part in [p for p in path.split('\\') if p]:
        node = next((s for s in node.get('subkeys', []) if s['name'].lower() == part.lower()),
                    None)
        if node is None:
            return None
    return node


def _value_bytes(v):
    return bytes.fromhex(v['hex']) if 'hex' in v else v.get('data', '').encode('latin-1')


def file_identity(data):
    """What of a file's contents the state compares: its size and CRC-32.
    A file a machine knows by those alone (a capture's placeholder, whose
    made-up bytes have the same) then compares with the real one."""
    return _identity(len(data), zlib.crc32(data))


def _identity(size, crc32):
    return '%d bytes, CRC-32 %08x' % (size, crc32)


def dumped_file_identity(f):
    """file_identity of a file of the simulator's dump (its bytes, or its
    size and CRC-32 where the dump leaves the bytes out)."""
    if 'hex' in f:
        return file_identity(bytes.fromhex(f['hex']))
    return _identity(f['size'], f['crc32'])


def sim_state(dump, doc, events):
    """The machine's INF directories after the run (its files plus the copies
    and directories made), OtherDevicePath and the keys below Enum\\PCI from
    the final registry."""
    windows = dump['windows_dir'].rstrip('\\').lower()
    files = {}
    for f in dump.get('files', []):
        files[f['path'].lower()] = 'dir' if f.get('dir') else dumped_file_identity(f)
    cwd = dump['current_dir']
    for e in events:
        a = e.get('args', {})
        if e['call'] == 'CopyFileA' and e['result']:
            source = _absolute(a['from'], cwd).lower()
            files[_absolute(a['to'], cwd).lower()] = files.get(source)
        elif e['call'] == 'CreateDirectoryA' and e['result']:
            files[_absolute(a['path'], cwd).lower()] = 'dir'
    inf = {k[len(windows) + 1:]: v for k, v in files.items()
           if k == windows + '\\inf' or k.startswith(windows + '\\inf\\')}
    registry = (doc.get('summary') or {}).get('registry') or {}
    other = None
    key = _find(registry, 'SOFTWARE\\Microsoft\\Windows\\CurrentVersion')
    for v in (key or {}).get('values', []):
        if v['name'].lower() == 'otherdevicepath':
            data = _value_bytes(v)
            text = data.split(b'\0', 1)[0].decode('latin-1') if v['type'] in (1, 2) else data.hex()
            # A list of directories: compared as paths, without case.
            other = [v['type'], text.lower() if v['type'] in (1, 2) else text]
    keys = []

    def walk(node, path):
        for s in node.get('subkeys', []):
            p = (path + '\\' if path else '') + s['name'].lower()
            keys.append(p)
            walk(s, p)

    pci = _find(registry, 'Enum\\PCI')
    if pci is not None:
        walk(pci, '')
    planted = sorted({e['args']['name'].rsplit('\\', 1)[-1].lower() for e in events
                      if e['call'] == 'LoadLibraryA' and e.get('planted')})
    return {'inf': inf, 'other_device_path': other, 'enum_pci': sorted(keys),
            'planted_loaded': planted}


def _absolute(path, cwd):
    if len(path) >= 3 and path[1:3] == ':\\':
        return path.rstrip('\\') if len(path) > 3 else path
    return cwd.rstrip('\\') + '\\' + path


MASK = '<Windows directory>'


def _masked(value, directory):
    """`value` with every path that begins with `directory` given its name
    as MASK: a Windows directory realized under another name compares but
    for that name."""
    if not isinstance(value, str) or not directory:
        return value
    return re.sub(re.escape(directory.rstrip('\\')) + r'(?=\\|$|[^\w\\])', MASK, value,
                  flags=re.I)


def _masked_call(call, directory):
    name, args, result = call
    return (name, tuple((n, _masked(v, directory)) for n, v in args), _masked(result, directory))


def mask_paths(view, directory):
    """Leaves the name of the Windows directory out of a view's calls,
    trace and OtherDevicePath (the INF directory's state is kept relative
    to it already)."""
    view.calls = [_masked_call(c, directory) for c in view.calls]
    view.masked = directory
    view.trace = _masked(view.trace, directory)
    other = view.state.get('other_device_path')
    if other:
        view.state['other_device_path'] = [other[0], _masked(other[1], directory)]
    return view


def sim_view(dump, doc, relay, masks=()):
    """The simulator's side; `masks` are (the machine's Windows directory,
    Wine's) whose names are left out (realize.Plan.path_masks)."""
    events = _sim_events(doc)
    relay.check_events(events)
    view = View(compared_calls(events), doc.get('stdout', ''), sim_state(dump, doc, events),
                doc.get('exit_code') if doc.get('status') == 'ok' else None, doc.get('status'),
                [box_tag(e) for e in events if e.get('call') == 'MessageBoxA'],
                dump['windows_dir'])
    for machine, _ in masks:
        mask_paths(view, machine)
    return view


UPDATE_CALL = 'UpdateDriverForPlugAndPlayDevicesA'


def sim_update_failed(doc):
    """The simulator's driver update failed: Wine's never does."""
    return any(e.get('call') == UPDATE_CALL and not e.get('result') for e in _sim_events(doc))


def inf_refused(doc):
    """The simulator's driver update event (type "install") that failed
    because Windows would refuse the package's INF (inf_verdict "fails",
    with inf_why), or None. A planned fault on the call sets no verdict."""
    return next((e for e in _sim_events(doc) if e.get('call') == UPDATE_CALL and
                 e.get('inf_verdict') == 'fails' and not e.get('result')), None)


LEFT_OUT = '<left out: Wine\'s update always succeeds>'


def leave_out_update(view):
    """Leaves the driver update's result out of a view, and the text of
    each box after it: Wine's update succeeds where Windows refuses the
    INF, and the box then reports the other result. Everything else stays
    compared."""
    calls, after = [], False
    for name, args, result in view.calls:
        if name == UPDATE_CALL:
            result, after = LEFT_OUT, True
        elif name == 'MessageBoxA' and after:
            args = tuple((n, LEFT_OUT if n == 'text' else v) for n, v in args)
        calls.append((name, args, result))
    view.calls = calls
    return view


def views(dump, doc, report, relay, plan):
    """The two sides of the comparison of a planned machine (realize.Plan):
    the Windows directory's name left out where Wine's is another, the
    update's result where Wine's cannot be Windows'."""
    masks = plan.path_masks()
    sim, wine = sim_view(dump, doc, relay, masks), wine_view(report, masks)
    if plan.update_left_out:
        leave_out_update(sim)
        leave_out_update(wine)
    return sim, wine


def wine_view(report, masks=()):
    state = dict(report['state'])
    if state.get('other_device_path'):
        kind, text = state['other_device_path']
        state['other_device_path'] = [kind, text.lower() if kind in (1, 2) else text]
    state['enum_pci'] = sorted(k.lower() for k in state.get('enum_pci', []))
    view = View(compared_calls(report['events']), report['stdout'], state,
                report['exit_code'], report['status'])
    for _, wine in masks:
        mask_paths(view, wine)
    return view


# -- the simulator's changes, as the Wine run shows them ----------------------------

def confirmed_changes(sim, wine, doc):
    """[(change line, made)] for each of the simulator's changes: made when
    the Wine run has a call alike in arguments and result and, where the
    change lies in the compared state, that part alike: the file or folder
    in the INF directory, OtherDevicePath, the keys a deletion removed from
    Enum\\PCI."""
    lines, events = doc.get('change_lines', []), doc.get('changes', [])
    if len(lines) != len(events):
        raise ValueError('the simulator gives %d change lines for %d changes' % (
            len(lines), len(events)))
    windows = sim.windows_dir
    left = list(wine.calls)
    out = []
    for line, e in zip(lines, events):
        key = _masked_call(compared(e), sim.masked) if e.get('call') in COMPARED_CALLS else None
        made = key is not None and key in left
        if made:
            left.remove(key)
        a = e.get('args', {})
        path = (a.get('to') if e['call'] == 'CopyFileA' else a.get('path')) or ''
        if made and e['call'] in ('CopyFileA', 'CreateDirectoryA') and \
                path.lower().startswith(windows + '\\inf'):
            key = path.lower()[len(windows) + 1:]
            made = sim.state['inf'].get(key) == wine.state['inf'].get(key)
        elif made and e['call'] == 'RegSetValueExA' and (a.get('name') or '').lower() == \
                'otherdevicepath':
            made = sim.state['other_device_path'] == wine.state['other_device_path']
        elif made and e['call'] == 'RegDeleteKeyA':
            pci = 'hklm\\enum\\pci\\'
            gone = [k.lower()[len(pci):] for k in e.get('removed', [])
                    if k.lower().startswith(pci)]
            made = not set(gone) & set(wine.state['enum_pci'])
        out.append((line, made))
    return out


# -- differences ------------------------------------------------------------------

def differences(sim, wine):
    """Readable lines, one per difference; empty when the two agree."""
    out = []
    if sim.status != wine.status:
        out.append('status: simulator %s, Wine %s' % (sim.status, wine.status))
    if sim.calls != wine.calls:
        out.append('calls from setup.exe differ:')
        boxes = 0
        for i in range(max(len(sim.calls), len(wine.calls))):
            s = sim.calls[i] if i < len(sim.calls) else None
            w = wine.calls[i] if i < len(wine.calls) else None
            tag = None
            if s is not None and s[0] == 'MessageBoxA':
                tag = sim.tags[boxes] if boxes < len(sim.tags) else None
                boxes += 1
            out.append('  %s %d simulator %s%s' % ('  ' if s == w else '! ', i + 1, _show(s),
                                                  ' (%s)' % tag if tag else ''))
            if s != w:
                out.append('       Wine      %s' % _show(w))
    if sim.trace != wine.trace:
        out.append('trace differs:')
        out.extend(_diff_lines(sim.trace, wine.trace))
    for part in ('inf', 'other_device_path', 'enum_pci', 'planted_loaded'):
        a, b = sim.state.get(part), wine.state.get(part)
        if a != b:
            if isinstance(a, dict):
                a = {k: v for k, v in a.items() if b.get(k) != v}
                b = {k: v for k, v in b.items() if sim.state[part].get(k) != v}
            elif isinstance(a, list) and part == 'enum_pci':
                a, b = sorted(set(a) - set(b)), sorted(set(b) - set(a))
            out.append('state %s: simulator %r, Wine %r' % (part, a, b))
    if sim.exit_code != wine.exit_code:
        out.append('exit code: simulator %r, Wine %r' % (sim.exit_code, wine.exit_code))
    return out


def _show(call):
    if call is None:
        return '(none)'
    name, args, result = call
    return '%s(%s) -> %r' % (name, ', '.join('%s=%r' % a for a in args), result)


def _diff_lines(a, b):
    la, lb = a.split('\n'), b.split('\n')
    out = []
    for i in range(max(len(la), len(lb))):
        x = la[i] if i < len(la) else '(none)'
        y = lb[i] if i < len(lb) else '(none)'
        if x != y:
            out.append('  line %d simulator %r' % (i + 1, x))
            out.append('         Wine      %r' % y)
    return out


# -- known Wine differences -------------------------------------------------------

def _own_devices(sim, wine, context):
    """Wine's own present devices (display, HID, bus devices) are searched
    too: their identifiers' compare lines are taken out of Wine's trace."""
    own = set(context.get('wine_device_ids', [])) - set(context.get('machine_device_ids', []))
    lines = wine.trace.split('\r\n')
    kept = [l for l in lines
            if not (l.startswith('Compare device ID: [') and l[20:-1] in own)]
    wine.trace = '\r\n'.join(kept)
    return len(kept) != len(lines)


def _error_259_text(sim, wine, context):
    """Wine's text for error 259 lacks Windows' "is"."""
    changed = wine.trace.replace('No more data available.', 'No more data is available.')
    seen = changed != wine.trace
    wine.trace = changed
    return seen


def _sorted_keys(sim, wine, context):
    """Wine enumerates registry subkeys in sorted order, Windows in the
    order they were made: the deletions of one listing come in another
    order. Runs of RegDeleteKeyA calls are compared as sets."""
    seen = False
    for view in (sim, wine):
        out, run = [], []
        for call in view.calls + [None]:
            if call is not None and call[0] == 'RegDeleteKeyA':
                run.append(call)
                continue
            ordered = sorted(run, key=lambda c: (c[1], str(c[2])))
            seen = seen or (ordered != run and view is sim)
            out.extend(ordered)
            run = []
            if call is not None:
                out.append(call)
        view.calls = out
    return seen


def _delete_two_subkeys(sim, wine, context):
    """Wine's RegDeleteKeyA in its 9x modes deletes the first subkey of a
    key, then fails (error 5) when the key has a second one; the program
    then deletes what is left itself. The failed call and the deletions
    that follow it, up to the key's own successful deletion, are one
    deletion on Windows."""
    calls, out, seen, i = wine.calls, [], False, 0
    while i < len(calls):
        call = calls[i]
        if call[0] == 'RegDeleteKeyA' and call[2] not in (0, None):
            j = i + 1
            while j < len(calls) and calls[j][0] == 'RegDeleteKeyA' and calls[j][1] != call[1]:
                j += 1
            if j < len(calls) and calls[j][0] == 'RegDeleteKeyA' and calls[j][2] == 0:
                out.append(calls[j])
                seen = True
                i = j + 1
                continue
        out.append(call)
        i += 1
    wine.calls = out
    return seen


FAILURE = ' FAILURE: '
ENGLISH = 0x09  # the primary language of a locale identifier (its low 10 bits)


def _system_texts_in_the_machine_language(sim, wine, context):
    """On a machine whose locale is not English, Wine gives FormatMessageA's
    system texts in its language (LC_MESSAGES is the machine's), as a
    Windows of that language does; the simulator's table holds the English
    texts. A failure line of the trace alike but for the system text is
    taken as the simulator's."""
    if context.get('locale', 0x0409) & 0x3FF == ENGLISH:
        return False
    theirs, ours = sim.trace.split('\n'), wine.trace.split('\n')
    seen = False
    for i, line in enumerate(ours[:len(theirs)]):
        said = theirs[i]
        if line != said and FAILURE in line and FAILURE in said and \
                line.split(FAILURE)[0] == said.split(FAILURE)[0]:
            ours[i], seen = said, True
    wine.trace = '\n'.join(ours)
    return seen


# In the order they are applied.
NORMALIZERS = {
    'wine-own-devices': _own_devices,
    'error-259-text': _error_259_text,
    'system-texts-in-the-machine-language': _system_texts_in_the_machine_language,
    'delete-two-subkeys': _delete_two_subkeys,
    'sorted-key-enumeration': _sorted_keys,
}


def load_known(path):
    """The known differences: [{id, cause, scenario}], each id with a
    normalizer here."""
    with open(path, 'rb') as f:
        data = tomllib.load(f)
    known = data.get('difference', [])
    for entry in known:
        for field in ('id', 'cause', 'scenario'):
            if not entry.get(field):
                raise ValueError('%s: an entry lacks %s: %r' % (path, field, entry))
        if entry['id'] not in NORMALIZERS:
            raise ValueError('%s: no normalizer for %s (known: %s)' % (
                path, entry['id'], ', '.join(sorted(NORMALIZERS))))
    return known


def compare(sim, wine, known, context, machine_file=None):
    """(differences left, ids of the known differences that were needed).
    A known difference listed with this machine file as its scenario that
    the run does not show is a difference too: the list must stay true."""
    strict = differences(sim, wine)
    seen = []
    if strict:
        listed = {entry['id'] for entry in known}
        for name, normalize in NORMALIZERS.items():
            if name in listed and normalize(sim, wine, context):
                seen.append(name)
        left = differences(sim, wine)
    else:
        left = []
    if machine_file is not None:
        for entry in known:
            if _same_file(entry['scenario'], machine_file) and entry['id'] not in seen:
                left.append('known difference %s names this machine, but the run does not show '
                            'it' % entry['id'])
    return left, seen


def _same_file(a, b):
    return os.path.normpath(a).endswith(os.path.normpath(b)) or os.path.normpath(b).endswith(
        os.path.normpath(a))
