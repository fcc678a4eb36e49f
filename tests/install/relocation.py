#!/usr/bin/env python3
"""The installed simulator, moved away from where it was installed.

1. The example package lookup, through a probe built with a source folder
   this test controls: beside the executable first, then the source tree;
   the error names both places when neither holds the package.
2. `cmake --install` into a prefix, which is then renamed: the layout is
   bin/vntrsetup-sim and share/vntrsetup/{package,machines}; every installed
   machine gives the same report as the built simulator on the source tree's
   machine; a message file added to the installed package shows in the boxes,
   so the installed package is the one used.

Exit status 0 when all checks pass, 1 otherwise (each failure is printed).
"""
import argparse
import os
import shutil
import subprocess
import sys

failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL: " + what)
    return ok


def run(argv, **kwargs):
    return subprocess.run(argv, capture_output=True, text=True, stdin=subprocess.DEVNULL,
                          timeout=120, **kwargs)


def files_under(root):
    found = set()
    for folder, _, names in os.walk(root):
        for name in names:
            found.add(os.path.relpath(os.path.join(folder, name), root))
    return found


def lookup_order(args):
    """The probe in <prefix>/bin with the package in either, both or neither place."""
    prefix = os.path.join(args.work, "prefix")
    installed = os.path.join(prefix, "share", "vntrsetup", "package")
    source = os.path.join(args.work, "source", "examples", "package")
    probe = os.path.join(prefix, "bin", "package_dir_probe")

    def plant(path, kind):
        if os.path.isdir(path):
            shutil.rmtree(path)
        elif os.path.exists(path):
            os.remove(path)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if kind == "folder":
            os.mkdir(path)
        elif kind == "file":
            with open(path, "w") as f:
                f.write("not a folder\n")

    os.makedirs(os.path.dirname(probe), exist_ok=True)
    shutil.copy2(args.probe, probe)
    # (case, beside the executable, in the source tree, expected folder or None for the error)
    cases = [
        ("both places", "folder", "folder", installed),
        ("installed only", "folder", None, installed),
        ("source tree only", None, "folder", source),
        ("a file where the installed folder belongs", "file", "folder", source),
        ("neither place", None, None, None),
    ]
    for name, beside, in_source, expected in cases:
        plant(installed, beside)
        plant(source, in_source)
        result = run([probe])
        if expected is None:
            check(result.returncode == 1, f"lookup, {name}: exit status {result.returncode}, not 1")
            for place in (installed, source):
                check(place in result.stderr,
                      f"lookup, {name}: the error does not name {place}: {result.stderr!r}")
        else:
            check(result.returncode == 0 and result.stdout.strip() == expected,
                  f"lookup, {name}: expected {expected}, got status {result.returncode}, "
                  f"{result.stdout.strip()!r} {result.stderr.strip()!r}")


def installed_tree(args):
    failed_before = len(failures)
    staged = os.path.join(args.work, "staged")
    moved = os.path.join(args.work, "moved")
    result = run([args.cmake, "--install", args.build, "--prefix", staged])
    if not check(result.returncode == 0, f"cmake --install failed:\n{result.stdout}{result.stderr}"):
        return
    # Relocate: the prefix compiled into nothing, so the tree must work anywhere.
    os.rename(staged, moved)
    sim = os.path.join(moved, "bin", "vntrsetup-sim")
    share = os.path.join(moved, "share", "vntrsetup")
    check(os.access(sim, os.X_OK), f"no executable {sim}")
    for part in ("package", "machines"):
        want = files_under(os.path.join(args.source, "examples", part))
        got = files_under(os.path.join(share, part))
        check(got == want, f"share/vntrsetup/{part}: missing {sorted(want - got)}, "
              f"extra {sorted(got - want)}")
    if len(failures) > failed_before:
        return

    # Every installed machine reports as the built simulator does on the
    # source tree's copy (file names aside).
    machines = sorted(n for n in os.listdir(os.path.join(share, "machines")) if n.endswith(".toml"))
    check(len(machines) > 0, "no machine files installed")
    for name in machines:
        ours = os.path.join(share, "machines", name)
        theirs = os.path.join(args.source, "examples", "machines", name)
        a = run([sim, "--machine", ours])
        b = run([args.sim, "--machine", theirs])
        same = (a.returncode == b.returncode and a.stdout.replace(ours, theirs) == b.stdout)
        check(same, f"machine {name}: installed gives status {a.returncode}, built gives "
              f"{b.returncode}; outputs {'differ' if a.stdout != b.stdout else 'agree'}\n"
              f"{a.stderr}")

    # The default machine (XP, locale 0x0409): texts from a message file that
    # only the installed package has.
    texts = ["Relocated 0", "Relocated 1", "Relocated success", "Relocated 3", "Relocated question"]
    multilang = os.path.join(share, "package", "MultiLang")
    with open(os.path.join(multilang, "0409.dat"), "w", newline="\r\n") as f:
        f.write("\n".join(texts) + "\n")
    result = run([sim, "--answer", "yes"], cwd=args.work)
    check(result.returncode == 0, f"default machine: exit status {result.returncode}\n{result.stderr}")
    for text in ("Relocated question", "Relocated success", "C:\\VNTR\\VNTRXP.INF"):
        check(f'"{text}' in result.stdout, f"default machine: {text!r} not in the report:\n"
              + result.stdout[:2000])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for option in ("cmake", "build", "source", "work", "sim", "probe"):
        parser.add_argument("--" + option, required=True)
    args = parser.parse_args()
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    lookup_order(args)
    installed_tree(args)
    if failures:
        print(f"{len(failures)} check(s) failed")
        return 1
    print("install: lookup order and relocated installation as expected")
    return 0


if __name__ == "__main__":
    sys.exit(main())
