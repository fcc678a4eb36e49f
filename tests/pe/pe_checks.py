#!/usr/bin/env python3
"""Tests of the Windows build tooling: that tools/pe-audit refuses faulty
images, that the start-up of setup.exe behaves under Wine, and that the
committed icon is what scripts/mkicon.py draws.

    pe_checks.py fault CASE --audit A --exe GOOD.exe --work DIR
        Makes a faulty copy of a good image and expects the audit to fail
        with the message that names the fault.
    pe_checks.py rejects --audit A --exe BAD.exe --expect REGEX...
        Expects the audit to fail on an image built faulty, printing a line
        matching each REGEX. {IDS_CAPTION} and {IDI_PROGRAM} in a REGEX stand
        for the resource ids of res/ids.h.
    pe_checks.py limit --audit A --exe GOOD.exe --work DIR [--limit N]
        Pads copies of a good image to exactly the size limit, which the
        audit must accept, and to one byte more, which it must refuse.
    pe_checks.py data --audit A --exe GOOD.exe --work DIR
        Writes the bytes of a P6 instruction into a built-in message text,
        read-only data after the import tables, which the audit must accept:
        data is not disassembled as code.
    pe_checks.py corrupt --audit A --exe GOOD.exe --work DIR
        Damages copies at random (fixed seed) and expects the audit to
        report rather than crash.
    pe_checks.py start --exe probe-start.exe --work DIR --config E2E_CONFIG
        Runs the start-up probe under Wine with standard output redirected,
        started as the wine/ package starts Wine (natively or under qemu).
    pe_checks.py icon --mkicon M --ico res/setup.ico --work DIR
        Regenerates the icon into DIR and compares it byte for byte.

fault, rejects and limit pass each --audit-arg=ARG on to the audit (the
options vntrcapture.exe is audited with: --console, --no-resources,
--max-size 16384).

Exit code 0: passed; 1: failed; 77: skipped (no Wine).
"""

import argparse
import importlib.machinery
import importlib.util
import os
import re
import shutil
import struct
import subprocess
import sys

SKIPPED = 77

# The size limit of setup.exe, in bytes.
SIZE_LIMIT = 10240


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


# ------------------------------------------------------------ PE patching

def headers(data):
    """Offsets of the optional header and the section table."""
    (pe,) = struct.unpack_from("<I", data, 0x3C)
    (nsections,) = struct.unpack_from("<H", data, pe + 6)
    (opt_size,) = struct.unpack_from("<H", data, pe + 20)
    opt = pe + 24
    sections = []
    for i in range(nsections):
        name, vsize, rva, rawsize, rawptr = struct.unpack_from("<8sIIII", data, opt + opt_size + 40 * i)
        sections.append((name.rstrip(b"\0").decode(), vsize, rva, rawsize, rawptr))
    return opt, sections


def rva_to_offset(data, rva):
    _, sections = headers(data)
    for name, vsize, start, rawsize, rawptr in sections:
        if start <= rva < start + rawsize:
            return rawptr + rva - start
    fail("address 0x%x is in no section of the good image" % rva)


def plant_at_entry(code):
    """Overwrites the first instruction bytes at the entry point."""
    def patch(data):
        opt, _ = headers(data)
        (entry,) = struct.unpack_from("<I", data, opt + 16)
        at = rva_to_offset(data, entry)
        data[at:at + len(code)] = code
    return patch


def set_u16(field_offset, value):
    def patch(data):
        opt, _ = headers(data)
        struct.pack_into("<H", data, opt + field_offset, value)
    return patch


def set_directory(index, rva, size):
    def patch(data):
        opt, _ = headers(data)
        struct.pack_into("<II", data, opt + 96 + 8 * index, rva, size)
    return patch


def replace_once(old, new):
    def patch(data):
        at = data.find(old)
        if at < 0 or data.find(old, at + 1) >= 0:
            fail("expected exactly one %r in the good image" % old)
        data[at:at + len(new)] = new
    return patch


def icon_group_count(count):
    """Sets the image count of the icon group (an icon directory whose
    entries name RT_ICON ids 1 to 4)."""
    def patch(data):
        for at in range(0, len(data) - 6, 2):
            if data[at:at + 6] == struct.pack("<HHH", 0, 1, 4):
                # The first entry follows: 32x32, 16 colours.
                if data[at + 6:at + 9] == bytes([32, 32, 16]):
                    struct.pack_into("<H", data, at + 4, count)
                    return
        fail("no icon group directory with 4 images found in the good image")
    return patch


def pad_to(size):
    def patch(data):
        if len(data) > size:
            fail("the good image has %d bytes, more than %d" % (len(data), size))
        data.extend(b"\0" * (size - len(data)))
    return patch


def import_directory(data):
    opt, _ = headers(data)
    (rva,) = struct.unpack_from("<I", data, opt + 96 + 8)
    return rva


def plant_before_imports(code):
    """Overwrites the constructor list that host/win/setup.ld puts between
    the code and the import tables (a -1 marker and the closing null, no
    constructors in setup.exe): the last bytes the instruction check
    reads."""
    def patch(data):
        at = rva_to_offset(data, import_directory(data)) - 8
        if data[at:at + 8] != b"\xff\xff\xff\xff\0\0\0\0":
            fail("no empty constructor list right before the import tables: %s"
                 % data[at:at + 8].hex())
        data[at:at + 8] = code + b"\x90" * (8 - len(code))
    return patch


def section_field(name, field_offset, change):
    """Changes a 32-bit field of the named section's header (8: its virtual
    size, 12: its address)."""
    def patch(data):
        (pe,) = struct.unpack_from("<I", data, 0x3C)
        (opt_size,) = struct.unpack_from("<H", data, pe + 20)
        _, sections = headers(data)
        at = pe + 24 + opt_size + 40 * [s[0] for s in sections].index(name) + field_offset
        struct.pack_into("<I", data, at, change(struct.unpack_from("<I", data, at)[0]))
    return patch


def import_field(field_offset, value):
    """Sets a 32-bit field of the first import descriptor (0: its lookup
    table, 12: its name, 16: its address table)."""
    def patch(data):
        struct.pack_into("<I", data, rva_to_offset(data, import_directory(data)) + field_offset,
                         value)
    return patch


def first_lookup_entry(value):
    def patch(data):
        at = rva_to_offset(data, import_directory(data))
        (lookup,) = struct.unpack_from("<I", data, at)
        struct.pack_into("<I", data, rva_to_offset(data, lookup), value)
    return patch


def entry_at_imports(data):
    opt, _ = headers(data)
    struct.pack_into("<I", data, opt + 16, import_directory(data))


def truncate(data):
    del data[len(data) // 3:]


CAPTION_UTF16 = "Vantor CardBus".encode("utf-16-le")

# case: (patch, regular expressions the audit's output must match)
FAULTS = {
    "subsystem-version": (
        [set_u16(48, 5), set_u16(50, 1)],
        [r"subsystem version is 5\.1, not 4\.0"]),
    "os-version": (
        [set_u16(40, 5)],
        [r"OS version is 5\.0, not 4\.0"]),
    "console-subsystem": (
        [set_u16(68, 3)],
        [r"subsystem is console, not Windows GUI"]),
    "cmov": (
        [plant_at_entry(b"\x0f\x44\xc1")],  # cmove %ecx,%eax
        [r"forbidden instruction at 0x[0-9a-f]+ in \.text: cmove %ecx,%eax \(P6-only instruction\)"]),
    "fucomip": (
        [plant_at_entry(b"\xdf\xe9")],  # fucomip %st(1),%st
        [r"forbidden instruction .*: fucomip .* \(P6-only instruction\)"]),
    "mmx": (
        [plant_at_entry(b"\x0f\x6f\xc1")],  # movq %mm1,%mm0
        [r"forbidden instruction .*: movq %mm1,%mm0 \(uses an MMX/SSE register\)"]),
    "sse": (
        [plant_at_entry(b"\x0f\x28\xc1")],  # movaps %xmm1,%xmm0
        [r"forbidden instruction .*: movaps %xmm1,%xmm0 \(uses an MMX/SSE register\)"]),
    "long-nop": (
        [plant_at_entry(b"\x0f\x1f\x40\x00")],  # nopl 0x0(%eax)
        [r"forbidden instruction .*: nopl .* \(multi-byte NOP or hint \(0F 1F\), P6-only\)"]),
    "tls": (
        [set_directory(9, 0x1000, 24)],
        [r"has a TLS directory \(0x1000, 24 bytes\)"]),
    "cmov-at-code-end": (
        [plant_before_imports(b"\x0f\x44\xc1")],  # cmove %ecx,%eax
        [r"forbidden instruction at 0x[0-9a-f]+ in \.text: cmove %ecx,%eax"]),
    "entry-outside-code": (
        [entry_at_imports],
        [r"entry point 0x[0-9a-f]+ lies outside the code \(\.text 0x1000-0x[0-9a-f]+\)"]),
    "caption": (
        [replace_once(CAPTION_UTF16, "Wantor CardBus".encode("utf-16-le"))],
        [r"string {IDS_CAPTION} is 'Wantor CardBus Controller Setup Utility', not the "
         r"caption 'Vantor CardBus Controller Setup Utility'"]),
    "icon-images": (
        [icon_group_count(3)],
        [r"icon group {IDI_PROGRAM} has 3 images \(32x32 4bpp, 32x32 1bpp, 32x16 1bpp\); "
         r"wants exactly"]),
    "oversize": (
        [pad_to(SIZE_LIMIT + 1)],
        [r"is %d bytes; the limit is %d" % (SIZE_LIMIT + 1, SIZE_LIMIT)]),
    "truncated": (
        [truncate],
        [r"truncated|lies in no section|runs past the end"]),
    # Damage pefile reads past leniently, where the loader refuses the image
    # or reads other bytes.
    "misaligned-section": (
        [section_field(".rsrc", 12, lambda address: address + 0x34)],
        [r"section \.rsrc at 0x[0-9a-f]+34, file offset 0x[0-9a-f]+, is not aligned"]),
    "overlapping-sections": (
        [section_field(".text", 8, lambda size: size + 0x8000)],
        [r"section \.data at 0x[0-9a-f]+ overlaps the section before it"]),
    "import-name-unreadable": (
        [import_field(12, 0x00F00000)],
        [r"import directory: descriptor 0 is not readable"]),
    "import-lookup-unreadable": (
        [first_lookup_entry(0x80010000)],  # an ordinal above 65535
        [r"import table of \w+\.dll: entry 0 at 0x[0-9a-f]+ is not readable"]),
    "import-tables-missing": (
        [import_field(0, 0), import_field(16, 0)],
        [r"import directory at 0x[0-9a-f]+ is damaged: "]),  # pefile says how
}


def resource_ids(audit):
    """The ids of res/ids.h, read the way the audit reads them."""
    loader = importlib.machinery.SourceFileLoader("pe_audit", audit)
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader("pe_audit", loader))
    loader.exec_module(module)
    return module.read_ids(os.path.join(os.path.dirname(os.path.abspath(audit)), "..", "res",
                                        "ids.h"))


# Options given to every audit of the run (--audit-arg).
AUDIT_ARGS = []


def with_ids(audit, patterns):
    ids = resource_ids(audit)
    return [p.replace("{IDS_CAPTION}", str(ids["IDS_CAPTION"]))
             .replace("{IDI_PROGRAM}", str(ids["IDI_PROGRAM"])) for p in patterns]


def run_audit(audit, exe):
    run = subprocess.run([sys.executable, audit, exe] + AUDIT_ARGS, stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, universal_newlines=True)
    print(run.stdout, end="")
    return run.returncode, run.stdout


def expect_rejected(audit, exe, patterns):
    patterns = with_ids(audit, patterns)
    code, output = run_audit(audit, exe)
    if code != 1:
        fail("the audit exited with %d on %s, expected 1 (problems found)" % (code, exe))
    if "Traceback" in output:
        fail("the audit crashed instead of reporting")
    lines = output.splitlines()
    for pattern in patterns:
        if not any(re.search(pattern, line) for line in lines):
            fail("no line of the audit's output matches %r" % pattern)
    print("PASS: the audit refused %s as expected" % os.path.basename(exe))


def patched_copy(args, name, patches):
    """A copy of the good image with `patches` applied. The good image must
    pass, or a failure of the copy proves nothing."""
    code, _ = run_audit(args.audit, args.exe)
    if code != 0:
        fail("the audit does not pass the good image %s" % args.exe)
    with open(args.exe, "rb") as f:
        data = bytearray(f.read())
    for patch in patches:
        patch(data)
    os.makedirs(args.work, exist_ok=True)
    path = os.path.join(args.work, name)
    with open(path, "wb") as f:
        f.write(data)
    return path


def cmd_fault(args):
    patches, patterns = FAULTS[args.case]
    faulty = patched_copy(args, "fault-%s.exe" % args.case, patches)
    expect_rejected(args.audit, faulty, patterns)


def cmd_data(args):
    text = b"System Error or copy inf file failed!"
    copy = patched_copy(args, "data.exe", [replace_once(text, b"\x0f\x44\xc1" + text[3:])])
    code, output = run_audit(args.audit, copy)
    if code != 0:
        fail("the audit read the message text as code")
    print("PASS: P6 instruction bytes in read-only data are not taken for code")


def cmd_limit(args):
    limit = args.limit
    exact = patched_copy(args, "limit-exact.exe", [pad_to(limit)])
    code, output = run_audit(args.audit, exact)
    if code != 0 or "%d bytes (limit %d)" % (limit, limit) not in output:
        fail("the audit does not accept an image of exactly %d bytes" % limit)
    over = patched_copy(args, "limit-over.exe", [pad_to(limit + 1)])
    expect_rejected(args.audit, over, [r"is %d bytes; the limit is %d" % (limit + 1, limit)])
    print("PASS: %d bytes are accepted, %d refused" % (limit, limit + 1))


def cmd_rejects(args):
    expect_rejected(args.audit, args.exe, args.expect)


def cmd_corrupt(args):
    """Damaged copies (random bytes overwritten, mostly in the headers):
    the audit must pass or report problems, never crash or blame itself."""
    import random
    with open(args.exe, "rb") as f:
        good = f.read()
    rnd = random.Random(98)  # fixed: the same copies on every run
    os.makedirs(args.work, exist_ok=True)
    path = os.path.join(args.work, "corrupt.exe")
    outcomes = {0: 0, 1: 0}
    for i in range(args.count):
        data = bytearray(good)
        for _ in range(rnd.randint(1, 8)):
            at = rnd.randrange(0x400) if rnd.random() < 0.6 else rnd.randrange(len(data))
            data[at] = rnd.randrange(256)
        with open(path, "wb") as f:
            f.write(data)
        run = subprocess.run([sys.executable, args.audit, path], stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, universal_newlines=True)
        if run.returncode not in outcomes or "Traceback" in run.stdout:
            kept = os.path.join(args.work, "corrupt-%d.exe" % i)
            shutil.copyfile(path, kept)
            print(run.stdout[-3000:])
            fail("copy %d (kept as %s): the audit exited with %d" % (i, kept, run.returncode))
        outcomes[run.returncode] += 1
    print("PASS: %d damaged copies: %d passed, %d refused, none crashed the audit"
          % (args.count, outcomes[0], outcomes[1]))


# --------------------------------------------------------------- start-up

def cmd_start(args):
    """Runs the probe the way the wine/ package starts Wine here (natively,
    or under qemu-i386 in a namespace of its own: wine/mode.py), in a copy
    of the end-to-end tests' base prefix."""
    if not shutil.which("wine"):
        print("SKIP: wine is not installed")
        return SKIPPED
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(
        __file__)))))
    from wine import mode as wine_mode, prefix, session
    from wine.config import Config
    config = Config(args.config)
    if not os.path.exists(config.base + ".ready"):
        fail("no base prefix at %s: run e2e.prepare first" % config.base)
    try:
        mode = wine_mode.detect()
        code, preload = wine_mode.enter(mode, config, [sys.executable, os.path.abspath(__file__)]
                                        + args.argv)
        if code is not None:
            return code
        os.makedirs(args.work, exist_ok=True)
        wineprefix = os.path.join(args.work, "wineprefix")
        prefix.copy_prefix(config.base, wineprefix)
        # No display: nothing is shown, boxes are not involved.
        wine = session.Session(wineprefix, args.work, mode, preload, tag=config.work)
        try:
            wine.start(with_display=False)
            returncode, text = wine.run([args.exe, "first", "second arg"], cwd=args.work,
                                        timeout=120, name="start-stdout")
        finally:
            wine.close()
            shutil.rmtree(wineprefix, ignore_errors=True)
    except (wine_mode.ModeError, session.SessionError) as e:
        fail("Wine: %s" % e)
    text = text.replace("\r\n", "\n")
    with open(os.path.join(args.work, "start-stdout.err"), "rb") as f:
        stderr = f.read()
    run = subprocess.CompletedProcess(args.exe, returncode, None, stderr)
    lines = text.splitlines()
    print("exit code %d, %d lines on standard output" % (run.returncode, len(lines)))
    problems = []
    if run.returncode != 7:
        problems.append("exit code %d, WinMain returned 7" % run.returncode)
    expected = [
        "instance-is-module=1",
        "previous=00000000",
        "arguments=[first \"second arg\"]",
        "initialised=42",
    ]
    for line in expected:
        if line not in lines:
            problems.append("missing line %r" % line)
    if not any(re.fullmatch(r"show=\d+", l) for l in lines):
        problems.append("no show= line")
    trace = [l for l in lines if l.startswith("line ")]
    if len(trace) != 300:
        problems.append("%d of the 300 unflushed trace lines reached the file" % len(trace))
    if lines[-2:] != ["last line", "atexit handler ran"]:
        problems.append("the output does not end with the last line and the atexit "
                        "handler (the process did not end through exit()): %r" % lines[-2:])
    if problems:
        print(text[:2000])
        print("stderr: " + run.stderr.decode("latin-1")[-2000:])
        for p in problems:
            print("FAIL: " + p)
        return 1
    print("PASS: start-up passed the arguments, ran the constructors and flushed the output")
    return 0


# ------------------------------------------------------------------- icon

def cmd_icon(args):
    os.makedirs(args.work, exist_ok=True)
    fresh = os.path.join(args.work, "setup.ico")
    if os.path.exists(fresh):
        os.remove(fresh)
    run = subprocess.run([sys.executable, args.mkicon, "--output", fresh])
    if run.returncode != 0:
        fail("mkicon.py exited with %d" % run.returncode)
    with open(fresh, "rb") as f:
        new = f.read()
    with open(args.ico, "rb") as f:
        old = f.read()
    if new != old:
        at = next((i for i, (a, b) in enumerate(zip(new, old)) if a != b), min(len(new), len(old)))
        fail("%s differs from what mkicon.py draws (%d vs %d bytes, first difference at "
             "byte %d); run scripts/mkicon.py and commit the result" % (args.ico, len(old), len(new), at))
    print("PASS: %s matches mkicon.py output (%d bytes)" % (args.ico, len(new)))
    return 0


def main(argv):
    parser = argparse.ArgumentParser()
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("fault")
    p.add_argument("case", choices=sorted(FAULTS))
    p.add_argument("--audit", required=True)
    p.add_argument("--exe", required=True)
    p.add_argument("--work", required=True)
    p.add_argument("--audit-arg", action="append", default=[])
    p = sub.add_parser("rejects")
    p.add_argument("--audit", required=True)
    p.add_argument("--exe", required=True)
    p.add_argument("--expect", nargs="+", required=True)
    p.add_argument("--audit-arg", action="append", default=[])
    p = sub.add_parser("data")
    p.add_argument("--audit", required=True)
    p.add_argument("--exe", required=True)
    p.add_argument("--work", required=True)
    p = sub.add_parser("limit")
    p.add_argument("--audit", required=True)
    p.add_argument("--exe", required=True)
    p.add_argument("--work", required=True)
    p.add_argument("--limit", type=int, default=SIZE_LIMIT)
    p.add_argument("--audit-arg", action="append", default=[])
    p = sub.add_parser("corrupt")
    p.add_argument("--audit", required=True)
    p.add_argument("--exe", required=True)
    p.add_argument("--work", required=True)
    p.add_argument("--count", type=int, default=100)
    p = sub.add_parser("start")
    p.add_argument("--exe", required=True)
    p.add_argument("--work", required=True)
    p.add_argument("--config", required=True)
    p = sub.add_parser("icon")
    p.add_argument("--mkicon", required=True)
    p.add_argument("--ico", required=True)
    p.add_argument("--work", required=True)
    args = parser.parse_args(argv)
    args.argv = argv
    AUDIT_ARGS.extend(getattr(args, "audit_arg", []))
    handler = {"fault": cmd_fault, "rejects": cmd_rejects, "limit": cmd_limit, "data": cmd_data,
               "corrupt": cmd_corrupt,
               "start": cmd_start, "icon": cmd_icon}
    return handler[args.command](args) or 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
