#!/usr/bin/env python3
"""scripts/test-all and .ci/run never skip a stage silently.

Each case copies the script into a scratch git checkout whose tools (cmake,
ctest, clang-format, Xvfb, xdpyinfo and the stage scripts) are stand-ins that
log their calls, and checks what the script runs and how it fails.

    scripts_test.py --source DIR [unittest options]
"""
import argparse
import os
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time
import unittest

SOURCE = None


def write(path, text, executable=True):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)
    if executable:
        os.chmod(path, os.stat(path).st_mode | stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH)


# A stand-in that logs its name, arguments and DISPLAY, and fails when
# STUB_FAIL_<NAME> matches its arguments.
LOGGING_STUB = """#!/bin/sh
name=$(basename "$0")
echo "$name $* [DISPLAY=${DISPLAY:-}]" >>"$STUB_LOG"
var=STUB_FAIL_$(echo "$name" | tr -c 'a-zA-Z0-9\\n' _)
eval "pattern=\\${$var:-}"
if [ -n "$pattern" ]; then
    case "$*" in *$pattern*) echo "$name: failing as told" >&2; exit 1 ;; esac
fi
exit 0
"""

# clang-format --dry-run -Werror: complains about files holding UNFORMATTED.
CLANG_FORMAT_STUB = """#!/bin/sh
echo "clang-format $*" >>"$STUB_LOG"
status=0
for f in "$@"; do
    case "$f" in -*) continue ;; esac
    if grep -q UNFORMATTED "$f"; then
        echo "$f:1:1: error: code should be clang-formatted [-Wclang-format-violations]" >&2
        status=1
    fi
done
exit $status
"""

# Xvfb: STUB_XVFB=run keeps running (its pid in $STUB_DIR/xvfb.pid), exit ends at once.
# It logs its call before it writes the pid file, which tells xdpyinfo it is up.
XVFB_STUB = """#!/bin/sh
echo "Xvfb $*" >>"$STUB_LOG"
echo $$ >"$STUB_DIR/xvfb.pid.new" && mv "$STUB_DIR/xvfb.pid.new" "$STUB_DIR/xvfb.pid"
if [ "$STUB_XVFB" = exit ]; then
    echo "(EE) Fatal server error: no screens found" >&2
    exit 1
fi
exec sleep 60
"""

# xdpyinfo: like a real one, answers (STUB_XDPYINFO=ok) only once the server
# has started, so .ci/run's wait, not the scheduler, orders Xvfb before test-all.
XDPYINFO_STUB = """#!/bin/sh
[ "$STUB_XDPYINFO" = ok ] && [ -e "$STUB_DIR/xvfb.pid" ]
"""


class Checkout:
    """A scratch git checkout with the named scripts copied from the source tree."""

    def __init__(self, scripts):
        self.root = tempfile.mkdtemp(prefix="vntr-scripts-")
        self.stubs = os.path.join(self.root, ".stubs")
        self.log = os.path.join(self.root, ".stub.log")
        for script in scripts:
            target = os.path.join(self.root, script)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            shutil.copy2(os.path.join(SOURCE, script), target)
        for name in ("cmake", "ctest"):
            write(os.path.join(self.stubs, name), LOGGING_STUB)
        clang_version = subprocess.run(
            [os.path.join(SOURCE, "scripts/bootstrap"), "--clang-version"],
            capture_output=True, text=True, check=True).stdout.strip()
        write(os.path.join(self.stubs, "clang-format-" + clang_version), CLANG_FORMAT_STUB)
        write(os.path.join(self.stubs, "Xvfb"), XVFB_STUB)
        write(os.path.join(self.stubs, "xdpyinfo"), XDPYINFO_STUB)
        write(os.path.join(self.root, "app/main.cpp"), "int main() { return 0; }\n", False)
        write(os.path.join(self.root, ".gitignore"), ".stubs/\n.stub.log\n", False)
        subprocess.run(["git", "init", "-q", self.root], check=True)
        self.git_add()

    def git_add(self):
        subprocess.run(["git", "-C", self.root, "add", "-A"], check=True)

    def stub_script(self, path):
        write(os.path.join(self.root, path), LOGGING_STUB)

    def run(self, script, args=(), env=None, display=":5"):
        environment = dict(os.environ)
        environment.pop("DISPLAY", None)
        if display:
            environment["DISPLAY"] = display
        environment.update({
            "PATH": self.stubs + os.pathsep + environment["PATH"],
            "STUB_LOG": self.log,
            "STUB_DIR": self.root,
        })
        environment.update(env or {})
        result = subprocess.run([os.path.join(self.root, script), *args], capture_output=True,
                                text=True, env=environment, stdin=subprocess.DEVNULL, timeout=60)
        return result

    def calls(self):
        if not os.path.exists(self.log):
            return []
        with open(self.log) as f:
            return f.read().splitlines()

    def cleanup(self):
        pid_file = os.path.join(self.root, "xvfb.pid")
        if os.path.exists(pid_file):
            with open(pid_file) as f:
                pid = int(f.read())
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        shutil.rmtree(self.root, ignore_errors=True)


def still_running(pid, grace=5.0):
    """Whether the process is still there after `grace` seconds (a zombie counts as ended)."""
    deadline = time.monotonic() + grace
    while True:
        try:
            with open(f"/proc/{pid}/stat") as f:
                running = f.read().split()[2] != "Z"
        except FileNotFoundError:
            running = False
        if not running or time.monotonic() > deadline:
            return running
        time.sleep(0.1)


class TestAll(unittest.TestCase):
    def setUp(self):
        self.co = Checkout(["scripts/test-all", "scripts/bootstrap"])
        self.co.stub_script("scripts/fuzz-all")
        self.co.stub_script("scripts/valgrind-examples")
        self.co.git_add()

    def tearDown(self):
        self.co.cleanup()

    def test_every_stage_runs_in_order(self):
        result = self.co.run("scripts/test-all")
        self.assertEqual(result.returncode, 0, result.stderr)
        calls = self.co.calls()
        stages = [c.split(" [")[0].strip() for c in calls]
        expected = [
            "clang-format --dry-run -Werror app/main.cpp",
            "cmake --preset native",
            "cmake --build build/native -j 2",
            "ctest --no-tests=error --test-dir build/native --output-on-failure -j 2 -LE e2e",
            "cmake --preset asan",
            "cmake --build build/asan -j 2 --target unit_programs",
            "ctest --no-tests=error --test-dir build/asan --output-on-failure -j 2 -L unit",
            "valgrind-examples build/native/vntrsetup-sim",
        ]
        # The end-to-end suite and fuzzing run in the background beside the
        # stages after the native tests, so their calls may come anywhere
        # after them.
        background = [
            "ctest --no-tests=error --test-dir build/native --output-on-failure -j 2 -L e2e",
            "fuzz-all",
        ]
        for call in background:
            self.assertIn(call, stages)
            self.assertGreater(stages.index(call), expected.index(expected[3]))
        self.assertEqual([s for s in stages if s not in background], expected)
        self.assertIn("all tests passed", result.stdout)

    def test_a_missing_or_unusable_stage_fails_before_any_stage_runs(self):
        cases = [
            ("fuzz-all missing", "scripts/fuzz-all", "remove", {}, "scripts/fuzz-all is missing"),
            ("valgrind-examples not executable", "scripts/valgrind-examples", "chmod", {},
             "scripts/valgrind-examples is not executable"),
            ("no display", None, None, {"display": None}, "no DISPLAY"),
        ]
        for name, path, change, options, message in cases:
            with self.subTest(name):
                self.tearDown()
                self.setUp()
                if change == "remove":
                    os.remove(os.path.join(self.co.root, path))
                elif change == "chmod":
                    os.chmod(os.path.join(self.co.root, path), 0o644)
                result = self.co.run("scripts/test-all", **options)
                self.assertEqual(result.returncode, 1)
                self.assertIn(message, result.stderr)
                self.assertEqual(self.co.calls(), [])

    def test_an_unformatted_source_fails_the_format_stage(self):
        write(os.path.join(self.co.root, "nt/bad.h"), "// UNFORMATTED\n", False)
        self.co.git_add()
        result = self.co.run("scripts/test-all")
        self.assertEqual(result.returncode, 1)
        self.assertIn("nt/bad.h:1:1: error", result.stderr)
        self.assertIn("not formatted", result.stderr)
        self.assertFalse(any(c.startswith("cmake") for c in self.co.calls()))

    def test_untracked_sources_are_not_checked(self):
        write(os.path.join(self.co.root, "scratch.cpp"), "// UNFORMATTED\n", False)
        result = self.co.run("scripts/test-all")
        self.assertEqual(result.returncode, 0, result.stderr)

    def test_a_failing_stage_stops_the_run(self):
        # A stage in the foreground stops the run there; one in the
        # background fails it at the end, after every other stage ran.
        cases = [
            ("unit tests", {"STUB_FAIL_ctest": "-LE e2e"}, "cmake --preset asan", None),
            ("sanitizer build", {"STUB_FAIL_cmake": "build/asan"}, "valgrind-examples", None),
            ("fuzzing", {}, None, "fuzzing (bounded, fixed seeds) failed"),
            ("end-to-end", {"STUB_FAIL_ctest": "-L e2e"}, None, "end-to-end under Wine failed"),
        ]
        for name, env, never, message in cases:
            with self.subTest(name):
                self.tearDown()
                self.setUp()
                if name == "fuzzing":
                    # The stand-in fails for any arguments: fuzz-all gets none.
                    write(os.path.join(self.co.root, "scripts/fuzz-all"), "#!/bin/sh\nexit 1\n")
                result = self.co.run("scripts/test-all", env=env)
                self.assertNotEqual(result.returncode, 0)
                self.assertNotIn("all tests passed", result.stdout)
                calls = [c.split(" [")[0].strip() for c in self.co.calls()]
                if message:
                    self.assertIn(message, result.stderr)
                    self.assertIn("valgrind-examples build/native/vntrsetup-sim", calls)
                else:
                    self.assertFalse(any(c.startswith(never) for c in calls), calls)


class CiRun(unittest.TestCase):
    def setUp(self):
        self.co = Checkout([".ci/run"])
        self.co.stub_script("scripts/bootstrap")
        self.co.stub_script("scripts/test-all")
        self.co.git_add()

    def tearDown(self):
        self.co.cleanup()

    def xvfb_pid(self):
        with open(os.path.join(self.co.root, "xvfb.pid")) as f:
            return int(f.read())

    def test_starts_a_display_runs_the_tests_and_stops_it(self):
        result = self.co.run(".ci/run", env={"STUB_XVFB": "run", "STUB_XDPYINFO": "ok"},
                             display=None)
        self.assertEqual(result.returncode, 0, result.stderr)
        calls = self.co.calls()
        self.assertEqual([c.split(" ")[0] for c in calls], ["bootstrap", "Xvfb", "test-all"])
        self.assertIn("--all", calls[0])
        self.assertIn("[DISPLAY=:77]", calls[2])
        self.assertFalse(still_running(self.xvfb_pid()), "Xvfb left running")

    def test_an_existing_display_is_used(self):
        result = self.co.run(".ci/run", display=":9")
        self.assertEqual(result.returncode, 0, result.stderr)
        calls = self.co.calls()
        self.assertEqual([c.split(" ")[0] for c in calls], ["bootstrap", "test-all"])
        self.assertIn("[DISPLAY=:9]", calls[1])

    def test_a_display_that_never_comes_up_fails_the_run(self):
        cases = [
            ("Xvfb ends", {"STUB_XVFB": "exit", "STUB_XDPYINFO": "fail"},
             ["ended before it answered", "Fatal server error: no screens found"]),
            ("Xvfb never answers", {"STUB_XVFB": "run", "STUB_XDPYINFO": "fail", "XVFB_WAIT": "2"},
             ["did not answer on :77 within 2 s"]),
        ]
        for name, env, messages in cases:
            with self.subTest(name):
                self.tearDown()
                self.setUp()
                started = time.monotonic()
                result = self.co.run(".ci/run", env=env, display=None)
                self.assertEqual(result.returncode, 1)
                for message in messages:
                    self.assertIn(message, result.stderr)
                self.assertNotIn("test-all", " ".join(self.co.calls()))
                self.assertFalse(still_running(self.xvfb_pid()), "Xvfb left running")
                self.assertLess(time.monotonic() - started, 30)


# A stand-in simulator: the machine file's one word says what its run does.
# Like the real one it runs the program in a forked child that ends with
# _exit, and reports a child that ended badly with exit status 3.
FAKE_SIMULATOR = r"""
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>
static void *volatile kept;
int main(int argc, char **argv) {
    char what[32];
    FILE *f = argc == 3 ? fopen(argv[2], "r") : NULL;
    if (!f || fscanf(f, "%31s", what) != 1) return 2;
    fclose(f);
    if (!strcmp(what, "uninitialised")) {
        int *p = malloc(sizeof *p);
        if (*p == 42) puts("42");
        free(p);
    }
    pid_t pid = fork();
    if (pid == 0) {
        if (!strcmp(what, "leak-in-run")) kept = malloc(64), kept = NULL;
        _exit(0);
    }
    int status;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return 3;
    return strcmp(what, "unanswered") ? 0 : 4;
}
"""


@unittest.skipUnless(shutil.which("valgrind") and shutil.which("cc"), "needs valgrind and cc")
class ValgrindExamples(unittest.TestCase):
    def test_memory_errors_and_leaks_fail_the_stage_and_outcomes_do_not(self):
        cases = [
            # (what the second machine's run does, stage passes, text in its output)
            ("clean", True, "2 machines, no memory errors or leaks"),
            ("unanswered", True, "2 machines, no memory errors or leaks"),
            ("leak-in-run", False, "b FAILED (the run crashed or valgrind found errors in it)"),
            ("uninitialised", False, "b FAILED (valgrind found errors in the simulator)"),
        ]
        build = tempfile.mkdtemp(prefix="vntr-fake-sim-")
        self.addCleanup(shutil.rmtree, build)
        sim = os.path.join(build, "sim")
        write(sim + ".c", FAKE_SIMULATOR, False)
        subprocess.run(["cc", "-O0", "-g", "-o", sim, sim + ".c"], check=True)
        for what, passes, text in cases:
            with self.subTest(what):
                co = Checkout(["scripts/valgrind-examples"])
                self.addCleanup(co.cleanup)
                write(os.path.join(co.root, "examples/machines/a.toml"), "clean\n", False)
                write(os.path.join(co.root, "tests/machines/b.toml"), what + "\n", False)
                result = co.run("scripts/valgrind-examples", [sim])
                self.assertEqual(result.returncode, 0 if passes else 1, result.stderr)
                self.assertIn(text, result.stdout + result.stderr)
                if what == "leak-in-run":
                    self.assertIn("64 bytes in 1 blocks are definitely lost", result.stdout)
                if what == "uninitialised":
                    self.assertIn("uninitialised value", result.stdout)


if __name__ == "__main__":
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--source", required=True)
    args, rest = parser.parse_known_args()
    SOURCE = os.path.abspath(args.source)
    unittest.main(argv=[sys.argv[0]] + rest)
