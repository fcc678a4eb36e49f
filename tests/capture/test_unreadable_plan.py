"""Machine files with what a capture could not read (`error` on a file, key,
value or device) are simulator-only: Wine cannot make that read fail, so the
realizer runs the machine with the read as Wine makes it, names the setting
and its line, and leaves the run out of the comparison."""

import os
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(os.path.dirname(HERE)))

from wine import realize, simulator  # noqa: E402

SIM = os.environ.get('VNTR_SIM_BINARY', '')

CASES = [
    ("files = [{ path = 'C:\\VNTR\\VNTRXP.INF', error = 32 }]", 'files[0].error', 3),
    ("keys = [{ path = 'Enum\\PCI\\X', error = 5 }]", 'keys[0].error', 3),
    ("values = [{ key = 'K', name = 'N', error = 1018 }]", 'values[0].error', 3),
    ("\n[[devices]]\nids = ['A']\n\n[[devices]]\nerror = 87", 'devices[1].error', 8),
]


class UnreadableIsSimulatorOnly(unittest.TestCase):
    def test_each_error_blocks_the_machine(self):
        self.assertTrue(os.path.exists(SIM), 'VNTR_SIM_BINARY names no simulator: %r' % SIM)
        for text, field, line in CASES:
            with self.subTest(field=field), tempfile.NamedTemporaryFile(
                    'w', suffix='.toml', delete=False) as f:
                f.write('os = "xp"\ncurrent_dir = \'C:\\VNTR\'\n' + text + '\n')
            try:
                plan = realize.plan(simulator.dump(SIM, f.name))
            finally:
                os.remove(f.name)
            self.assertEqual(plan.blockers, [])
            self.assertFalse(plan.comparable)
            self.assertEqual([(d.field, d.line) for d in plan.differences], [(field, line)])
            self.assertIn('cannot be made in Wine', str(plan.differences[0]))


if __name__ == '__main__':
    unittest.main()
