#include "sim/machine_file.h"

#include <toml++/toml.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include "common/crc32.h"
#include "res/ids.h"
#include "sim/calls.h"
#include "sim/codepage.h"
#include "sim/hostfiles.h"
#include "sim/locales.h"
#include "sim/package.h"
#include "sim/presets.h"

namespace sim {

MachineError::MachineError(const std::string& file_, int line_, const std::string& field_,
                           const std::string& problem_)
    : std::runtime_error(file_ + (line_ > 0 ? ":" + std::to_string(line_) : std::string()) + ": " +
                         (field_.empty() ? "" : field_ + ": ") + problem_),
      file(file_),
      line(line_),
      field(field_),
      problem(problem_) {}

std::string WindowsPathOf(const std::string& utf8, uint32_t codepage) {
    std::string p, problem;
    if (!ToCodePage(utf8, codepage, &p, &problem)) throw std::invalid_argument(problem);
    return WindowsPathOfBytes(p, codepage);
}

std::string WindowsPathOfBytes(const Bytes& p, uint32_t codepage) {
    if (p.find('\0') != std::string::npos)
        throw std::invalid_argument("a path may not hold a NUL character");
    if (p.size() > kMaxWindowsPath)
        throw std::invalid_argument(std::to_string(p.size()) +
                                    " characters, longer than Windows allows (32,767)");
    if (p.size() < 3 || !std::isalpha(static_cast<unsigned char>(p[0])) || p[1] != ':' ||
        (p[2] != '\\' && p[2] != '/'))
        throw std::invalid_argument("expected an absolute Windows path such as 'C:\\VNTR'");
    // Its parts are read by the code page's characters, each a name Windows
    // can hold.
    TextCodePageScope text(codepage);
    std::string abs = FileSystem::Absolute(p, "");
    for (size_t start = 3; start < abs.size();) {
        size_t end = FindBackslash(abs, start);
        if (end == std::string::npos) end = abs.size();
        std::string part = abs.substr(start, end - start);
        if (part.size() > 255)
            throw std::invalid_argument("a part of the path is longer than 255 characters");
        std::string problem = WindowsNameProblem(part);
        if (!problem.empty()) throw std::invalid_argument(problem);
        start = end + 1;
    }
    return abs;
}

namespace {

class Reader {
   public:
    Reader(std::string file, std::string base_dir)
        : file_(std::move(file)), base_(std::move(base_dir)) {}

    uint32_t codepage = 1252;
    std::vector<Setting> settings;
    std::vector<std::string> warnings;
    std::vector<std::string> notes;

    [[noreturn]] void Fail(const toml::node& node, const std::string& field,
                           const std::string& problem) const {
        throw MachineError(file_, Line(node), field, problem);
    }

    static int Line(const toml::node& node) { return static_cast<int>(node.source().begin.line); }

    void Warn(const toml::node& node, const std::string& field, const std::string& text) {
        warnings.push_back(file_ + ":" + std::to_string(Line(node)) + ": " + field + ": " + text);
    }

    // What an option of the command line did to a setting of the file.
    void Tell(const toml::node& node, const std::string& field, const std::string& text) {
        notes.push_back(file_ + ":" + std::to_string(Line(node)) + ": " + field + ": " + text);
    }

    // A path of the machine as a person reads it.
    std::string Shown(const Bytes& path) const { return Visible(path, codepage); }

    void Note(const toml::node& node, const std::string& field) {
        settings.push_back({field, Line(node)});
    }

    void Keys(const toml::table& table, const std::string& where,
              const std::set<std::string>& allowed) const {
        for (const auto& [key, value] : table) {
            std::string name(key.str());
            if (!allowed.count(name)) {
                std::string known;
                for (const auto& a : allowed) known += (known.empty() ? "" : ", ") + a;
                Fail(value, Join(where, name), "unknown key (known here: " + known + ")");
            }
        }
    }

    static std::string Join(const std::string& where, const std::string& name) {
        return where.empty() ? name : where + "." + name;
    }

    const toml::table& Table(const toml::node& node, const std::string& field) const {
        if (!node.is_table()) Fail(node, field, "expected a table");
        return *node.as_table();
    }

    const toml::array& Array(const toml::node& node, const std::string& field) const {
        if (!node.is_array()) Fail(node, field, "expected an array");
        return *node.as_array();
    }

    // The string as written (UTF-8).
    std::string String(const toml::node& node, const std::string& field) {
        if (!node.is_string()) Fail(node, field, "expected a string");
        Note(node, field);
        return node.as_string()->get();
    }

    // A text of the machine: the string in the machine's code page, or its
    // exact bytes given as { hex = ".." } (what a capture writes for a text
    // that is no text of its code page).
    Bytes Text(const toml::node& node, const std::string& field) {
        if (node.is_table()) {
            const toml::table& t = *node.as_table();
            Keys(t, field, {"hex"});
            const toml::node* hex = t.get("hex");
            if (!hex) Fail(node, field, "a text given as a table is { hex = \"..\" }");
            return Hex(*hex, field + ".hex");
        }
        std::string utf8 = String(node, field), out, problem;
        if (!ToCodePage(utf8, codepage, &out, &problem))
            Fail(node, field, problem + "; use hex = \"..\" for raw bytes");
        return out;
    }

    // A name of the machine (key, value, library, identifier): a text
    // without NUL.
    Bytes Name(const toml::node& node, const std::string& field) {
        Bytes out = Text(node, field);
        if (out.find('\0') != std::string::npos)
            Fail(node, field, "a name may not hold a NUL character");
        return out;
    }

    // Every number a machine file gives is read here: an integer (in any of
    // TOML's bases) within the range of its field, never a float, a string
    // or a boolean. 0 is in the range only where it is a value like any
    // other (a size, a dword, a CRC, a version number); counts, call
    // numbers, error codes and locales start at 1.
    int64_t Int(const toml::node& node, const std::string& field, int64_t lo, int64_t hi) {
        if (!node.is_integer()) Fail(node, field, "expected an integer");
        Note(node, field);
        int64_t v = node.as_integer()->get();
        if (v < lo || v > hi)
            Fail(node, field,
                 "out of range (" + std::to_string(lo) + " to " + std::to_string(hi) + ")");
        return v;
    }

    uint32_t U32(const toml::node& node, const std::string& field) {
        return static_cast<uint32_t>(Int(node, field, 0, 0xFFFFFFFFll));
    }

    // A number of calls or a call's number: 1 is the first.
    uint32_t Count(const toml::node& node, const std::string& field) {
        return static_cast<uint32_t>(Int(node, field, 1, 0xFFFFFFFFll));
    }

    // The error something fails with: never 0, which is success.
    uint32_t ErrorCode(const toml::node& node, const std::string& field) {
        if (node.is_integer() && node.as_integer()->get() == 0)
            Fail(node, field, "0 is success: give the error code, or leave it out");
        return static_cast<uint32_t>(Int(node, field, 1, 0xFFFFFFFFll));
    }

    uint32_t Locale(const toml::node& node, const std::string& field) {
        return static_cast<uint32_t>(Int(node, field, 1, kMaxLocale));
    }

    // The name of a file in a folder of the machine (a library's, say).
    Bytes FileName(const toml::node& node, const std::string& field, const char* example) {
        Bytes name = Name(node, field);
        std::string problem = WindowsNameProblem(name);
        if (!problem.empty())
            Fail(node, field, problem + " (expected a file name such as \"" + example + "\")");
        return name;
    }

    bool Bool(const toml::node& node, const std::string& field) {
        if (!node.is_boolean()) Fail(node, field, "expected true or false");
        Note(node, field);
        return node.as_boolean()->get();
    }

    Bytes Hex(const toml::node& node, const std::string& field) {
        std::string text = String(node, field);
        Bytes out;
        int high = -1;
        for (char c : text) {
            if (c == ' ' || c == ',' || c == '\n' || c == '\t' || c == '\r') continue;
            int v = std::isxdigit(static_cast<unsigned char>(c))
                        ? (std::isdigit(static_cast<unsigned char>(c))
                               ? c - '0'
                               : (std::tolower(static_cast<unsigned char>(c)) - 'a' + 10))
                        : -1;
            if (v < 0) Fail(node, field, std::string("not a hexadecimal digit: '") + c + "'");
            if (high < 0) {
                high = v;
            } else {
                out += static_cast<char>(high * 16 + v);
                high = -1;
            }
        }
        if (high >= 0) Fail(node, field, "odd number of hexadecimal digits");
        return out;
    }

    std::string WinPath(const toml::node& node, const std::string& field) {
        Bytes p = Text(node, field);
        try {
            return WindowsPathOfBytes(p, codepage);
        } catch (const std::invalid_argument& e) {
            Fail(node, field, e.what());
        }
    }

    std::string HostPath(const toml::node& node, const std::string& field) {
        std::string p = String(node, field);
        if (p.find('\0') != std::string::npos)
            Fail(node, field, "a path may not hold a NUL character");
        std::filesystem::path path(p);
        if (path.is_relative()) path = std::filesystem::path(base_) / path;
        return path.lexically_normal().string();
    }

    std::vector<std::string> Strings(const toml::node& node, const std::string& field) {
        std::vector<std::string> out;
        const toml::array& a = Array(node, field);
        for (size_t i = 0; i < a.size(); ++i)
            out.push_back(String(a[i], field + "[" + std::to_string(i) + "]"));
        return out;
    }

    // Calls each(table, node, where) for every table of the array `name` in
    // `parent`, once its keys are known ones and the required ones are given.
    template <typename Each>
    void Tables(const toml::table& parent, const std::string& name,
                const std::set<std::string>& allowed, const std::vector<std::string>& required,
                Each each) {
        const toml::node* v = parent.get(name);
        if (!v) return;
        const toml::array& a = Array(*v, name);
        for (size_t i = 0; i < a.size(); ++i) {
            std::string where = name + "[" + std::to_string(i) + "]";
            const toml::table& t = Table(a[i], where);
            Keys(t, where, allowed);
            for (const auto& key : required)
                if (!t.get(key)) Fail(a[i], where, "missing key '" + key + "'");
            each(t, a[i], where);
        }
    }

    const std::string& file() const { return file_; }

   private:
    std::string file_;
    std::string base_;
};

uint32_t RegType(Reader& r, const toml::node& node, const std::string& field) {
    if (node.is_integer()) return r.U32(node, field);
    static const std::map<std::string, uint32_t> names = {
        {"REG_NONE", 0},   {"REG_SZ", 1},    {"REG_EXPAND_SZ", 2},
        {"REG_BINARY", 3}, {"REG_DWORD", 4}, {"REG_MULTI_SZ", 7}};
    std::string name = r.String(node, field);
    auto it = names.find(name);
    if (it == names.end())
        r.Fail(node, field,
               "unknown value type '" + name +
                   "' (REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ or a number)");
    return it->second;
}

std::string PresetList() {
    std::string known;
    for (const auto& n : PresetNames()) known += (known.empty() ? "" : ", ") + n;
    return known;
}

// The Windows a file describes, before anything is built on it.
struct OsChoice {
    std::string base = "xp";
    bool custom = false;
    OsVersion version;
};

OsChoice ReadOs(Reader& r, const toml::node* node) {
    OsChoice c;
    if (node && node->is_string()) {
        c.base = r.String(*node, "os");
        if (!IsPreset(c.base))
            r.Fail(*node, "os",
                   "unknown Windows version '" + c.base + "' (known: " + PresetList() + ")");
    } else if (node) {
        const toml::table& t = r.Table(*node, "os");
        r.Keys(t, "os", {"base", "platform", "major", "minor", "build", "build_number", "csd"});
        if (auto* b = t.get("base")) {
            c.base = r.String(*b, "os.base");
            if (!IsPreset(c.base))
                r.Fail(*b, "os.base",
                       "unknown Windows version '" + c.base + "' (known: " + PresetList() + ")");
        }
        c.custom = true;
    }
    c.version = PresetMachine(c.base).os;
    if (!c.custom) return c;
    const toml::table& t = *node->as_table();
    OsVersion& v = c.version;
    if (auto* x = t.get("platform")) v.platform = r.U32(*x, "os.platform");
    if (auto* x = t.get("major")) v.major = r.U32(*x, "os.major");
    if (auto* x = t.get("minor")) v.minor = r.U32(*x, "os.minor");
    if (auto* x = t.get("build_number")) v.build_number = r.U32(*x, "os.build_number");
    if (auto* x = t.get("build")) {
        if (t.get("build_number")) r.Fail(*x, "os.build", "give build or build_number, not both");
        uint32_t build = static_cast<uint32_t>(r.Int(*x, "os.build", 0, 0xFFFF));
        // On the 9x family the high word of dwBuildNumber holds the version.
        v.build_number = v.platform == 1 ? (v.major << 24) | (v.minor << 16) | build : build;
    }
    if (auto* x = t.get("csd")) {
        v.csd = r.Text(*x, "os.csd");
        if (v.csd.size() > 127)
            r.Fail(*x, "os.csd", "longer than the 127 characters Windows holds");
    }
    return c;
}

void ReadDevices(Reader& r, const toml::table& root, Machine& m) {
    r.Tables(root, "devices",
             {"ids", "hex", "no_ids", "error", "reported_size", "insufficient_forever",
              "size_query_succeeds", "present"},
             {}, [&](const toml::table& t, const toml::node& node, const std::string& where) {
                 Device d;
                 int sources = 0;
                 if (auto* v = t.get("ids")) {
                     std::vector<std::string> ids;
                     const toml::array& a = r.Array(*v, where + ".ids");
                     for (size_t j = 0; j < a.size(); ++j)
                         ids.push_back(r.Name(a[j], where + ".ids[" + std::to_string(j) + "]"));
                     d.hardware_ids = MultiSz(ids);
                     ++sources;
                 }
                 if (auto* v = t.get("hex")) {
                     d.hardware_ids = r.Hex(*v, where + ".hex");
                     ++sources;
                 }
                 if (auto* v = t.get("no_ids")) {
                     if (!r.Bool(*v, where + ".no_ids"))
                         r.Fail(*v, where + ".no_ids", "give true, or leave it out");
                     d.hardware_ids.reset();
                     ++sources;
                 }
                 if (auto* v = t.get("error")) {
                     d.read_error = r.ErrorCode(*v, where + ".error");
                     d.hardware_ids.reset();
                     ++sources;
                 }
                 if (sources != 1)
                     r.Fail(node, where, "give exactly one of ids, hex, no_ids or error");
                 if (auto* v = t.get("reported_size"))
                     d.reported_size = r.U32(*v, where + ".reported_size");
                 if (auto* v = t.get("insufficient_forever"))
                     d.insufficient_forever = r.Bool(*v, where + ".insufficient_forever");
                 if (auto* v = t.get("size_query_succeeds"))
                     d.size_query_succeeds = r.Bool(*v, where + ".size_query_succeeds");
                 if (auto* v = t.get("present")) d.present = r.Bool(*v, where + ".present");
                 m.devices.push_back(std::move(d));
             });
}

// The package folder a machine file describes, and what the command line
// does to it: --cwd moves it (with the current directory, unless [package]
// at puts it elsewhere), --package replaces its content. Every entry the
// file puts in the folder (files, folders, removals, libraries) follows the
// folder: it moves along, or gives way to the option's folder. Windows' own
// directories are no part of it, even below a package at a drive's root.
struct PackageFolder {
    std::string file_at;  // where the file puts it
    std::string at;       // where it lies in this run
    bool replaced = false;
    std::string option;                // "--package DIR", or "--cwd"
    std::vector<std::string> windows;  // the Windows and system directories

    bool Holds(const std::string& folder, const std::string& path) const {
        if (!PathWithin(path, folder)) return false;
        for (const std::string& w : windows)
            if (PathWithin(path, w) && PathWithin(w, folder) && !EqualNoCase(w, folder))
                return false;
        return true;
    }

    // Where an entry the file puts at `path` lies in this run (`in_run`: a
    // path already taken from the run's current directory); none when
    // --package's folder takes its place. Either is told.
    std::optional<std::string> Place(Reader& r, const std::string& path, const toml::node& node,
                                     const std::string& field, bool in_run = false) const {
        const std::string& from = in_run ? at : file_at;
        if (!Holds(from, path)) return path;
        if (replaced) {
            r.Tell(node, field,
                   r.Shown(path) + " is in the package folder " + r.Shown(at) + ", whose content " +
                       option + " replaces");
            return std::nullopt;
        }
        if (in_run || file_at == at) return path;
        std::string rest = path.size() > from.size()
                               ? path.substr(from.size() + (FileSystem::IsRoot(from) ? 0 : 1))
                               : "";
        std::string moved = rest.empty() ? at : at + (FileSystem::IsRoot(at) ? "" : "\\") + rest;
        r.Tell(node, field,
               r.Shown(path) + " moves with the package folder to " + r.Shown(moved) + " (--cwd)");
        return moved;
    }
};

// A library file in a folder of the machine.
std::string LibraryPath(const std::string& dir, const Bytes& name) {
    return dir + (FileSystem::IsRoot(dir) ? "" : "\\") + name;
}

void ReadModules(Reader& r, const toml::table& t, Machine& m, const PackageFolder& folder) {
    for (const auto& [key, node] : t) {
        std::string name(key.str());
        std::string where = "modules.\"" + name + "\"";
        const toml::table& mt = r.Table(node, where);
        r.Keys(mt, where, {"present", "loads", "missing", "dir"});
        std::string file, problem;
        if (!ToCodePage(name, m.codepage, &file, &problem))
            r.Fail(node, where, problem + " (expected a library file name such as \"newdev.dll\")");
        problem = WindowsNameProblem(file);
        if (file.find('\0') != std::string::npos) problem = "a name may not hold a NUL character";
        if (!problem.empty())
            r.Fail(node, where, problem + " (expected a library file name such as \"newdev.dll\")");
        r.Note(node, where);
        if (std::string unused = UnusedLibraryProblem(file); !unused.empty())
            r.Warn(node, where, unused);
        auto it = m.modules.begin();
        while (it != m.modules.end() && !(EqualNoCase(it->name, file) && !it->planted)) ++it;
        bool present = true;
        if (auto* v = mt.get("present")) present = r.Bool(*v, where + ".present");
        if (!present) {
            if (mt.size() > 1)
                r.Fail(node, where, "a library that is not present has no other settings");
            if (it != m.modules.end()) m.modules.erase(it);
            continue;
        }
        if (it == m.modules.end()) {
            m.modules.push_back({file, m.system_dir, true, false, {}});
            it = m.modules.end() - 1;
        }
        if (auto* v = mt.get("loads")) it->loads = r.Bool(*v, where + ".loads");
        if (auto* v = mt.get("dir")) {
            std::optional<std::string> placed = folder.Place(
                r, LibraryPath(r.WinPath(*v, where + ".dir"), file), *v, where + ".dir");
            if (!placed) {
                m.modules.erase(it);
                continue;
            }
            it->dir = FileSystem::Parent(*placed);
        }
        if (auto* v = mt.get("missing")) {
            const toml::array& a = r.Array(*v, where + ".missing");
            for (size_t i = 0; i < a.size(); ++i) {
                std::string field = where + ".missing[" + std::to_string(i) + "]";
                Bytes entry = r.Name(a[i], field);
                if (std::string unused = UnusedLibraryProblem(file, entry); !unused.empty())
                    r.Warn(a[i], field, unused);
                it->missing.insert(entry);
            }
        }
    }
}

void ReadFaults(Reader& r, const toml::table& root, Machine& m) {
    r.Tables(root, "faults", {"call", "nth", "count", "error"}, {"call"},
             [&](const toml::table& t, const toml::node&, const std::string& where) {
                 Fault f;
                 const toml::node& call = *t.get("call");
                 f.call = r.String(call, where + ".call");
                 const HostCall* c = FindHostCall(f.call);
                 if (!c)
                     r.Fail(call, where + ".call",
                            "no host call is named '" + f.call +
                                "' (calls that can fail: " + FaultableCallNames() + ")");
                 if (!c->can_fail)
                     r.Fail(call, where + ".call", f.call + " is not made to fail: " + c->why_not);
                 if (auto* x = t.get("nth")) f.nth = r.Count(*x, where + ".nth");
                 if (auto* x = t.get("count")) f.count = r.Count(*x, where + ".count");
                 // Left out: the call's usual error.
                 if (auto* x = t.get("error")) f.error = r.ErrorCode(*x, where + ".error");
                 m.faults.push_back(f);
             });
}

Expectation ReadExpect(Reader& r, const toml::node& node) {
    const toml::table& t = r.Table(node, "expect");
    r.Keys(t, "expect", {"outcome", "boxes", "changes", "trace", "after_restart"});
    if (t.empty())
        r.Fail(node, "expect",
               "an empty table checks nothing: give outcome, boxes, changes, trace or "
               "after_restart");
    Expectation e;
    e.line = Reader::Line(node);
    if (auto* x = t.get("outcome")) {
        static const std::set<std::string> outcomes = {"declined", "installed",          "staged",
                                                       "restart",  "no-controller",      "failed",
                                                       "nothing",  kUnpredictableOutcome};
        e.outcome = r.String(*x, "expect.outcome");
        if (!outcomes.count(*e.outcome))
            r.Fail(*x, "expect.outcome",
                   "unknown outcome '" + *e.outcome +
                       "' (declined, installed, staged, restart, no-controller, failed, "
                       "nothing, " +
                       kUnpredictableOutcome + ")");
    }
    // Texts of the machine, as any text of the file: in its code page, or
    // as { hex = ".." }.
    auto texts = [&](const toml::node& list, const std::string& field) {
        std::vector<Bytes> out;
        const toml::array& a = r.Array(list, field);
        for (size_t i = 0; i < a.size(); ++i)
            out.push_back(r.Text(a[i], field + "[" + std::to_string(i) + "]"));
        return out;
    };
    if (auto* x = t.get("boxes")) {
        std::vector<std::optional<Bytes>> boxes;
        const toml::array& a = r.Array(*x, "expect.boxes");
        for (size_t i = 0; i < a.size(); ++i) {
            std::string field = "expect.boxes[" + std::to_string(i) + "]";
            const toml::table* bt = a[i].as_table();
            if (bt && !bt->get("hex")) {
                r.Keys(*bt, field, {"absent", "hex"});
                const toml::node* absent = bt->get("absent");
                if (!absent || !r.Bool(*absent, field + ".absent"))
                    r.Fail(a[i], field, "a box without text is written { absent = true }");
                boxes.push_back(std::nullopt);
            } else {
                boxes.push_back(r.Text(a[i], field));
            }
        }
        e.boxes = boxes;
    }
    if (auto* x = t.get("changes")) e.changes = texts(*x, "expect.changes");
    if (auto* x = t.get("trace")) e.trace = texts(*x, "expect.trace");
    if (auto* x = t.get("after_restart")) e.after_restart = texts(*x, "expect.after_restart");
    return e;
}

// Settings the chosen Windows never looks at: the program on the 9x family
// loads no library and writes no trace, on NT it reads no registry.
void WarnUnobservable(Reader& r, const toml::table& root, const Machine& m) {
    bool legacy = m.os.platform == 1, nt = m.os.platform == 2;
    auto warn = [&](const char* key, bool seen_on_legacy, bool seen_on_nt) {
        const toml::node* v = root.get(key);
        if (!v || (legacy && seen_on_legacy) || (nt && seen_on_nt)) return;
        r.Warn(*v, key,
               std::string("never observed on this Windows (platform ") +
                   std::to_string(m.os.platform) + "): the program " +
                   (legacy ? "loads no library and writes no trace there"
                    : nt   ? "reads and writes no registry there"
                           : "installs nothing there"));
    };
    warn("devices", false, true);
    warn("modules", false, true);
    warn("planted", false, true);
    warn("update", false, true);
    warn("exe_dir", false, true);
    warn("stdout", false, true);
    warn("system_dir", false, true);
    warn("keys", true, false);
    warn("values", true, false);
    warn("registry_delete", true, false);
    if (const toml::node* faults = root.get("faults")) {
        unsigned flow = legacy ? unsigned{kLegacy} : nt ? unsigned{kNt} : 0u;
        const toml::array& a = *faults->as_array();
        for (size_t i = 0; i < m.faults.size() && i < a.size(); ++i) {
            const HostCall* c = FindHostCall(m.faults[i].call);
            if (c && !(c->used_by & (kStartup | flow)))
                r.Warn(a[i], "faults[" + std::to_string(i) + "].call",
                       m.faults[i].call +
                           " is never called on this Windows, so the fault cannot fire");
        }
    }
}

// The command line WinMain receives: --command-line (UTF-8) replaces the
// file's; either must be one Windows can hold.
void ApplyCommandLine(Machine& m, const std::string& file, int line, const Overrides& ov) {
    const char* field = ov.command_line ? "--command-line" : "command_line";
    if (ov.command_line) line = 0;
    if (ov.command_line) {
        std::string problem;
        if (!ToCodePage(*ov.command_line, m.codepage, &m.command_line, &problem))
            throw MachineError(file, line, field, problem);
    }
    if (m.command_line.find('\0') != std::string::npos)
        throw MachineError(file, line, field, "a command line may not hold a NUL");
    // CreateProcess takes at most 32,767 characters, program name included.
    if (m.command_line.size() > kMaxWindowsPath)
        throw MachineError(file, line, field,
                           std::to_string(m.command_line.size()) +
                               " characters, longer than Windows allows (32,767)");
}

LoadedMachine Parse(const toml::table& root, Reader& r, const Overrides& ov) {
    // Settings that another spelling now says (not listed as known keys).
    if (auto* v = root.get("exit_windows_succeeds"))
        r.Fail(*v, "exit_windows_succeeds",
               "a refused restart is written [[faults]] call = \"ExitWindowsEx\"");
    r.Keys(root, "",
           {"name",         "os",      "codepage", "windows_dir",     "system_dir", "current_dir",
            "exe_dir",      "locale",  "stdout",   "registry_delete", "answers",    "caption",
            "background",   "package", "dirs",     "files",           "remove",     "keys",
            "values",       "devices", "modules",  "planted",         "update",     "faults",
            "command_line", "expect"});

    // The locale and the code page first: every text below is read into the
    // code page, which follows the locale as on Windows unless the file
    // names one. --locale replaces the file's locale, and with it the code
    // page: Windows' ANSI code page is that of its system locale.
    uint32_t locale = 0x0409;
    if (auto* v = root.get("locale")) {
        locale = r.Locale(*v, "locale");
        if (ov.locale && *ov.locale != locale)
            r.Tell(*v, "locale",
                   LocaleText(locale) + " replaced by --locale " + LocaleText(*ov.locale));
    }
    if (ov.locale) locale = *ov.locale;
    r.codepage = AnsiCodePageOf(locale);
    if (auto* v = root.get("codepage")) {
        uint32_t named = static_cast<uint32_t>(r.Int(*v, "codepage", 1, 0xFFFF));
        if (!IsCodePage(named))
            r.Fail(*v, "codepage",
                   "not a Windows ANSI code page the simulator knows (" + CodePageList() + ")");
        if (ov.locale && named != r.codepage)
            r.Tell(*v, "codepage",
                   std::to_string(named) + " replaced by " + std::to_string(r.codepage) +
                       ", the code page of --locale " + LocaleText(locale));
        if (!ov.locale) r.codepage = named;
    }
    TextCodePageScope text(r.codepage);

    // The Windows and its directories, then the installation derived from
    // them: settings that follow from others are made once everything they
    // follow from is known, whatever the order in the file.
    OsChoice os = ReadOs(r, root.get("os"));
    if (ov.os) {
        if (!IsPreset(*ov.os))
            throw MachineError(
                r.file(), 0, "--os",
                "unknown Windows version '" + *ov.os + "' (known: " + PresetList() + ")");
        const OsVersion& v = os.version;
        const OsVersion& preset = PresetMachine(*ov.os).os;
        bool same = v.platform == preset.platform && v.major == preset.major &&
                    v.minor == preset.minor && v.build_number == preset.build_number &&
                    v.csd == preset.csd;
        if (auto* node = root.get("os"); node && !same)
            r.Tell(*node, "os",
                   (os.custom ? "platform " + std::to_string(v.platform) + ", version " +
                                    std::to_string(v.major) + "." + std::to_string(v.minor)
                              : "Windows " + os.base) +
                       " replaced by --os " + *ov.os);
        os = {*ov.os, false, PresetMachine(*ov.os).os};
    }
    std::string windows_dir, system_dir;
    if (auto* v = root.get("windows_dir")) windows_dir = r.WinPath(*v, "windows_dir");
    if (auto* v = root.get("system_dir")) system_dir = r.WinPath(*v, "system_dir");
    if (!windows_dir.empty() && system_dir.empty())
        system_dir = SystemDirOf(os.version.platform, windows_dir);
    LoadedMachine out;
    Machine& m = out.machine;
    m = PresetMachine(os.base, windows_dir, system_dir);
    m.codepage = r.codepage;
    m.os = os.version;
    TextCodePageScope platform_text(r.codepage, m.os.platform == 2);  // names fold as its Windows
    if (os.custom) m.os_name = "custom";
    m.delete_semantics = m.os.platform == 1 ? DeleteSemantics::Legacy : DeleteSemantics::Nt;
    m.source = r.file();
    if (auto* v = root.get("name"))
        m.name = r.String(*v, "name");
    else
        m.name = std::filesystem::path(r.file()).stem().string();

    if (auto* v = root.get("current_dir")) m.current_dir = r.WinPath(*v, "current_dir");
    // Where the file's package folder lies: [package] at, or the current
    // directory the file gives.
    const toml::node* package = root.get("package");
    const toml::table* package_table = package ? package->as_table() : nullptr;
    const toml::node* package_at = package_table ? package_table->get("at") : nullptr;
    PackageFolder folder;
    folder.windows = {m.windows_dir, m.system_dir};
    folder.file_at = package_at ? r.WinPath(*package_at, "package.at") : m.current_dir;
    if (ov.current_dir) {
        std::string cwd;
        try {
            cwd = WindowsPathOf(*ov.current_dir, m.codepage);
        } catch (const std::invalid_argument& e) {
            throw MachineError(r.file(), 0, "--cwd", e.what());
        }
        if (auto* v = root.get("current_dir"); v && cwd != m.current_dir)
            r.Tell(*v, "current_dir",
                   r.Shown(m.current_dir) + " replaced by --cwd " + r.Shown(cwd) +
                       (package_at ? "" : "; the package folder moves with it"));
        m.current_dir = cwd;
    }
    folder.at = package_at ? folder.file_at : m.current_dir;
    folder.replaced = ov.package.has_value();
    folder.option = ov.package ? "--package " + *ov.package : "--cwd";
    if (auto* v = root.get("exe_dir")) m.exe_dir = r.WinPath(*v, "exe_dir");
    m.locale = locale;
    if (auto* v = root.get("stdout")) m.has_stdout = r.Bool(*v, "stdout");
    int command_line_at = 0;
    if (auto* v = root.get("command_line")) {
        m.command_line = r.Text(*v, "command_line");
        command_line_at = static_cast<int>(v->source().begin.line);
        std::string given, problem;
        if (ov.command_line && !(ToCodePage(*ov.command_line, r.codepage, &given, &problem) &&
                                 given == m.command_line))
            r.Tell(*v, "command_line", "replaced by --command-line");
    }
    ApplyCommandLine(m, r.file(), command_line_at, ov);
    if (auto* v = root.get("registry_delete")) {
        std::string s = r.String(*v, "registry_delete");
        if (s == "legacy")
            m.delete_semantics = DeleteSemantics::Legacy;
        else if (s == "nt")
            m.delete_semantics = DeleteSemantics::Nt;
        else
            r.Fail(*v, "registry_delete", "expected \"legacy\" or \"nt\"");
    }
    if (auto* v = root.get("answers")) {
        const toml::array& a = r.Array(*v, "answers");
        for (size_t i = 0; i < a.size(); ++i) {
            std::string field = "answers[" + std::to_string(i) + "]";
            std::string s = r.String(a[i], field);
            if (s != "yes" && s != "no") r.Fail(a[i], field, "expected \"yes\" or \"no\"");
            m.answers.push_back(s == "yes");
        }
        if (ov.answers && *ov.answers != m.answers)
            r.Tell(*v, "answers",
                   ov.ask ? "not used: --ask asks every question" : "replaced by --answer");
    }
    if (ov.answers) m.answers = *ov.answers;
    if (auto* v = root.get("caption")) {
        if (v->is_boolean()) {
            if (r.Bool(*v, "caption")) r.Fail(*v, "caption", "give a text, or false for none");
            m.strings.erase(IDS_CAPTION);
        } else {
            m.strings[IDS_CAPTION] = r.Text(*v, "caption");
            // A string resource holds at most 65,535 characters.
            if (m.strings[IDS_CAPTION].size() > 65535)
                r.Fail(*v, "caption",
                       std::to_string(m.strings[IDS_CAPTION].size()) +
                           " characters, more than a string resource holds (65,535)");
        }
    }
    if (auto* v = root.get("background"); v && !r.Bool(*v, "background")) {
        m.devices.clear();
        if (RegKey* e = FindKeyPath(m.hklm.get(), "Enum")) m.hklm->Remove(e);
    }

    // The driver package: the example package in the current directory unless
    // told otherwise. --package replaces the folder's content as a whole:
    // where the file takes it from, what it leaves out, and (below) every
    // entry of the file in that folder.
    std::string from;
    std::vector<std::string> omit;
    const toml::node* omit_node = nullptr;
    bool mount = true;
    if (package) {
        if (package->is_boolean()) {
            mount = r.Bool(*package, "package");
            if (!mount && ov.package)
                r.Tell(*package, "package",
                       "false replaced by " + folder.option + ", mounted at " + r.Shown(folder.at));
        } else {
            const toml::table& t = r.Table(*package, "package");
            r.Keys(t, "package", {"from", "at", "omit"});
            if (auto* f = t.get("from")) {
                from = r.HostPath(*f, "package.from");
                if (ov.package)
                    r.Tell(*f, "package.from",
                           Visible(from, kUtf8) + " replaced by " + folder.option);
            }
            if (auto* o = t.get("omit")) {
                omit = r.Strings(*o, "package.omit");
                omit_node = o;
                if (ov.package) {
                    r.Tell(*o, "package.omit",
                           "not applied: " + folder.option + " gives the folder as it is");
                    omit.clear();
                }
            }
        }
    }
    if (ov.package) {
        from = *ov.package;
        mount = true;
    }
    if (mount) {
        try {
            if (from.empty()) from = DefaultPackageDir();
            std::vector<size_t> unmatched = MountPackage(m, from, folder.at, omit);
            const toml::array* a = omit_node ? omit_node->as_array() : nullptr;
            for (size_t i : unmatched)
                r.Warn(a ? *a->get(i) : *omit_node, "package.omit[" + std::to_string(i) + "]",
                       "'" + Visible(omit[i], kUtf8) + "' matches nothing in the package folder " +
                           Visible(from, kUtf8));
        } catch (const std::runtime_error& e) {
            if (ov.package) throw MachineError(*ov.package, 0, "--package", e.what());
            r.Fail(package ? *package : static_cast<const toml::node&>(root), "package", e.what());
        }
    }
    if (!m.files.MakeDirs(m.current_dir))
        throw MachineError(r.file(), 0, "current_dir", "a file of the machine is in the way");

    r.Tables(root, "dirs", {"path"}, {"path"},
             [&](const toml::table& t, const toml::node& node, const std::string& where) {
                 const toml::node& at = *t.get("path");
                 std::optional<std::string> path =
                     folder.Place(r, r.WinPath(at, where + ".path"), at, where);
                 if (path && !m.files.MakeDirs(*path))
                     r.Fail(node, where + ".path", "a file of the machine is in the way");
             });
    // A file given by its size and CRC-32 (as vntrcapture writes it) takes
    // the contents of a file of that name, size and CRC in the package
    // folders the simulator knows: --package's, the file's, the example
    // package; otherwise placeholder bytes of that size and CRC.
    std::optional<std::vector<PackageEntry>> known;
    auto known_contents = [&](const std::string& path, size_t size, uint32_t crc) {
        if (!known) {
            known.emplace();
            std::vector<std::string> dirs = {from};
            try {
                dirs.push_back(DefaultPackageDir());
            } catch (const std::runtime_error&) {
            }
            for (const std::string& dir : dirs) {
                try {
                    std::vector<PackageEntry> entries = ReadPackageFolder(dir);
                    known->insert(known->end(), entries.begin(), entries.end());
                } catch (const std::runtime_error&) {
                    // Not there: its files cannot stand for any.
                }
            }
        }
        std::string name = path.substr(FindLastBackslash(path) + 1);
        for (const PackageEntry& entry : *known) {
            // The host's name (UTF-8) as the machine writes it, then compared
            // as Windows compares names.
            std::string entry_name, unwritable;
            if (!ToCodePage(entry.relative.substr(entry.relative.find_last_of('/') + 1), r.codepage,
                            &entry_name, &unwritable))
                continue;
            if (!entry.dir && EqualNoCase(entry_name, name) && entry.data.size() == size &&
                Crc32(0, entry.data.data(), size) == crc)
                return FileData(entry.data);
        }
        return FileData::Placeholder(size, crc);
    };
    r.Tables(root, "files", {"path", "text", "hex", "from", "size", "crc32", "error"}, {"path"},
             [&](const toml::table& t, const toml::node& node, const std::string& where) {
                 const toml::node& at = *t.get("path");
                 std::optional<std::string> placed =
                     folder.Place(r, r.WinPath(at, where + ".path"), at, where);
                 std::string path = placed ? *placed : std::string();
                 int sources = 0;
                 FileData data;
                 if (auto* x = t.get("text")) data = r.Text(*x, where + ".text"), ++sources;
                 if (auto* x = t.get("hex")) data = r.Hex(*x, where + ".hex"), ++sources;
                 if (auto* x = t.get("from")) {
                     std::string host = r.HostPath(*x, where + ".from");
                     try {
                         data = ReadHostFile(host, kHostFileCap);
                     } catch (const HostFileError& e) {
                         r.Fail(*x, where + ".from", e.what());
                     }
                     ++sources;
                 }
                 const toml::node* crc = t.get("crc32");
                 if (auto* x = t.get("size")) {
                     if (!crc) r.Fail(node, where, "a size goes with its crc32");
                     size_t size = static_cast<size_t>(
                         r.Int(*x, where + ".size", 0, static_cast<int64_t>(kHostFileCap)));
                     uint32_t sum = r.U32(*crc, where + ".crc32");
                     if (placed) data = known_contents(path, size, sum);
                     ++sources;
                 } else if (crc) {
                     r.Fail(*crc, where + ".crc32", "a crc32 goes with a size");
                 }
                 uint32_t error = 0;
                 if (auto* x = t.get("error")) error = r.ErrorCode(*x, where + ".error");
                 if (sources > 1 || (sources == 0 && !error))
                     r.Fail(node, where,
                            "give exactly one of text, hex, from or size (with crc32), or an "
                            "error for a file that cannot be read");
                 if (placed && !m.files.PutFile(path, data, error))
                     r.Fail(node, where + ".path",
                            "a directory or file of the machine is in the way");
             });
    if (auto* v = root.get("remove")) {
        const toml::array& a = r.Array(*v, "remove");
        for (size_t i = 0; i < a.size(); ++i) {
            std::string field = "remove[" + std::to_string(i) + "]";
            std::optional<std::string> path = folder.Place(r, r.WinPath(a[i], field), a[i], field);
            if (path && !m.files.Remove(*path))
                r.Fail(a[i], field, "no such file or directory in the machine");
        }
    }

    // A registry key name is at most 255 characters, and a tree at most 512
    // levels deep.
    auto key_path = [&](const toml::node& node, const std::string& field) {
        Bytes path = r.Name(node, field);
        size_t depth = 0;
        for (size_t start = 0; start <= path.size(); ++depth) {
            size_t end = FindBackslash(path, start);
            if (end == std::string::npos) end = path.size();
            if (end == start) r.Fail(node, field, "a key path may not have an empty part");
            if (end - start > 255) r.Fail(node, field, "a key name is longer than 255 characters");
            start = end + 1;
        }
        if (depth > 512) r.Fail(node, field, "deeper than the 512 levels a registry holds");
        return path;
    };
    r.Tables(root, "keys", {"path", "error"}, {"path"},
             [&](const toml::table& t, const toml::node&, const std::string& where) {
                 RegKey* key = MakeKeyPath(m.hklm.get(), key_path(*t.get("path"), where + ".path"));
                 if (auto* x = t.get("error")) key->open_error = r.ErrorCode(*x, where + ".error");
             });
    r.Tables(
        root, "values", {"key", "name", "type", "text", "hex", "dword", "error"}, {"key", "name"},
        [&](const toml::table& t, const toml::node& node, const std::string& where) {
            RegValue value;
            value.name = r.Name(*t.get("name"), where + ".name");
            if (value.name.size() > 16383)
                r.Fail(*t.get("name"), where + ".name",
                       "longer than the 16,383 characters a value name may have");
            int sources = 0;
            if (auto* x = t.get("text")) {
                value.data = r.Text(*x, where + ".text") + '\0';
                value.type = 1;
                ++sources;
            }
            if (auto* x = t.get("hex")) {
                value.data = r.Hex(*x, where + ".hex");
                value.type = 3;
                ++sources;
            }
            if (auto* x = t.get("dword")) {
                uint32_t d = r.U32(*x, where + ".dword");
                value.data = Bytes(reinterpret_cast<const char*>(&d), 4);
                value.type = 4;
                ++sources;
            }
            if (auto* x = t.get("error")) {
                value.error = r.ErrorCode(*x, where + ".error");
                if (t.get("type")) r.Fail(*x, where, "a value that cannot be read has no type");
                ++sources;
            }
            if (sources != 1)
                r.Fail(node, where,
                       "give exactly one of text, hex or dword, or an error for a value that "
                       "cannot be read");
            if (auto* x = t.get("type")) value.type = RegType(r, *x, where + ".type");
            MakeKeyPath(m.hklm.get(), key_path(*t.get("key"), where + ".key"))->SetValue(value);
        });
    out.preset_devices = m.devices.size();
    ReadDevices(r, root, m);
    if (auto* v = root.get("modules")) ReadModules(r, r.Table(*v, "modules"), m, folder);
    // A planted library lies in the current directory unless the file says
    // where: a library in the package folder is part of its content.
    r.Tables(root, "planted", {"name", "dir"}, {"name"},
             [&](const toml::table& t, const toml::node& node, const std::string& where) {
                 Bytes name = r.FileName(*t.get("name"), where + ".name", "setupapi.dll");
                 if (std::string unused = UnusedLibraryProblem(name); !unused.empty())
                     r.Warn(*t.get("name"), where + ".name", unused);
                 const toml::node* d = t.get("dir");
                 std::string dir = d ? r.WinPath(*d, where + ".dir") : m.current_dir;
                 std::optional<std::string> placed =
                     folder.Place(r, LibraryPath(dir, name), d ? *d : node, where, !d);
                 if (placed)
                     m.modules.push_back({name, FileSystem::Parent(*placed), true, true, {}});
             });
    if (auto* v = root.get("update")) {
        const toml::table& t = r.Table(*v, "update");
        m.update.given = true;
        for (const char* old : {"result", "error"})
            if (auto* x = t.get(old))
                r.Fail(*x, std::string("update.") + old,
                       "a failing update is written [[faults]] call = "
                       "\"UpdateDriverForPlugAndPlayDevicesA\" with its error");
        r.Keys(t, "update", {"reboot", "check"});
        if (auto* x = t.get("reboot")) m.update.reboot = r.Bool(*x, "update.reboot");
        if (auto* x = t.get("check")) m.update.check = r.Bool(*x, "update.check");
    }
    ReadFaults(r, root, m);
    if (auto* v = root.get("expect")) out.expect = ReadExpect(r, *v);

    WarnUnobservable(r, root, m);
    out.settings = std::move(r.settings);
    out.warnings = std::move(r.warnings);
    out.notes = std::move(r.notes);
    return out;
}

// toml++ limits how deeply arrays and inline tables nest, but not how many
// parts a dotted key or table header has: `a.b.b.b...` with some tens of
// thousands of parts makes a table tree that deep, and the parser's own
// recursion overflows the stack. A machine file needs three parts at most
// (`modules."setupapi.dll".missing`), so longer chains are refused before
// parsing. The scan follows TOML's lexical rules only as far as needed:
// strings (where dots are text) and comments; a number such as 1.5 counts
// as two parts, a time such as 07:32:00.5 as two.
constexpr size_t kMaxKeyParts = 64;

void CheckDottedKeys(const std::string& text, const std::string& source) {
    auto is_bare = [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '_' || c == '-';
    };
    size_t parts = 0, i = 0, n = text.size();
    int line = 1;
    bool after_dot = false;
    auto segment = [&]() {
        parts = after_dot ? parts + 1 : 1;
        after_dot = false;
        if (parts > kMaxKeyParts)
            throw MachineError(source, line, "",
                               "a dotted key or table header of more than " +
                                   std::to_string(kMaxKeyParts) + " parts");
    };
    // Skips a string that starts at i; counts the lines it spans.
    auto skip_string = [&]() {
        char quote = text[i];
        bool triple = text.compare(i, 3, std::string(3, quote)) == 0;
        i += triple ? 3 : 1;
        while (i < n) {
            char c = text[i];
            if (c == '\\' && quote == '"') {
                if (i + 1 < n && text[i + 1] == '\n') ++line;
                i += 2;
                continue;
            }
            if (c == '\n') {
                ++line;
                if (!triple) return;  // an unclosed string: the parser says so
            }
            if (c == quote && (!triple || text.compare(i, 3, std::string(3, quote)) == 0)) {
                i += triple ? 3 : 1;
                return;
            }
            ++i;
        }
    };
    while (i < n) {
        char c = text[i];
        if (c == '"' || c == '\'') {
            skip_string();
            segment();
        } else if (is_bare(c)) {
            while (i < n && is_bare(text[i])) ++i;
            segment();
        } else if (c == '.') {
            after_dot = true;
            ++i;
        } else if (c == ' ' || c == '\t') {
            ++i;
        } else if (c == '#') {
            while (i < n && text[i] != '\n') ++i;
        } else {
            if (c == '\n') ++line;
            parts = 0;
            after_dot = false;
            ++i;
        }
    }
}

}  // namespace

LoadedMachine ParseMachine(const std::string& toml_text, const std::string& source,
                           const std::string& base_dir, const Overrides& overrides) {
    CheckDottedKeys(toml_text, source);
    toml::table root;
    try {
        root = toml::parse(toml_text, source);
    } catch (const toml::parse_error& e) {
        throw MachineError(source, static_cast<int>(e.source().begin.line), "",
                           std::string(e.description()));
    }
    Reader r(source, base_dir);
    // A setting per line, about: room a large file's settings do not take
    // is never touched.
    r.settings.reserve(static_cast<size_t>(std::count(toml_text.begin(), toml_text.end(), '\n')) +
                       1);
    return Parse(root, r, overrides);
}

LoadedMachine LoadMachineFile(const std::string& path, const Overrides& overrides) {
    std::string text;
    try {
        text = path == "-" ? ReadHostStream(0, kMachineFileCap, "standard input")
                           : ReadHostFile(path, kMachineFileCap);
    } catch (const HostFileError& e) {
        std::string what = e.what();
        // The message already names the file; keep only the reason.
        std::string prefix = (path == "-" ? std::string("standard input") : path) + ": ";
        if (what.rfind(prefix, 0) == 0) what = what.substr(prefix.size());
        throw MachineError(path == "-" ? "(standard input)" : path, 0, "", what);
    }
    std::string base = path == "-" ? "." : std::filesystem::path(path).parent_path().string();
    return ParseMachine(text, path == "-" ? "(standard input)" : path, base.empty() ? "." : base,
                        overrides);
}

LoadedMachine BuiltInMachine(const std::string& os, const Overrides& overrides) {
    LoadedMachine out;
    Machine& m = out.machine;
    std::string cwd;
    uint32_t locale = overrides.locale ? *overrides.locale : 0x0409;
    TextCodePageScope text(AnsiCodePageOf(locale));
    if (overrides.current_dir) {
        try {
            cwd = WindowsPathOf(*overrides.current_dir, AnsiCodePageOf(locale));
        } catch (const std::invalid_argument& e) {
            throw MachineError("(built-in machine)", 0, "--cwd", e.what());
        }
    }
    try {
        m = DefaultMachine(os, cwd, overrides.package ? *overrides.package : "", locale);
    } catch (const std::runtime_error& e) {
        throw MachineError(overrides.package ? *overrides.package : DefaultPackageDir(), 0,
                           "--package", e.what());
    }
    ApplyCommandLine(m, "(built-in machine)", 0, overrides);
    if (overrides.answers) m.answers = *overrides.answers;
    return out;
}

}  // namespace sim

namespace sim {

namespace {

std::string HexOf(const Bytes& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

}  // namespace

namespace {

// One key of the registry without its subkeys: its name, the error a file
// plans for it, its values (see RegistryJson).
json KeyJson(const RegKey& key, RegistryForm form) {
    const bool machine = form == RegistryForm::kMachine;
    json out;
    out["name"] = Text(key.name);
    if (machine && key.open_error) out["error"] = key.open_error;
    if (machine || !key.Values().empty()) {
        json& values = out["values"] = json::array();
        for (const auto& v : key.Values()) {
            values.push_back({{"name", Text(v.name)}, {"type", v.type}});
            if (machine)
                values.back()["hex"] = HexOf(v.data);
            else
                values.back()["data"] = Text(v.data);
            if (machine && v.error) values.back()["error"] = v.error;
        }
    }
    return out;
}

// JSON written as it is made, laid out as nlohmann's dump(2) lays it out:
// a machine of 100,000 keys or devices is never held as one tree, and the
// text goes out in pieces of about a megabyte. The containers opened and
// not yet closed make a stack; its depth is the indent.
class JsonWriter {
   public:
    explicit JsonWriter(std::ostream& out) : out_(out) {}
    ~JsonWriter() { out_ << text_; }

    void Open(char bracket) {
        text_ += bracket;
        empty_.push_back(true);
    }
    void Close(char bracket) {
        bool empty = empty_.back();
        empty_.pop_back();
        if (!empty) NewLine(empty_.size());
        text_ += bracket;
        Flush();
    }
    // The next member of the open object: its name.
    void Key(const std::string& name) {
        Next();
        text_ += json(name).dump(-1, ' ', false, json::error_handler_t::replace);
        text_ += ": ";
    }
    // A whole value: an element of the open array, or after Key().
    void Value(const json& value, bool element = false) {
        if (element) Next();
        std::string v = value.dump(2, ' ', false, json::error_handler_t::replace);
        size_t indent = 2 * empty_.size();
        for (char c : v) {
            text_ += c;
            if (c == '\n') text_.append(indent, ' ');
        }
        Flush();
    }
    void Member(const std::string& name, const json& value) {
        Key(name);
        Value(value);
    }
    // Where the next element of the open array begins, for one that is
    // written in pieces.
    void Element() { Next(); }

   private:
    void Flush() {
        if (text_.size() < (1 << 20)) return;
        out_ << text_;
        text_.clear();
    }
    void Next() {
        if (!empty_.back()) text_ += ',';
        empty_.back() = false;
        NewLine(empty_.size());
    }
    void NewLine(size_t level) {
        text_ += '\n';
        text_.append(2 * level, ' ');
    }
    std::ostream& out_;
    std::string text_;
    std::vector<bool> empty_;
};

// The registry below `top` in the machine's form, one key after another;
// iterative, as a registry may be 512 levels deep.
void WriteRegistry(JsonWriter& w, const RegKey& top) {
    struct Step {
        const RegKey* key;
        size_t next;  // the subkey to write next
    };
    std::vector<Step> pending;
    auto open = [&](const RegKey& key) {
        w.Open('{');
        json fields = KeyJson(key, RegistryForm::kMachine);
        for (const auto& [name, value] : fields.items()) w.Member(name, value);
        w.Key("subkeys");
        w.Open('[');
        pending.push_back({&key, 0});
    };
    open(top);
    while (!pending.empty()) {
        Step& step = pending.back();
        if (step.next < step.key->SubkeyCount()) {
            const RegKey& sub = *step.key->SubkeyAt(step.next++);
            w.Element();
            open(sub);
            continue;
        }
        pending.pop_back();
        w.Close(']');
        w.Close('}');
    }
}

}  // namespace

json RegistryJson(const RegKey& top, RegistryForm form) {
    json root;
    std::vector<std::pair<const RegKey*, json*>> pending = {{&top, &root}};
    while (!pending.empty()) {
        auto [key, out] = pending.back();
        pending.pop_back();
        *out = KeyJson(*key, form);
        if (form == RegistryForm::kMachine || key->SubkeyCount() > 0) {
            json& subs = (*out)["subkeys"] = json::array();
            for (size_t i = 0; i < key->SubkeyCount(); ++i) subs.push_back(json::object());
            for (size_t i = 0; i < key->SubkeyCount(); ++i)
                pending.push_back({key->SubkeyAt(i).get(), &subs[i]});
        }
    }
    return root;
}

// The dump shows a file's bytes (in hex) up to this size, and the bytes of
// all files up to this total; every other file by its size and CRC-32, so
// that the largest package the caps allow dumps in tens of megabytes.
constexpr size_t kDumpFileBytes = size_t{1} << 20;
constexpr size_t kDumpBytes = size_t{4} << 20;

void WriteMachineDump(std::ostream& out, const LoadedMachine& loaded) {
    const Machine& m = loaded.machine;
    JsonWriter w(out);
    w.Open('{');
    w.Member("name", m.name);
    w.Member("source", m.source);
    w.Member("os", {{"name", m.os_name},
                    {"platform", m.os.platform},
                    {"major", m.os.major},
                    {"minor", m.os.minor},
                    {"build_number", m.os.build_number},
                    {"csd", Text(m.os.csd)}});
    w.Member("windows_dir", Text(m.windows_dir));
    w.Member("system_dir", Text(m.system_dir));
    w.Member("current_dir", Text(m.current_dir));
    w.Member("exe_dir", Text(m.exe_dir));
    w.Member("locale", m.locale);
    w.Member("codepage", m.codepage);
    w.Member("unix_locale", {{"name", UnixLocaleOf(m.locale).name},
                             {"locale", UnixLocaleOf(m.locale).locale},
                             {"codepage", AnsiCodePageOf(UnixLocaleOf(m.locale).locale)}});
    w.Member("stdout", m.has_stdout);
    w.Member("registry_delete", m.delete_semantics == DeleteSemantics::Legacy ? "legacy" : "nt");
    w.Member("command_line", Text(m.command_line));
    json strings = json::object();
    for (const auto& [id, text] : m.strings) strings[std::to_string(id)] = Text(text);
    w.Member("strings", strings);

    w.Key("files");
    w.Open('[');
    size_t shown = 0;
    m.files.ForEach([&](const std::string& path, const FileSystem::Node& node) {
        json f = {{"path", Text(path)}, {"dir", node.dir}};
        if (!node.dir) {
            const FileData& data = node.data;
            if (data.size() <= kDumpFileBytes && data.size() <= kDumpBytes - shown) {
                f["hex"] = HexOf(data.Read());
                // Made-up bytes are said to be, shown or not.
                if (data.placeholder()) f["placeholder"] = true;
                shown += data.size();
            } else {
                f["size"] = data.size();
                f["crc32"] = data.Crc32();
                f["placeholder"] = data.placeholder();
                f["bytes_left_out"] =
                    data.size() > kDumpFileBytes
                        ? "larger than " + std::to_string(kDumpFileBytes) + " bytes"
                        : "the dump shows " + std::to_string(kDumpBytes) +
                              " bytes of files at most";
            }
        }
        if (node.open_error) f["error"] = node.open_error;
        w.Value(f, true);
    });
    w.Close(']');

    w.Key("registry");
    WriteRegistry(w, *m.hklm);

    w.Key("devices");
    w.Open('[');
    for (size_t i = 0; i < m.devices.size(); ++i) {
        const Device& d = m.devices[i];
        json j;
        // Where the device comes from: the file's [[devices]], or the preset.
        j["field"] = i < loaded.preset_devices
                         ? json(nullptr)
                         : json("devices[" + std::to_string(i - loaded.preset_devices) + "]");
        j["hardware_ids_hex"] = d.hardware_ids ? json(HexOf(*d.hardware_ids)) : json(nullptr);
        j["reported_size"] = d.reported_size ? json(*d.reported_size) : json(nullptr);
        j["insufficient_forever"] = d.insufficient_forever;
        j["size_query_succeeds"] = d.size_query_succeeds;
        j["present"] = d.present;
        j["error"] = d.read_error ? json(d.read_error) : json(nullptr);
        w.Value(j, true);
    }
    w.Close(']');

    json modules = json::array();
    for (const Module& mod : m.modules) {
        json missing = json::array();
        for (const auto& name : mod.missing) missing.push_back(Text(name));
        modules.push_back({{"name", Text(mod.name)},
                           {"dir", Text(mod.dir)},
                           {"loads", mod.loads},
                           {"planted", mod.planted},
                           {"missing", missing}});
    }
    w.Member("modules", modules);
    w.Member("update", {{"reboot", m.update.reboot}, {"check", m.update.check}});
    json answers = json::array();
    for (bool a : m.answers) answers.push_back(a ? "yes" : "no");
    w.Member("answers", answers);
    w.Key("faults");
    w.Open('[');
    for (const Fault& f : m.faults)
        w.Value({{"call", f.call}, {"nth", f.nth}, {"count", f.count}, {"error", f.error}}, true);
    w.Close(']');
    w.Key("settings");
    w.Open('[');
    for (const Setting& s : loaded.settings) w.Value({{"field", s.field}, {"line", s.line}}, true);
    w.Close(']');
    w.Member("warnings", loaded.warnings);
    w.Member("notes", loaded.notes);
    w.Close('}');
}

json DumpMachine(const LoadedMachine& loaded) {
    std::ostringstream text;
    WriteMachineDump(text, loaded);
    return json::parse(text.str());
}

}  // namespace sim
