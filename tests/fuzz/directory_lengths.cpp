// Fuzz target: directory lengths. The input picks a Windows version and the
// lengths of the current, Windows and system directories (each also at a
// drive root), and runs the whole program. Every path the program hands to
// the system must be at most 255 characters: the path arguments of
// SetCurrentDirectoryA, CreateDirectoryA, CopyFileA, LoadLibraryA and of
// the message file's fopen are recorded on the way in (this target puts a
// note-taker in those calls' slots), and the paths in the run's events are
// checked as well. Overflowing a path buffer is caught by
// AddressSanitizer. When a path the flow needs does not fit, the run must
// change nothing; when every path fits, the installation must happen.
//
// Each input runs the program in a child process of its own, so that no
// state of one run reaches the next.
#include <string>
#include <vector>

#include "host/host.h"
#include "sim/presets.h"
#include "sim/runner.h"
#include "sim/slots.h"
#include "tests/fuzz/fuzz_support.h"

// ---- the path arguments, recorded as events of the run ---------------------

namespace {

using sim::Call;
using sim::kSimulated;

void Note(Call call, const char* path) {
    if (sim::Runtime* rt = sim::Active())
        rt->Emit(sim::Event("path_arg").Str("call", sim::CallName(call)).StrOrNull("path", path));
}

BOOL NoteSetCurrentDirectory(LPCSTR path) {
    Note(Call::SetCurrentDirectoryA, path);
    return kSimulated.SetCurrentDirectoryA(path);
}
BOOL NoteCreateDirectory(LPCSTR path, LPSECURITY_ATTRIBUTES security) {
    Note(Call::CreateDirectoryA, path);
    return kSimulated.CreateDirectoryA(path, security);
}
BOOL NoteCopyFile(LPCSTR from, LPCSTR to, BOOL failIfExists) {
    Note(Call::CopyFileA, from);
    Note(Call::CopyFileA, to);
    return kSimulated.CopyFileA(from, to, failIfExists);
}
HMODULE NoteLoadLibrary(LPCSTR name) {
    Note(Call::LoadLibraryA, name);
    return kSimulated.LoadLibraryA(name);
}
FILE* NoteFopen(const char* path, const char* mode) {
    Note(Call::fopen, path);
    return (kSimulated.fopen)(path, mode);
}

// The runs are forked from this process, so the slots set here are theirs.
void NotePathArguments() {
    sim::g_slots.SetCurrentDirectoryA = NoteSetCurrentDirectory;
    sim::g_slots.CreateDirectoryA = NoteCreateDirectory;
    sim::g_slots.CopyFileA = NoteCopyFile;
    sim::g_slots.LoadLibraryA = NoteLoadLibrary;
    sim::g_slots.fopen = NoteFopen;
}

}  // namespace

namespace {

const char* const kVersions[7] = {"95", "98", "98se", "me", "2000", "xp", "2003"};
const size_t kMaxLength = 400;

// Machine flags.
enum : uint8_t {
    kCurrentAtRoot = 1,
    kWindowsAtRoot = 2,
    kSystemAtRoot = 4,
    kInfOtherExists = 8,  // Windows ME: INF\OTHER is there already
    kRebootYes = 16,
    kGerman = 32,  // locale 0x0407: the package's German message file
    kController = 64,
};

// A path of exactly `length` characters on drive `drive`, made of
// directories of `part` characters (the last one may be shorter). The
// characters are taken from `style`, so the fuzzer varies spelling too.
std::string PathOf(char drive, size_t length, size_t part, uint8_t style) {
    static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-~$\xe4\xf6";
    std::string p = {drive, ':'};
    if (length < 4) length = 4;
    size_t n = 0;
    while (p.size() < length) {
        if (p.back() == ':' || (n % part == 0 && p.back() != '\\' && p.size() + 1 < length)) {
            p += '\\';
            continue;
        }
        p += kLetters[(style + n) % (sizeof kLetters - 1)];
        ++n;
    }
    return p;
}

std::string TrimBackslash(std::string dir) {
    if (!dir.empty() && dir.back() == '\\') dir.pop_back();
    return dir;
}

const sim::Machine& Package() {
    static const sim::Machine m = [] {
        sim::Machine t;
        sim::MountPackage(t, sim::DefaultPackageDir(), "C:\\PKG");
        return t;
    }();
    return m;
}

bool Fits(const std::string& path) { return path.size() <= 255; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    NotePathArguments();
    fuzz::Input in(data, size);
    const std::string os = kVersions[in.Byte() % 7];
    uint8_t flags = in.Byte();
    size_t currentLength = in.Word() % kMaxLength;
    size_t windowsLength = in.Word() % kMaxLength;
    size_t systemLength = in.Word() % kMaxLength;
    uint8_t part = in.Byte();
    uint8_t style = in.Byte();
    size_t partLength = 1 + part % 40;

    sim::Machine m = sim::PresetMachine(os);
    std::string oldSystem = m.system_dir;
    m.current_dir =
        (flags & kCurrentAtRoot) ? "D:\\" : PathOf('D', currentLength, partLength, style);
    m.windows_dir =
        (flags & kWindowsAtRoot) ? "C:\\" : PathOf('C', windowsLength, partLength, style + 1);
    m.system_dir =
        (flags & kSystemAtRoot) ? "E:\\" : PathOf('E', systemLength, partLength, style + 2);
    for (auto& mod : m.modules)
        if (sim::EqualNoCase(mod.dir, oldSystem)) mod.dir = m.system_dir;
    auto makeDirs = [&m](const std::string& path) {
        m.files.MakeDirs(sim::FileSystem::Absolute(path, "C:\\"));
    };
    makeDirs(m.windows_dir + "\\INF");
    if (flags & kInfOtherExists) makeDirs(m.windows_dir + "\\INF\\OTHER");
    makeDirs(m.system_dir);
    const std::string packageRoot = "C:\\PKG";
    Package().files.ForEach([&](const std::string& path, const sim::FileSystem::Node& node) {
        if (path.size() <= packageRoot.size() ||
            !sim::EqualNoCase(path.substr(0, packageRoot.size() + 1), packageRoot + "\\"))
            return;
        std::string rel = path.substr(packageRoot.size());
        std::string at = sim::FileSystem::Absolute(m.current_dir + rel, "C:\\");
        if (node.dir)
            m.files.MakeDirs(at);
        else
            m.files.PutFile(at, node.data);
    });
    makeDirs(m.current_dir);
    if (flags & kGerman) m.locale = 0x0407;
    if (flags & kController) sim::AddController(m);
    m.answers = {true, (flags & kRebootYes) != 0};

    // The paths each flow needs, as the program forms them.
    std::string current = sim::FileSystem::Absolute(m.current_dir, "C:\\");
    bool currentOk = current.size() <= 255;
    std::string start = TrimBackslash(current);
    bool windowsOk = m.windows_dir.size() <= 255;
    bool systemOk = m.system_dir.size() <= 255;
    char messageName[32];
    snprintf(messageName, sizeof messageName, "\\MultiLang\\%04x.dat", m.locale);
    bool messageFits = currentOk && Fits(start + messageName);

    bool flowFits = false;      // every path of the flow fits
    bool expectChange = false;  // and then the machine is changed
    if (m.os.platform == 1) {
        int edition = os == "98" ? 0 : os == "98se" ? 1 : os == "me" ? 2 : -1;
        static const char* const kInf[3] = {"\\VNTR98.INF", "\\VNTR98SE.INF", "\\VNTRME.INF"};
        static const char* const kCat[3] = {"", "\\VNTR98SE.CAT", "\\VNTRME.CAT"};
        if (edition >= 0) {
            std::string target = m.windows_dir + "\\INF" + (edition == 2 ? "\\OTHER" : "");
            flowFits = currentOk && windowsOk && Fits(start + kInf[edition]) &&
                       Fits(start + kCat[edition]) && Fits(target + kInf[edition]) &&
                       Fits(target + kCat[edition]);
            expectChange = flowFits;  // the copies, whatever the registry holds
        }
    } else {
        std::string system = TrimBackslash(m.system_dir);
        const char* inf = m.os.minor == 0 ? "\\VNTR2K.INF" : m.os.minor == 1 ? "\\VNTRXP.INF" : "";
        flowFits = currentOk && systemOk && Fits(system + "\\setupapi.dll") &&
                   Fits(system + "\\newdev.dll") && Fits(start + inf);
        // Only an existing INF file and a controller make an installation.
        expectChange = flowFits && *inf && (flags & kController);
    }

    sim::RunOptions options;
    options.record_calls = false;
    sim::Outcome o = sim::Run(m, options);
    fuzz::CheckRan(o);

    // Every path that reached the system.
    auto checkPath = [](const sim::Event& e, const char* field) {
        if (!e.Has(field) || e.IsNull(field)) return;
        std::string path = e.GetStr(field);
        fuzz::Check(Fits(path), e.type() + " with a path of " + std::to_string(path.size()) +
                                    " characters: " + path);
    };
    for (const auto& e : o.events) {
        // The arguments the program passed; the simulator's own resolved
        // paths (top-level "path", "from", "to") may be longer.
        for (const char* field : {"args.path", "args.from", "args.to", "args.name", "args.inf"})
            checkPath(e, field);
        if (e.type() == "path_arg") checkPath(e, "path");
        if (e.type() == "reg_set") {
            std::string bytes = e.GetStr("args.data");
            fuzz::Check(Fits(bytes.substr(0, bytes.find('\0'))),
                        "a registry value holds a path over 255 characters");
        }
    }

    // The message file is read exactly when its path fits.
    std::string messagePath = start + messageName;
    bool opened = false;
    for (const auto& e : o.Of("open"))
        opened = opened || sim::BytesOf(e["args"]["path"].get<std::string>()) == messagePath;
    fuzz::Check(opened == messageFits, messageFits ? "the message file was not tried"
                                                   : "a message file path over 255 characters");
    // The note-takers were in their slots: every open was noted on its way in.
    size_t noted = 0;
    for (const auto& e : o.Of("path_arg")) noted += e["call"] == "fopen";
    fuzz::Check(noted == o.Of("open").size(), "an fopen passed by the note-taker's slot");

    if (!flowFits && !o.Changes().empty())
        fuzz::Fail("a path did not fit, yet the machine was changed: " + o.Changes()[0].dump());
    if (expectChange)
        fuzz::Check(!o.Changes().empty(), "every path fits, yet nothing was installed");
    return 0;
}
