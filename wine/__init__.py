"""The real setup.exe under Wine on any machine file: the machine made into
a Wine prefix (realize.py), the program run there and its boxes answered
(run.py, session.py), and the run compared with the simulator's prediction
(compare.py). tools/vntrsetup-wine and the end-to-end tests (tests/e2e) use
it; mode.py says how 32-bit Wine runs on this machine (natively or under
qemu-i386) and versions.py which versions it was checked with."""
