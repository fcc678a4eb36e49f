#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target into tests/fuzz/corpus/.

Each seed is a named, hand-made input in the target's input format (see the
comment at the top of each target): the ordinary cases and the edges that
the fuzzer should start from. Run it again after changing an input format;
the seeds are committed.
"""
import os
import random
import re
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")
PACKAGE = os.path.join(HERE, "..", "..", "examples", "package")


def write(target, name, data):
    folder = os.path.join(CORPUS, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def word(n):
    return struct.pack("<H", n)


# ---- message_file: the bytes of MultiLang\0409.dat --------------------------

def builtin_messages():
    """The program's own English texts, read from its message table."""
    with open(os.path.join(HERE, "..", "..", "common", "messages.cpp"), encoding="latin-1") as f:
        source = f.read()
    table = re.search(r"kBuiltIn\[MESSAGE_COUNT\] = \{(.*?)\};", source, re.S).group(1)
    return [text.encode("latin-1") for text in re.findall(r'"((?:[^"\\]|\\.)*)"', table)]


def message_file():
    t = "message_file"
    for name in ("0407.dat", "040c.dat"):
        with open(os.path.join(PACKAGE, "MultiLang", name), "rb") as f:
            write(t, "package-" + name, f.read())
    english = builtin_messages()
    write(t, "five-lines-crlf", b"\r\n".join(english) + b"\r\n")
    write(t, "five-lines-lf-no-final-end", b"\n".join(english))
    write(t, "three-lines", b"\r\n".join(english[:3]) + b"\r\n")
    write(t, "seven-lines", b"\r\n".join(english + [b"six", b"seven"]) + b"\r\n")
    write(t, "empty", b"")
    write(t, "only-line-ends", b"\r\n" * 7)
    write(t, "line-of-300", b"A" * 300 + b"\r\nsecond\r\n")
    write(t, "line-of-255", b"B" * 255 + b"\r\nnext\r\n")
    write(t, "line-of-254-crlf-at-the-cut", b"C" * 254 + b"\r\n" + b"D" * 254 + b"\r\n")
    write(t, "line-of-510", b"E" * 510 + b"\n")
    write(t, "lone-cr", b"one\rstill one\r\ntwo\r\r\nthree\r")
    write(t, "ctrl-z-ends", b"one\r\ntwo\x1athree\r\nfour\r\n")
    write(t, "nul-cuts", b"one\x00dropped\r\ntwo\r\n\x00\r\nfour\r\n")
    write(t, "latin1", "Möchten Sie das System neu starten?\r\n".encode("latin-1") * 5)
    rng = random.Random(7)
    write(t, "noise", bytes(rng.randrange(256) for _ in range(700)))


# ---- hardware_ids: search byte, then device records separated by <DEV> -------

NO_IDS, REPORTED, SIZE_QUERY_OK, NEVER_FITS, ABSENT = 1, 2, 4, 8, 16


def multi_sz(*ids):
    return b"".join(i + b"\0" for i in ids) + b"\0"


def device(ids, flags=0, reported=None):
    out = bytes([flags | (REPORTED if reported is not None else 0)])
    if reported is not None:
        out += word(reported)
    return out + ids


def devices(search, *records):
    return bytes([search]) + b"<DEV>".join(records)


def hardware_ids():
    t = "hardware_ids"
    acpi = device(multi_sz(b"ACPI\\PNP0A03", b"*PNP0A03"))
    bridge = device(multi_sz(b"PCI\\VEN_8086&DEV_7190&SUBSYS_00000000&REV_03",
                             b"PCI\\VEN_8086&DEV_7190&CC_0600"))
    first = device(multi_sz(b"PCI\\VEN_C4B9&DEV_8E3A&SUBSYS_8E3AC4B9&REV_02",
                            b"PCI\\VEN_C4B9&DEV_8E3A&SUBSYS_8E3AC4B9",
                            b"PCI\\VEN_C4B9&DEV_8E3A&CC_060700"))
    second = device(multi_sz(b"PCI\\VEN_C4B9&DEV_8E51&SUBSYS_8E51C4B9&REV_02",
                             b"PCI\\VEN_C4B9&DEV_8E51&CC_0607"))
    write(t, "typical-first-model", devices(0, acpi, bridge, first))
    write(t, "second-model-searched", devices(1, acpi, first, second))
    write(t, "no-controller", devices(0, acpi, bridge))
    write(t, "lower-case", devices(0, device(multi_sz(b"pci\\ven_c4b9&dev_8e3a&subsys_00000000"))))
    write(t, "exact-identifier", devices(0, device(multi_sz(b"PCI\\VEN_C4B9&DEV_8E3A"))))
    write(t, "accented-near-miss", devices(0, device(multi_sz("PCI\\VEN_C4B9&D\xc9V_8E3A".encode("latin-1")))))
    write(t, "short-entries", devices(0, device(multi_sz(b"PCI\\VEN_C4B9", b"PCI\\VEN_C4B9&DEV_8E3"))))
    long_match = b"PCI\\VEN_C4B9&DEV_8E3A&" + b"X" * 300
    write(t, "match-over-255-then-short-match",
          devices(0, device(multi_sz(long_match, b"PCI\\VEN_C4B9&DEV_8E3A&REV_02"))))
    write(t, "match-of-255", devices(0, device(multi_sz(b"PCI\\VEN_C4B9&DEV_8E3A" + b"Y" * 234))))
    write(t, "match-of-256", devices(0, device(multi_sz(b"PCI\\VEN_C4B9&DEV_8E3A" + b"Z" * 235))))
    unterminated = b"PCI\\VEN_C4B9&DEV_8E3A&SUBSYS_8E3AC4B9&REV_02"
    write(t, "unterminated", devices(0, device(unterminated)))
    write(t, "reported-size-cuts-the-match", devices(0, device(multi_sz(unterminated), reported=30)))
    write(t, "reported-size-cuts-before-21", devices(0, device(multi_sz(unterminated), reported=20)))
    write(t, "reported-size-larger", devices(0, device(multi_sz(b"ACPI\\PNP0A03"), reported=600), first))
    write(t, "reported-size-zero", devices(0, device(multi_sz(unterminated), reported=0), second))
    write(t, "unreadable-devices",
          devices(0, device(b"", NO_IDS), device(multi_sz(unterminated), SIZE_QUERY_OK),
                  device(multi_sz(unterminated), NEVER_FITS), device(multi_sz(unterminated), ABSENT),
                  bridge))
    write(t, "empty-first-entry", devices(0, device(b"\0" + multi_sz(unterminated))))
    write(t, "many-devices", devices(0, *([acpi, bridge] * 7), first))


# ---- registry_scan: flags [value], then key records separated by backslashes -

EDITION_98, EDITION_98SE, EDITION_ME = 0, 1, 2
NT_DELETION, NO_PCI = 4, 8


def other_path(state):
    return state << 5


def key(mode, rest=b"", instances=1, deeper=False, cut=None, second=False, lower=False):
    flags = mode | (instances << 2) | (16 if deeper else 0) | (32 if second else 0) | (64 if lower else 0)
    out = bytes([flags])
    if mode == 3:
        out += bytes([cut])
    return out + rest


def keys(*records):
    return b"\\".join(records)


def registry_scan():
    t = "registry_scan"
    intel = key(0, b"VEN_8086&DEV_7190&SUBSYS_00000000&REV_03")
    isa = key(0, b"VEN_8086&DEV_7110&SUBSYS_00000000&REV_08")
    first = key(1, b"&SUBSYS_8E3AC4B9&REV_02", deeper=True)
    second = key(2, b"&SUBSYS_8E51C4B9&REV_02")
    write(t, "98-first-model", bytes([EDITION_98]) + keys(intel, first, isa))
    write(t, "98se-both-models", bytes([EDITION_98SE]) + keys(first, intel, second))
    write(t, "me-nt-deletion", bytes([EDITION_ME | NT_DELETION]) + keys(intel, first, second))
    write(t, "exact-names", bytes([EDITION_98]) + keys(key(1, instances=0), key(2, instances=2)))
    write(t, "lower-case-and-cut-prefixes",
          bytes([EDITION_98SE]) + keys(key(3, b"&SUBSYS", cut=17, lower=True),
                                       key(3, b"", cut=16), key(3, b"X&SUBSYS", cut=16, second=True),
                                       intel))
    write(t, "no-controller", bytes([EDITION_98]) + keys(intel, isa))
    write(t, "no-pci-branch", bytes([EDITION_98 | NO_PCI]))
    write(t, "empty-pci-branch", bytes([EDITION_ME]))
    write(t, "other-path-kept", bytes([EDITION_98 | other_path(1)]) + first)
    write(t, "other-path-over-260", bytes([EDITION_98SE | other_path(2)]) + first)
    write(t, "other-path-binary", bytes([EDITION_ME | other_path(3), 5]) + b"\1\2\3\4\5" + first)
    write(t, "long-names", bytes([EDITION_98]) + keys(key(1, b"L" * 238), key(0, b"N" * 255)))
    rng = random.Random(11)
    many = []
    for i in range(120):
        many.append(key(0, b"VEN_%04X&DEV_%04X" % (rng.randrange(65536), rng.randrange(65536)),
                        instances=rng.randrange(4)))
        if i in (3, 60, 119):
            many.append(first if i != 60 else second)
    write(t, "many-keys", bytes([EDITION_98SE | NT_DELETION]) + keys(*many))
    write(t, "same-name-twice", bytes([EDITION_98]) + keys(first, key(1, b"&subsys_8e3ac4b9&rev_02")))


# ---- directory_lengths: os flags current windows system part style ----------

OS = {"95": 0, "98": 1, "98se": 2, "me": 3, "2000": 4, "xp": 5, "2003": 6}
CUR_ROOT, WIN_ROOT, SYS_ROOT, INF_OTHER, REBOOT, GERMAN, CONTROLLER = 1, 2, 4, 8, 16, 32, 64


def dirs(os_name, flags, current, windows, system, part=8, style=0):
    return bytes([OS[os_name], flags]) + word(current) + word(windows) + word(system) + bytes([part, style])


def directory_lengths():
    t = "directory_lengths"
    for name in OS:
        write(t, "%s-ordinary" % name, dirs(name, CONTROLLER, 7, 10, 19))
        write(t, "%s-roots" % name, dirs(name, CONTROLLER | CUR_ROOT | WIN_ROOT | SYS_ROOT | GERMAN, 0, 0, 0))
    # The longest directories that still fit, and one more character.
    edges = [
        ("98", "current-for-the-inf", 255 - 11, 10, 19),
        ("98se", "current-for-the-catalog", 255 - 13, 10, 19),
        ("98se", "windows-for-the-catalog", 7, 255 - 17, 19),
        ("me", "windows-for-inf-other", 7, 255 - 21, 19),
        ("xp", "current-for-the-inf", 255 - 11, 10, 19),
        ("2000", "system-for-setupapi", 7, 10, 255 - 13),
        ("xp", "current-for-the-message-file", 255 - 19, 10, 19),
        ("xp", "current-of-255", 255, 10, 19),
    ]
    for os_name, what, current, windows, system in edges:
        write(t, "%s-%s-fits" % (os_name, what), dirs(os_name, CONTROLLER | GERMAN, current, windows, system, 12, 3))
        more = (current + 1 if "current" in what else current,
                windows + 1 if "windows" in what else windows,
                system + 1 if "system" in what else system)
        write(t, "%s-%s-one-over" % (os_name, what), dirs(os_name, CONTROLLER | GERMAN, *more, part=12, style=3))
    write(t, "me-inf-other-exists-reboot", dirs("me", CONTROLLER | INF_OTHER | REBOOT, 40, 60, 70, 1, 9))
    write(t, "all-over", dirs("98se", CONTROLLER, 399, 399, 399, 40, 5))


# ---- capture_text: a machine of odd texts for the capture's writer --------

def capture_text():
    t = "capture_text"
    sep = b"\xfe\xff"
    # Code pages by index into the simulator's tables: 874, 1250, 1251, ...,
    # 1258, 932, 936, 949, 950; 20 and up stand for 437, which the simulator
    # does not know.
    cp1252, cp1251, unknown = 3, 2, 20

    def legacy(cp, folder, other, *records):
        return bytes([0, cp]) + sep.join((folder, other) + records)

    def nt(cp, folder, *lists):
        return bytes([1, cp]) + sep.join((folder,) + lists)

    def value(kind, name, data):
        return bytes([kind]) + name + b"\0" + data

    write(t, "98se-plain", legacy(cp1252, b"VNTR", b"C:\\WINDOWS\\INF\\OTHER\0",
                                  b"\0BUS_02&DEV_0C&FUNC_00", value(1, b"Driver", b"PCI\\X\0")))
    write(t, "98se-quotes-and-backslashes",
          legacy(cp1252, b"It's \"here\"", b"a'b\"c\\d\0", b"\0inst 'one'",
                 value(1, b"na\"me\\", b"'\"\\\0"), value(7, b"", b"A\0B\0\0")))
    write(t, "98se-control-and-high-bytes",
          legacy(cp1252, b"Caf\xe9 \x80\x81\x9d", b"\x01\x7f\x81\x8d\x0a\x0d\x09",
                 b"\0\x01\x1f\x7f\x80\xff", value(3, b"\x81\x8f\x90", bytes(range(256))),
                 value(4, b"\x7f", b"\x01\x02\x03\x04"), value(0xFF, b"none", b"")))
    write(t, "98se-cyrillic", legacy(cp1251, b"\xc4\xf0\xe0\xe9\xe2\xe5\xf0",
                                     b"\xcf\xf3\xf2\xfc\0", b"\0\xca\xeb\xfe\xf7"))
    write(t, "98se-unknown-code-page", legacy(unknown, b"\x82\xa0\x83\x40", b"\x81\x40\0",
                                              b"\0\x88\x9f\xe0\x40"))
    write(t, "98se-long-value", legacy(cp1252, b"VNTR", b"x" * 3000 + b"\0",
                                       value(2, b"%Path%", b"%SystemRoot%\\inf;" * 50 + b"\0")))
    write(t, "xp-plain", nt(cp1252, b"VNTR", b"PCI\\VEN_C4B9&DEV_8E3A\0PCI\\X\0\0",
                            b"ACPI\\PNP0A03\0\0"))
    write(t, "xp-odd-lists", nt(cp1252, b"VNTR", b"", b"\0", b"ABC", b"A\0\0B\0\0",
                                b"\x81'\"\\\x01\0\0", b"\xff" * 300))


# ---- inf_file: code page index, flags (1: NT, 2: Japanese), the INF -----------

def inf_file():
    t = "inf_file"
    def seed(name, text, codepage=0, flags=1):
        write(t, name, bytes([codepage, flags]) + text)
    for name in sorted(os.listdir(PACKAGE)):
        if name.upper().endswith(".INF"):
            with open(os.path.join(PACKAGE, name), "rb") as f:
                data = f.read()
            seed("package-" + name, data, flags=1 if "XP" in name or "2K" in name else 0)
    head = b'[Version]\r\nSignature="$Windows NT$"\r\nCatalogFile.NTx86=x.cat\r\n'
    seed("decorations-and-copies", head +
         b"[Manufacturer]\r\n%V%=Vantor,NTx86,NTx86.5.1,NTamd64,NT.5.1.1.0x80\r\n"
         b"[Vantor.NTx86.5.1]\r\n%D%=Inst,,PCI\\VEN_C4B9&DEV_8E3A&SUBSYS_8E3AC4B9 ; compat\r\n"
         b"[Inst.NTx86]\r\nCopyFiles=@VNTR.SYS,Files\r\n[Files]\r\nvntr.sys,src.sys,,2\r\n"
         b"[SourceDisksNames.x86]\r\n1=%D%,,,\\disk\r\n[SourceDisksFiles]\r\nsrc.sys=1,x86\r\n"
         b'[Strings]\r\nV="Vantor"\r\nD="a ""quoted"" 100%% name"\r\n')
    seed("continuation-and-comments", head + b"Provider=a\\\r\n b ; c\r\nClass=\"x;y\"\\\r\n,z\r\n")
    seed("strings-by-locale", head + b"Provider=%P%\r\n[Strings]\r\nP=en\r\n[Strings.0411]\r\nP=ja\r\n",
         codepage=1, flags=3)
    seed("shift-jis-trail-bytes", head + b"Provider=\x95\x5c\r\n[\x83\x5d]\r\nx=\x81\r\n", codepage=1)
    seed("utf16", "\ufeff[Version]\r\nSignature=$Chicago$\r\nProvider=\u00e9\u6f22\r\n".encode("utf-16-le"))
    seed("refusals", b"x=1\r\n[Version]\r\nSignature=$Windows 3.1$\r\n[Version]\r\nP=%nope%\r\n"
         b'Q="open\r\n[' + b"s" * 300 + b"]\r\nR=" + b"r" * 5000 + b"\r\n[Strings\r\n\x1aafter")
    seed("nine-x", b'[Version]\nSignature=$Windows 95$\n[Manufacturer]\nVantor\n[Vantor]\n'
         b"D=I,PCI\\VEN_C4B9&DEV_8E3A&REV_02\n", flags=0)


def main():
    message_file()
    hardware_ids()
    registry_scan()
    directory_lengths()
    capture_text()
    inf_file()
    for target in sorted(os.listdir(CORPUS)):
        print("%-18s %3d seeds" % (target, len(os.listdir(os.path.join(CORPUS, target)))))
    return 0


if __name__ == "__main__":
    sys.exit(main())
