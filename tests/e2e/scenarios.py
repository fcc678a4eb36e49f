"""The harness's own runs: the probe program, which proves that boxes,
calls, files and registry are seen, and the host contract checks under
Wine. setup.exe itself runs on machine files (harness/suite.py)."""

from harness.checks import MB_OK, MB_YESNO, Expected, NonZero, box


class Scenario:
    """Defaults: XP, the package folder current and holding the program,
    every question answered Yes."""

    windows = 'winxp'
    answers = ['yes']
    planted = False
    program = 'probe'
    timeout = 120

    def __init__(self, name, **settings):
        self.name = name
        for key, value in settings.items():
            if not hasattr(self, key):
                raise AttributeError('%s: unknown setting %s' % (name, key))
            setattr(self, key, value)
        self.begin()

    def begin(self):
        """Forgets the answers an earlier attempt gave."""
        self._asked = 0

    def prepare_registry(self, setup):
        pass

    def prepare_files(self, setup, layout):
        pass

    def decide(self, index, text, box_type):
        if box_type == MB_OK:
            return 'Return'
        questions = self._asked
        self._asked = questions + 1
        answer = self.answers[questions] if questions < len(self.answers) else 'no'
        return 'alt+y' if answer == 'yes' else 'alt+n'

    def expect(self, outcome):
        raise NotImplementedError


# -- the harness's own probe --------------------------------------------------

class Probe(Scenario):
    """The harness proving itself with the probe program: boxes answered,
    calls from the program's image, files and registry in the prefix."""

    program = 'probe'

    def prepare_files(self, setup, layout):
        with open(layout.package_unix + '/probe.txt', 'w') as f:
            f.write('probe file\r\n')

    def prepare_registry(self, setup):
        setup.system.ensure_key('Software\\VntrProbe\\Gone')

    def expect(self, o):
        o.check_box_texts(['Probe question?', 'Probe done.'])
        o.check_calls([
            box('Probe question?', MB_YESNO),
            Expected('CreateDirectoryA', 'C:\\probe-dir', None),
            Expected('CopyFileA', 'probe.txt', 'C:\\probe-dir\\probe.txt', 0, retval=1),
            Expected('RegSetValueExA', NonZero(), 'Answer', 0, 1, NonZero(), 4),
            Expected('RegDeleteKeyA', NonZero(), 'Gone', retval=0),
            Expected('LoadLibraryA', 'setupapi.dll'),
            box('Probe done.', MB_OK),
        ])
        o.check(o.trace_lines() == ['probe: start', 'probe: yes'],
                'probe output %r' % o.stdout)
        o.check_copied([], 'C:\\probe-dir')
        o.check(o.host_path('C:\\probe-dir\\probe.txt') is not None, 'probe.txt not copied')
        o.check(o.value_text('Software\\VntrProbe', 'Answer') == 'yes',
                'HKLM\\Software\\VntrProbe Answer not saved')
        o.check(not o.system.has_key('Software\\VntrProbe\\Gone'), 'Gone key not deleted')


class Contract(Scenario):
    """The host contract checks of tests/contract, which the simulator passes
    too, against Wine's Windows: a console program without boxes. Where Wine
    is known to differ from Windows the program prints a note, not a
    failure."""

    program = 'contract'
    answers = []

    def expect(self, o):
        lines = o.trace_lines()
        failed = [l for l in lines if l.startswith('not ok')]
        o.check(not failed, 'contract checks failed:\n    ' + '\n    '.join(failed))
        o.check(len([l for l in lines if l.startswith('ok - ')]) >= 30,
                'fewer contract checks ran than expected: %r' % lines[-3:])
        o.check(lines[-1:] == ['0 failed'], 'contract summary missing: %r' % lines[-3:])
        o.notes.extend(l for l in lines if l.startswith('note - '))


def planted_loads(o, dll):
    """Whether the planted copy of dll left its marker, and the paths the
    program's process loaded dll from."""
    marker = o.host_path('C:\\vntr-planted-%s.dll.txt' % dll) is not None
    paths = [l[1] for l in o.run.log.loads
             if l[0] == o.pid and l[1].lower().endswith('\\%s.dll' % dll)]
    return marker, paths


class ProbePlanted(Probe):
    """The probe loads setupapi.dll by bare name from a folder that holds a
    planted copy: proves that Wine takes it, and that the check sees it."""

    planted = True

    def expect(self, o):
        marker, paths = planted_loads(o, 'setupapi')
        o.check(marker, 'the planted setupapi.dll left no marker')
        o.check(paths == [o.layout.package_windows + '\\setupapi.dll'],
                'setupapi.dll loaded from %s' % paths)


PROBES = [Probe('probe'), ProbePlanted('probe-planted-library'),
          Contract('contract-xp'), Contract('contract-98se', windows='win98')]


def by_name(name):
    for s in PROBES:
        if s.name == name:
            return s
    raise KeyError('no machine or probe named %s' % name)
