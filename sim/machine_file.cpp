#include "sim/machine_file.h"

#include <malloc.h>
#include <toml++/toml.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "common/crc32.h"
#include "common/product.h"
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
    ForEachPart(abs, 3, [](const std::string& part) {
        if (part.size() > 255)
            throw std::invalid_argument("a part of the path is longer than 255 characters");
        std::string problem = WindowsNameProblem(part);
        if (!problem.empty()) throw std::invalid_argument(problem);
        return true;
    });
    return abs;
}

namespace {

// The names a problem offers, joined by ", ".
template <typename Names>
std::string Listed(const Names& names) {
    std::string out;
    for (const auto& name : names) out += (out.empty() ? "" : ", ") + std::string(name);
    return out;
}

// A text given as its bytes: { hex = ".." }.
const std::set<std::string> kHexKeys = {"hex"};

class Reader {
   public:
    Reader(std::string file, std::string base_dir)
        : file_(std::move(file)), base_(std::move(base_dir)) {}

    uint32_t codepage = 1252;
    SettingList settings;
    std::vector<std::string> warnings;
    std::vector<std::string> notes;

    [[noreturn]] void Fail(const toml::node& node, const std::string& field,
                           const std::string& problem) const {
        throw MachineError(file_, Line(node), field, problem);
    }

    static int Line(const toml::node& node) { return static_cast<int>(node.source().begin.line); }

    // "FILE:LINE: FIELD: ", where a warning or a note about a setting begins.
    std::string At(const toml::node& node, const std::string& field) const {
        return file_ + ":" + std::to_string(Line(node)) + ": " + field + ": ";
    }

    // A warning of the setting at `node`; an empty text is none.
    void Warn(const toml::node& node, const std::string& field, const std::string& text) {
        if (!text.empty()) warnings.push_back(At(node, field) + text);
    }

    // What an option of the command line did to a setting of the file.
    void Tell(const toml::node& node, const std::string& field, const std::string& text) {
        notes.push_back(At(node, field) + text);
    }

    // A path of the machine as a person reads it.
    std::string Shown(const Bytes& path) const { return Visible(path, codepage); }

    // A setting the file gives; an option's value (line 0) is none.
    void Note(const toml::node& node, const std::string& field) {
        if (Line(node) > 0) settings.push_back(field, Line(node));
    }

    void Keys(const toml::table& table, const std::string& where,
              const std::set<std::string>& allowed) const {
        for (const auto& [key, value] : table) {
            std::string name(key.str());
            if (!allowed.count(name))
                Fail(value, Join(where, name), "unknown key (known here: " + Listed(allowed) + ")");
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

    // Calls each(element, its field: "field[i]") for every element of the
    // array.
    template <typename Each>
    void Elements(const toml::node& node, const std::string& field, Each each) const {
        const toml::array& a = Array(node, field);
        for (size_t i = 0; i < a.size(); ++i) each(a[i], Index(field, i));
    }

    static std::string Index(const std::string& field, size_t i) {
        return field + "[" + std::to_string(i) + "]";
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
            Keys(t, field, kHexKeys);
            const toml::node* hex = t.get("hex");
            if (!hex) Fail(node, field, "a text given as a table is { hex = \"..\" }");
            return Hex(*hex, field + ".hex");
        }
        std::string utf8 = String(node, field), out, problem;
        if (!ToCodePage(utf8, codepage, &out, &problem))
            Fail(node, field,
                 Line(node) > 0 ? problem + "; use hex = \"..\" for raw bytes" : problem);
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
            int v = HexDigitValue(c);
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
        Elements(node, field,
                 [&](const toml::node& v, const std::string& f) { out.push_back(String(v, f)); });
        return out;
    }

    const std::string& file() const { return file_; }

   private:
    std::string file_;
    std::string base_;
};

uint32_t RegType(Reader& r, const toml::node& node, const std::string& field) {
    if (node.is_integer()) return r.U32(node, field);
    std::string name = r.String(node, field);
    std::optional<uint32_t> type = RegTypeOf(name);
    if (!type)
        r.Fail(node, field,
               "unknown value type '" + name + "' (" + RegTypeNames() + " or a number)");
    return *type;
}

// The Windows a file describes, before anything is built on it.
struct OsChoice {
    std::string base = "xp";
    bool custom = false;
    OsVersion version = PresetMachine("xp").os;
};

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
        std::string moved = rest.empty() ? at : FileSystem::Join(at, rest);
        r.Tell(node, field,
               r.Shown(path) + " moves with the package folder to " + r.Shown(moved) + " (--cwd)");
        return moved;
    }
};

// What is mounted as the package folder: the host folder (empty: the
// example package), what it leaves out, or nothing at all.
struct Mount {
    bool on = true;
    std::string from;
    std::vector<std::string> omit;
    const toml::node* omit_node = nullptr;
};

// A file being read: the reader, the file's root table, the command line's
// settings, and the machine as its keys build it.
struct Load {
    Load(Reader& reader, const toml::table& file, const Overrides& options)
        : r(reader), root(file), ov(options) {}
    Reader& r;
    const toml::table& root;
    const Overrides& ov;
    // While an option is applied: the file's setting it replaces (none when
    // the file gives none).
    bool by_option = false;
    const toml::node* replaced = nullptr;

    LoadedMachine out;
    Machine& m = out.machine;
    uint32_t locale = 0x0409;
    OsChoice os;
    std::string windows_dir, system_dir;
    std::string file_cwd;  // the current directory the file gives
    PackageFolder folder;
    Mount mount;
    // The package files the simulator knows, read once a file given by its
    // size and CRC-32 asks (see KnownContents).
    std::optional<std::vector<PackageEntry>> known;
};

// ---- the keys of a table, one row each -----------------------------------

// One entry of a table being read: where it is, its table and node, and
// what its rows have counted and decided.
struct Entry {
    std::string where;  // "devices[2]"
    const toml::table* table = nullptr;
    const toml::node* node = nullptr;
    int sources = 0;       // keys given that say what the entry holds
    bool dropped = false;  // the entry is no part of this run: read no further
};

// One key of a table: its name, what it takes (as docs/machine-files.md
// says), and how it is read into the entry.
template <typename T>
struct Field {
    const char* name;
    const char* takes;
    void (*read)(Load&, T&, const toml::node& value, const std::string& field);
};

// The keys of one kind of table, in the order they are read; the keys it
// must have; what the entry, once read, does to the machine; and the rule
// that joins them, checked once `check_after` has been read.
template <typename T>
struct TableKeys {
    const char* doc;  // the heading of docs/machine-files.md that names them
    std::vector<Field<T>> fields;
    std::vector<std::string> required = {};
    void (*apply)(Load&, T&) = nullptr;
    const char* check_after = nullptr;
    void (*check)(Load&, T&) = nullptr;

    std::set<std::string> Names() const {
        std::set<std::string> names;
        for (const Field<T>& f : fields) names.insert(f.name);
        return names;
    }
};

// A row of TableKeys<T>: the statements that read the key's value `v`
// (its field `f`) into the entry `e`.
#define ROW(T, name, takes, ...)                                                     \
    {                                                                                \
        name, takes,                                                                 \
            []([[maybe_unused]] Load& l, [[maybe_unused]] T& e, const toml::node& v, \
               [[maybe_unused]] const std::string& f) { __VA_ARGS__; }               \
    }

// `names`: keys.Names(), which an array of many tables makes once.
template <typename T>
void ReadTable(Load& l, const TableKeys<T>& keys, T& entry, const toml::node& node,
               const std::string& where, const std::set<std::string>& names) {
    const toml::table& t = l.r.Table(node, where);
    l.r.Keys(t, where, names);
    for (const auto& key : keys.required)
        if (!t.get(key)) l.r.Fail(node, where, "missing key '" + key + "'");
    entry.where = where;
    entry.table = &t;
    entry.node = &node;
    for (const Field<T>& f : keys.fields) {
        if (entry.dropped) return;
        if (const toml::node* v = t.get(f.name)) f.read(l, entry, *v, where + "." + f.name);
        if (keys.check_after && std::string(f.name) == keys.check_after) keys.check(l, entry);
    }
    if (keys.apply && !entry.dropped) keys.apply(l, entry);
}

// An array of tables: each read as an entry of its own.
template <typename T>
void ReadEntries(Load& l, const TableKeys<T>& keys, const toml::node& node,
                 const std::string& name) {
    const std::set<std::string> names = keys.Names();
    l.r.Elements(node, name, [&](const toml::node& v, const std::string& where) {
        T entry;
        ReadTable(l, keys, entry, v, where, names);
    });
}

// ---- the Windows: [os] --------------------------------------------------------

struct OsEntry : Entry {
    OsChoice c;
    bool build_number = false;
};

std::string PresetName(Reader& r, const toml::node& node, const std::string& field) {
    std::string name = r.String(node, field);
    if (!IsPreset(name))
        r.Fail(node, field,
               "unknown Windows version '" + name + "' (known: " + Listed(PresetNames()) + ")");
    return name;
}

const TableKeys<OsEntry> kOsKeys = {
    "### os",
    {ROW(OsEntry, "base", "a preset name", e.c.base = PresetName(l.r, v, f);
         e.c.version = PresetMachine(e.c.base).os),
     ROW(OsEntry, "platform", "1 or 2", e.c.version.platform = l.r.U32(v, f)),
     ROW(OsEntry, "major", "a number", e.c.version.major = l.r.U32(v, f)),
     ROW(OsEntry, "minor", "a number", e.c.version.minor = l.r.U32(v, f)),
     ROW(OsEntry, "build_number", "a number", e.c.version.build_number = l.r.U32(v, f);
         e.build_number = true),
     {"build", "a number to 65535",
      [](Load& l, OsEntry& e, const toml::node& v, const std::string& f) {
          if (e.build_number) l.r.Fail(v, f, "give build or build_number, not both");
          OsVersion& o = e.c.version;
          uint32_t build = static_cast<uint32_t>(l.r.Int(v, f, 0, 0xFFFF));
          o.build_number = o.platform == 1 ? Build9x(o.major, o.minor, build) : build;
      }},
     ROW(OsEntry, "csd", "a text of 127 characters at most", e.c.version.csd = l.r.Text(v, f);
         if (e.c.version.csd.size() > 127)
             l.r.Fail(v, f, "longer than the 127 characters Windows holds"))},
};

// `os` (a preset name, or a table) or --os (a preset name): the file's
// Windows, or the option's in its place.
void ReadOs(Load& l, const toml::node& v, const std::string& field) {
    OsEntry e;
    if (v.is_string()) {
        e.c.base = PresetName(l.r, v, field);
        e.c.version = PresetMachine(e.c.base).os;
    } else {
        ReadTable(l, kOsKeys, e, v, field, kOsKeys.Names());
        e.c.custom = true;
    }
    const OsVersion &was = l.os.version, &now = e.c.version;
    if (l.replaced &&
        !(was.platform == now.platform && was.major == now.major && was.minor == now.minor &&
          was.build_number == now.build_number && was.csd == now.csd))
        l.r.Tell(*l.replaced, "os",
                 (l.os.custom ? "platform " + std::to_string(was.platform) + ", version " +
                                    std::to_string(was.major) + "." + std::to_string(was.minor)
                              : "Windows " + l.os.base) +
                     " replaced by --os " + e.c.base);
    l.os = e.c;
}

// ---- the settings of the machine as a whole -----------------------------------

void ReadLocale(Load& l, const toml::node& v, const std::string& field) {
    uint32_t locale = l.r.Locale(v, field);
    if (l.replaced && locale != l.locale)
        l.r.Tell(*l.replaced, "locale",
                 LocaleText(l.locale) + " replaced by --locale " + LocaleText(locale));
    l.locale = locale;
    // Windows' ANSI code page is that of its system locale.
    l.r.codepage = AnsiCodePageOf(locale);
}

// The file's code page, unless --locale (and with it its code page)
// replaces the file's locale.
void ReadCodepage(Load& l, const toml::node& v, const std::string& field) {
    uint32_t named = static_cast<uint32_t>(l.r.Int(v, field, 1, 0xFFFF));
    if (!IsCodePage(named))
        l.r.Fail(v, field,
                 "not a Windows ANSI code page the simulator knows (" + CodePageList() + ")");
    if (!l.ov.locale) {
        l.r.codepage = named;
    } else if (named != l.r.codepage) {
        l.r.Tell(v, field,
                 std::to_string(named) + " replaced by " + std::to_string(l.r.codepage) +
                     ", the code page of --locale " + LocaleText(l.locale));
    }
}

void ReadCurrentDir(Load& l, const toml::node& v, const std::string& field) {
    std::string dir = l.r.WinPath(v, field);
    const toml::table* package = l.root["package"].as_table();
    if (l.replaced && dir != l.m.current_dir)
        l.r.Tell(*l.replaced, "current_dir",
                 l.r.Shown(l.m.current_dir) + " replaced by --cwd " + l.r.Shown(dir) +
                     (package && package->get("at") ? "" : "; the package folder moves with it"));
    if (!l.by_option) l.file_cwd = dir;
    l.m.current_dir = dir;
}

// The command line WinMain receives: --command-line (UTF-8) replaces the
// file's; the one the run gets must be one Windows can hold.
void ReadCommandLine(Load& l, const toml::node& v, const std::string& field) {
    Bytes line = l.r.Text(v, field);
    if (l.replaced && line != l.m.command_line)
        l.r.Tell(*l.replaced, "command_line", "replaced by --command-line");
    l.m.command_line = line;
    if (!l.by_option && l.ov.command_line) return;
    if (line.find('\0') != std::string::npos)
        l.r.Fail(v, field, "a command line may not hold a NUL");
    // CreateProcess takes at most 32,767 characters, program name included.
    if (line.size() > kMaxWindowsPath)
        l.r.Fail(v, field,
                 std::to_string(line.size()) + " characters, longer than Windows allows (32,767)");
}

void ReadAnswers(Load& l, const toml::node& v, const std::string& field) {
    std::vector<bool> answers;
    l.r.Elements(v, field, [&](const toml::node& answer, const std::string& at) {
        std::string s = l.r.String(answer, at);
        if (s != "yes" && s != "no") l.r.Fail(answer, at, "expected \"yes\" or \"no\"");
        answers.push_back(s == "yes");
    });
    if (l.replaced && answers != l.m.answers)
        l.r.Tell(*l.replaced, "answers",
                 l.ov.ask ? "not used: --ask asks every question" : "replaced by --answer");
    l.m.answers = answers;
}

void ReadCaption(Load& l, const toml::node& v, const std::string& field) {
    if (v.is_boolean()) {
        if (l.r.Bool(v, field)) l.r.Fail(v, field, "give a text, or false for none");
        l.m.strings.erase(IDS_CAPTION);
        return;
    }
    Bytes& caption = l.m.strings[IDS_CAPTION] = l.r.Text(v, field);
    // A string resource holds at most 65,535 characters.
    if (caption.size() > 65535)
        l.r.Fail(v, field,
                 std::to_string(caption.size()) +
                     " characters, more than a string resource holds (65,535)");
}

void ReadBackground(Load& l, const toml::node& v, const std::string& field) {
    if (l.r.Bool(v, field)) return;
    l.m.devices.clear();
    if (RegKey* e = FindKeyPath(l.m.hklm.get(), "Enum")) l.m.hklm->Remove(e);
}

// ---- the package --------------------------------------------------------------

struct MountEntry : Entry {};

const TableKeys<MountEntry> kPackageKeys = {
    "### package",
    {ROW(MountEntry, "from", "a host folder", l.mount.from = l.r.HostPath(v, f)),
     // Read where the folder is placed (PlaceFolder), before the content.
     {"at", "a Windows path", [](Load&, MountEntry&, const toml::node&, const std::string&) {}},
     ROW(MountEntry, "omit", "a list of relative paths", l.mount.omit = l.r.Strings(v, f);
         l.mount.omit_node = &v)},
};

// `package` (false, or a table), or --package DIR, which replaces the
// folder's content as a whole: where the file takes it from, what it
// leaves out, and (as they are placed) every entry of the file in it.
void ReadPackage(Load& l, const toml::node& v, const std::string& field) {
    if (!l.by_option) {
        MountEntry e;
        if (v.is_boolean())
            l.mount.on = l.r.Bool(v, field);
        else
            ReadTable(l, kPackageKeys, e, v, field, kPackageKeys.Names());
        return;
    }
    const toml::node* file = l.replaced;
    const std::string& option = l.folder.option;
    if (file && file->is_boolean() && !l.mount.on)
        l.r.Tell(*file, "package",
                 "false replaced by " + option + ", mounted at " + l.r.Shown(l.folder.at));
    if (const toml::table* t = file ? file->as_table() : nullptr) {
        if (auto* f = t->get("from"))
            l.r.Tell(*f, "package.from", Visible(l.mount.from, kUtf8) + " replaced by " + option);
        if (auto* o = t->get("omit")) {
            l.r.Tell(*o, "package.omit", "not applied: " + option + " gives the folder as it is");
            l.mount.omit.clear();
        }
    }
    l.mount.from = l.r.String(v, field);
    l.mount.on = true;
}

// ---- files and folders ------------------------------------------------------

// A path the file puts in the machine, where it lies in this run (none:
// --package's folder takes its place).
std::optional<std::string> Placed(Load& l, const toml::node& v, const std::string& field,
                                  const std::string& where) {
    return l.folder.Place(l.r, l.r.WinPath(v, field), v, where);
}

struct DirEntry : Entry {
    std::optional<std::string> path;
};

const TableKeys<DirEntry> kDirKeys = {
    "### [[dirs]] and [[files]]",
    {ROW(DirEntry, "path", "a Windows path", e.path = Placed(l, v, f, e.where))},
    {"path"},
    [](Load& l, DirEntry& e) {
        if (e.path && !l.m.files.MakeDirs(*e.path))
            l.r.Fail(*e.node, e.where + ".path", "a file of the machine is in the way");
    },
};

// A file given by its size and CRC-32 (as vntrcapture writes it) takes the
// contents of a file of that name, size and CRC in the package folders the
// simulator knows: --package's, the file's, the example package; otherwise
// placeholder bytes of that size and CRC.
FileData KnownContents(Load& l, const std::string& path, size_t size, uint32_t crc) {
    if (!l.known) {
        l.known.emplace();
        std::vector<std::string> dirs = {l.mount.from};
        try {
            dirs.push_back(DefaultPackageDir());
        } catch (const std::runtime_error&) {
        }
        for (const std::string& dir : dirs) {
            try {
                std::vector<PackageEntry> entries = ReadPackageFolder(dir);
                l.known->insert(l.known->end(), entries.begin(), entries.end());
            } catch (const std::runtime_error&) {
                // Not there: its files cannot stand for any.
            }
        }
    }
    std::string name = path.substr(FindLastBackslash(path) + 1);
    for (const PackageEntry& entry : *l.known) {
        // The host's name (UTF-8) as the machine writes it, then compared
        // as Windows compares names.
        std::string entry_name, unwritable;
        if (!ToCodePage(entry.relative.substr(entry.relative.find_last_of('/') + 1), l.r.codepage,
                        &entry_name, &unwritable))
            continue;
        if (!entry.dir && EqualNoCase(entry_name, name) && entry.data.size() == size &&
            Crc32(0, entry.data.data(), size) == crc)
            return FileData(entry.data);
    }
    return FileData::Placeholder(size, crc);
}

struct FileEntry : Entry {
    std::optional<std::string> path;
    FileData data;
    uint32_t error = 0;
};

const TableKeys<FileEntry> kFileKeys = {
    "### [[dirs]] and [[files]]",
    {ROW(FileEntry, "path", "a Windows path", e.path = Placed(l, v, f, e.where)),
     ROW(FileEntry, "text", "a text", e.data = l.r.Text(v, f), ++e.sources),
     ROW(FileEntry, "hex", "bytes in hex", e.data = l.r.Hex(v, f), ++e.sources),
     {"from", "a host file",
      [](Load& l, FileEntry& e, const toml::node& v, const std::string& f) {
          std::string host = l.r.HostPath(v, f);
          try {
              e.data = ReadHostFile(host, kHostFileCap);
          } catch (const HostFileError& error) {
              l.r.Fail(v, f, error.what());
          }
          ++e.sources;
      }},
     {"size", "a size in bytes, with crc32",
      [](Load& l, FileEntry& e, const toml::node& v, const std::string& f) {
          const toml::node* crc = e.table->get("crc32");
          if (!crc) l.r.Fail(*e.node, e.where, "a size goes with its crc32");
          size_t size = static_cast<size_t>(l.r.Int(v, f, 0, static_cast<int64_t>(kHostFileCap)));
          uint32_t sum = l.r.U32(*crc, e.where + ".crc32");
          if (e.path) e.data = KnownContents(l, *e.path, size, sum);
          ++e.sources;
      }},
     ROW(FileEntry, "crc32", "a CRC-32, with size",
         if (!e.table->get("size")) l.r.Fail(v, f, "a crc32 goes with a size")),
     ROW(FileEntry, "error", "an error code", e.error = l.r.ErrorCode(v, f))},
    {"path"},
    [](Load& l, FileEntry& e) {
        if (e.sources > 1 || (e.sources == 0 && !e.error))
            l.r.Fail(*e.node, e.where,
                     "give exactly one of text, hex, from or size (with crc32), or an "
                     "error for a file that cannot be read");
        if (e.path && !l.m.files.PutFile(*e.path, e.data, e.error))
            l.r.Fail(*e.node, e.where + ".path",
                     "a directory or file of the machine is in the way");
    },
};

void ReadRemove(Load& l, const toml::node& v, const std::string& field) {
    l.r.Elements(v, field, [&](const toml::node& entry, const std::string& at) {
        std::optional<std::string> path = Placed(l, entry, at, at);
        if (path && !l.m.files.Remove(*path))
            l.r.Fail(entry, at, "no such file or directory in the machine");
    });
}

// ---- the registry -------------------------------------------------------------

// A registry key name is at most 255 characters, and a tree at most 512
// levels deep.
Bytes KeyPath(Load& l, const toml::node& node, const std::string& field) {
    Bytes path = l.r.Name(node, field);
    size_t depth = 0;
    for (size_t start = 0; start <= path.size(); ++depth) {
        size_t end = FindBackslash(path, start);
        if (end == std::string::npos) end = path.size();
        if (end == start) l.r.Fail(node, field, "a key path may not have an empty part");
        if (end - start > 255) l.r.Fail(node, field, "a key name is longer than 255 characters");
        start = end + 1;
    }
    if (depth > 512) l.r.Fail(node, field, "deeper than the 512 levels a registry holds");
    return path;
}

struct KeyEntry : Entry {
    Bytes path;
    std::optional<uint32_t> error;
};

const TableKeys<KeyEntry> kKeyKeys = {
    "### [[keys]] and [[values]]",
    {ROW(KeyEntry, "path", "a key path", e.path = KeyPath(l, v, f)),
     ROW(KeyEntry, "error", "an error code", e.error = l.r.ErrorCode(v, f))},
    {"path"},
    [](Load& l, KeyEntry& e) {
        RegKey* key = MakeKeyPath(l.m.hklm.get(), e.path);
        if (e.error) key->open_error = *e.error;
    },
};

struct ValueEntry : Entry {
    RegValue value;
    Bytes key;
};

const TableKeys<ValueEntry> kValueKeys = {
    "### [[keys]] and [[values]]",
    {ROW(ValueEntry, "name", "a name of 16,383 characters at most", e.value.name = l.r.Name(v, f);
         if (e.value.name.size() > 16383)
             l.r.Fail(v, f, "longer than the 16,383 characters a value name may have")),
     ROW(ValueEntry, "text", "a text (REG_SZ)", e.value.data = l.r.Text(v, f) + '\0';
         e.value.type = 1; ++e.sources),
     ROW(ValueEntry, "hex", "bytes in hex (REG_BINARY)", e.value.data = l.r.Hex(v, f);
         e.value.type = 3; ++e.sources),
     ROW(ValueEntry, "dword", "a number (REG_DWORD)", uint32_t d = l.r.U32(v, f);
         e.value.data = Bytes(reinterpret_cast<const char*>(&d), 4); e.value.type = 4; ++e.sources),
     ROW(ValueEntry, "error", "an error code", e.value.error = l.r.ErrorCode(v, f);
         if (e.table->get("type")) l.r.Fail(v, e.where, "a value that cannot be read has no type");
         ++e.sources),
     ROW(ValueEntry, "type", "a REG_ name or a number", e.value.type = RegType(l.r, v, f)),
     ROW(ValueEntry, "key", "a key path", e.key = KeyPath(l, v, f))},
    {"key", "name"},
    [](Load& l, ValueEntry& e) { MakeKeyPath(l.m.hklm.get(), e.key)->SetValue(e.value); },
    "error",
    [](Load& l, ValueEntry& e) {
        if (e.sources != 1)
            l.r.Fail(*e.node, e.where,
                     "give exactly one of text, hex or dword, or an error for a value that "
                     "cannot be read");
    }};

// ---- devices ------------------------------------------------------------------

struct DeviceEntry : Entry {
    Device d;
};

const TableKeys<DeviceEntry> kDeviceKeys = {
    "### [[devices]]",
    {{"ids", "a list of hardware IDs",
      [](Load& l, DeviceEntry& e, const toml::node& v, const std::string& f) {
          std::vector<std::string> ids;
          l.r.Elements(v, f, [&](const toml::node& id, const std::string& at) {
              ids.push_back(l.r.Name(id, at));
          });
          e.d.hardware_ids = MultiSz(ids);
          ++e.sources;
      }},
     ROW(DeviceEntry, "hex", "bytes in hex", e.d.hardware_ids = l.r.Hex(v, f); ++e.sources),
     ROW(DeviceEntry, "no_ids", "true",
         if (!l.r.Bool(v, f)) l.r.Fail(v, f, "give true, or leave it out");
         e.d.hardware_ids.reset(); ++e.sources),
     ROW(DeviceEntry, "error", "an error code", e.d.read_error = l.r.ErrorCode(v, f);
         e.d.hardware_ids.reset(); ++e.sources),
     ROW(DeviceEntry, "reported_size", "a size in bytes", e.d.reported_size = l.r.U32(v, f)),
     ROW(DeviceEntry, "insufficient_forever", "true or false",
         e.d.insufficient_forever = l.r.Bool(v, f)),
     ROW(DeviceEntry, "size_query_succeeds", "true or false",
         e.d.size_query_succeeds = l.r.Bool(v, f)),
     ROW(DeviceEntry, "present", "true or false", e.d.present = l.r.Bool(v, f))},
    {},
    [](Load& l, DeviceEntry& e) { l.m.devices.push_back(std::move(e.d)); },
    "error",
    [](Load& l, DeviceEntry& e) {
        if (e.sources != 1)
            l.r.Fail(*e.node, e.where, "give exactly one of ids, hex, no_ids or error");
    }};

// ---- libraries ----------------------------------------------------------------

// The system library of that name (planted copies are no system library).
std::vector<Module>::iterator SystemModule(Machine& m, const Bytes& file) {
    auto it = m.modules.begin();
    while (it != m.modules.end() && !(EqualNoCase(it->name, file) && !it->planted)) ++it;
    return it;
}

struct ModuleEntry : Entry {
    Bytes file;
    std::optional<bool> loads;
    std::optional<std::string> dir;
    std::set<Bytes> missing;
};

const TableKeys<ModuleEntry> kModuleKeys = {
    "### [modules.\"NAME\"] and [[planted]]",
    {{"present", "true or false",
      [](Load& l, ModuleEntry& e, const toml::node& v, const std::string& f) {
          if (l.r.Bool(v, f)) return;
          if (e.table->size() > 1)
              l.r.Fail(*e.node, e.where, "a library that is not present has no other settings");
          auto it = SystemModule(l.m, e.file);
          if (it != l.m.modules.end()) l.m.modules.erase(it);
          e.dropped = true;
      }},
     ROW(ModuleEntry, "loads", "true or false", e.loads = l.r.Bool(v, f)),
     {"dir", "a Windows path",
      [](Load& l, ModuleEntry& e, const toml::node& v, const std::string& f) {
          std::optional<std::string> placed =
              l.folder.Place(l.r, FileSystem::Join(l.r.WinPath(v, f), e.file), v, f);
          if (placed) {
              e.dir = FileSystem::Parent(*placed);
              return;
          }
          auto it = SystemModule(l.m, e.file);
          if (it != l.m.modules.end()) l.m.modules.erase(it);
          e.dropped = true;
      }},
     {"missing", "a list of entry points",
      [](Load& l, ModuleEntry& e, const toml::node& v, const std::string& f) {
          l.r.Elements(v, f, [&](const toml::node& name, const std::string& at) {
              Bytes entry = l.r.Name(name, at);
              l.r.Warn(name, at, UnusedLibraryProblem(e.file, entry));
              e.missing.insert(entry);
          });
      }}},
    {},
    [](Load& l, ModuleEntry& e) {
        auto it = SystemModule(l.m, e.file);
        if (it == l.m.modules.end())
            it = l.m.modules.insert(it, {e.file, l.m.system_dir, true, false, {}});
        if (e.loads) it->loads = *e.loads;
        if (e.dir) it->dir = *e.dir;
        it->missing.insert(e.missing.begin(), e.missing.end());
    },
};

// [modules."NAME"]: a table of libraries, each by its file name.
void ReadModules(Load& l, const toml::node& v, const std::string& field) {
    const std::set<std::string> names = kModuleKeys.Names();
    for (const auto& [key, node] : l.r.Table(v, field)) {
        std::string name(key.str());
        // A name may hold a NUL, which would end the message.
        std::string where = field + ".\"" + Visible(name, kUtf8) + "\"";
        ModuleEntry e;
        std::string problem;
        if (ToCodePage(name, l.m.codepage, &e.file, &problem))
            problem = e.file.find('\0') != std::string::npos ? "a name may not hold a NUL character"
                                                             : WindowsNameProblem(e.file);
        if (!problem.empty())
            l.r.Fail(node, where,
                     problem + " (expected a library file name such as \"newdev.dll\")");
        l.r.Note(node, where);
        l.r.Warn(node, where, UnusedLibraryProblem(e.file));
        ReadTable(l, kModuleKeys, e, node, where, names);
    }
}

struct PlantedEntry : Entry {
    Bytes name;
    const toml::node* dir_node = nullptr;
    std::string dir;
};

// A planted library lies in the current directory unless the file says
// where: a library in the package folder is part of its content.
const TableKeys<PlantedEntry> kPlantedKeys = {
    "### [modules.\"NAME\"] and [[planted]]",
    {ROW(PlantedEntry, "name", "a file name", e.name = l.r.FileName(v, f, "setupapi.dll");
         l.r.Warn(v, f, UnusedLibraryProblem(e.name))),
     ROW(PlantedEntry, "dir", "a Windows path", e.dir = l.r.WinPath(v, f); e.dir_node = &v)},
    {"name"},
    [](Load& l, PlantedEntry& e) {
        const std::string& dir = e.dir_node ? e.dir : l.m.current_dir;
        std::optional<std::string> placed =
            l.folder.Place(l.r, FileSystem::Join(dir, e.name), e.dir_node ? *e.dir_node : *e.node,
                           e.where, !e.dir_node);
        if (placed) l.m.modules.push_back({e.name, FileSystem::Parent(*placed), true, true, {}});
    },
};

struct UpdateEntry : Entry {};

const TableKeys<UpdateEntry> kUpdateKeys = {
    "### [update]",
    {ROW(UpdateEntry, "reboot", "true or false", l.m.update.reboot = l.r.Bool(v, f)),
     ROW(UpdateEntry, "check", "true or false", l.m.update.check = l.r.Bool(v, f))},
};

// ---- faults -------------------------------------------------------------------

struct FaultEntry : Entry {
    Fault f;
};

const TableKeys<FaultEntry> kFaultKeys = {
    "### [[faults]]",
    {{"call", "a host function that can fail",
      [](Load& l, FaultEntry& e, const toml::node& v, const std::string& f) {
          e.f.call = l.r.String(v, f);
          const HostCall* c = FindHostCall(e.f.call);
          if (!c)
              l.r.Fail(v, f,
                       "no host call is named '" + e.f.call +
                           "' (calls that can fail: " + FaultableCallNames() + ")");
          if (!c->can_fail) l.r.Fail(v, f, e.f.call + " is not made to fail: " + c->why_not);
      }},
     ROW(FaultEntry, "nth", "a call's number, 1 the first", e.f.nth = l.r.Count(v, f)),
     ROW(FaultEntry, "count", "a number of calls", e.f.count = l.r.Count(v, f)),
     ROW(FaultEntry, "error", "an error code", e.f.error = l.r.ErrorCode(v, f))},
    {"call"},
    [](Load& l, FaultEntry& e) {
        // Left out: the call's usual error, as --list-calls lists it.
        if (!e.f.error) e.f.error = FindHostCall(e.f.call)->default_error;
        l.m.faults.push_back(e.f);
    },
};

// ---- [expect] -----------------------------------------------------------------

struct ExpectEntry : Entry {
    Expectation e;
};

// Texts of the machine, as any text of the file: in its code page, or as
// { hex = ".." }. Each string is emptied in the file's tree once it is read,
// which nothing reads again: a trace of 400,000 lines is not held twice.
TextList Texts(Load& l, const toml::node& list, const std::string& field) {
    TextList out;
    const toml::array& a = l.r.Array(list, field);
    size_t bytes = 0;  // about: a text of the code page is no longer than in UTF-8
    for (const toml::node& text : a) bytes += text.is_string() ? text.as_string()->get().size() : 0;
    out.reserve(a.size(), bytes);
    for (size_t i = 0; i < a.size(); ++i) {
        out.push_back(l.r.Text(a[i], field + "[" + std::to_string(i) + "]"));
        if (auto* read = const_cast<toml::value<std::string>*>(a[i].as_string()))
            std::string().swap(read->get());
    }
    return out;
}

// A box without text is written { absent = true }.
const std::set<std::string> kBoxKeys = {"absent", "hex"};

std::vector<std::optional<Bytes>> Boxes(Load& l, const toml::node& list, const std::string& f) {
    std::vector<std::optional<Bytes>> boxes;
    l.r.Elements(list, f, [&](const toml::node& box, const std::string& field) {
        const toml::table* bt = box.as_table();
        if (bt && !bt->get("hex")) {
            l.r.Keys(*bt, field, kBoxKeys);
            const toml::node* absent = bt->get("absent");
            if (!absent || !l.r.Bool(*absent, field + ".absent"))
                l.r.Fail(box, field, "a box without text is written { absent = true }");
            boxes.push_back(std::nullopt);
        } else {
            boxes.push_back(l.r.Text(box, field));
        }
    });
    return boxes;
}

const TableKeys<ExpectEntry> kExpectKeys = {
    "### [expect]",
    {{"outcome", "an outcome's name",
      [](Load& l, ExpectEntry& e, const toml::node& v, const std::string& f) {
          static const std::vector<std::string> outcomes = {
              "declined",      "installed", "staged",  "restart",
              "no-controller", "failed",    "nothing", kUnpredictableOutcome};
          e.e.outcome = l.r.String(v, f);
          if (std::find(outcomes.begin(), outcomes.end(), *e.e.outcome) == outcomes.end())
              l.r.Fail(v, f, "unknown outcome '" + *e.e.outcome + "' (" + Listed(outcomes) + ")");
      }},
     ROW(ExpectEntry, "boxes", "a list of texts", e.e.boxes = Boxes(l, v, f)),
     ROW(ExpectEntry, "changes", "a list of texts", e.e.changes = Texts(l, v, f)),
     ROW(ExpectEntry, "trace", "a list of texts", e.e.trace = Texts(l, v, f)),
     ROW(ExpectEntry, "after_restart", "a list of texts", e.e.after_restart = Texts(l, v, f))},
    {},
    [](Load& l, ExpectEntry& e) { l.out.expect = std::move(e.e); },
};

void ReadExpect(Load& l, const toml::node& v, const std::string& field) {
    ExpectEntry e;
    e.e.line = Reader::Line(v);
    if (v.is_table() && v.as_table()->empty())
        l.r.Fail(v, field,
                 "an empty table checks nothing: give outcome, boxes, changes, trace or "
                 "after_restart");
    ReadTable(l, kExpectKeys, e, v, field, kExpectKeys.Names());
}

// ---- the file's keys ----------------------------------------------------------

// When a key is read: its phase. Settings that follow from others are made
// between phases, once everything they follow from is known, whatever the
// order of the file's lines.
enum class Phase {
    kLocale,    // the code page every text below is read in
    kWindows,   // what the machine is built from (MakeMachine)
    kPlace,     // where the package folder lies (PlaceFolder)
    kSettings,  // the rest of the machine, then the package (MountPackageFolder)
    kContent,   // what the file puts in the machine
};

// The Windows family whose program observes a key: the program on the 9x
// family loads no library and writes no trace, on NT it reads no registry.
enum Seen : unsigned { kOnLegacy = 1, kOnNt = 2, kEverywhere = 3 };

struct DocumentedKeys;

// A key of the file's top level: how it is read and applied, when, where
// it is observed, and the option of the command line that replaces it:
// that option is the same key applied a second time, with the option's
// value (see Given).
struct Key {
    const char* name;
    const char* takes;
    Phase phase;
    void (*read)(Load&, const toml::node& value, const std::string& field);
    DocumentedKeys (*keys)() = nullptr;  // the keys of its table(s)
    Seen seen = kEverywhere;
    const char* option = nullptr;
    std::unique_ptr<toml::node> (*given)(const Overrides&) = nullptr;
    std::string (*on_9x)() = nullptr;  // what to write instead on the 9x family
};

std::unique_ptr<toml::node> GivenText(const std::optional<std::string>& text) {
    if (!text) return nullptr;
    return std::make_unique<toml::value<std::string>>(*text);
}

// An array of tables, read entry by entry.
template <const auto& kTable>
void ReadArray(Load& l, const toml::node& v, const std::string& field) {
    ReadEntries(l, kTable, v, field);
}

// The keys of a table, where docs/machine-files.md names them.
struct DocumentedKeys {
    const char* doc;
    std::set<std::string> names;
};

template <const auto& kTable>
DocumentedKeys NamesOf() {
    return {kTable.doc, kTable.Names()};
}

const Key kKeys[] = {
    {"locale", "a locale identifier", Phase::kLocale, ReadLocale, nullptr, kEverywhere, "--locale",
     [](const Overrides& o) -> std::unique_ptr<toml::node> {
         if (!o.locale) return nullptr;
         return std::make_unique<toml::value<int64_t>>(*o.locale);
     }},
    {"codepage", "an ANSI code page", Phase::kLocale, ReadCodepage},
    {"os", "a preset name or a table", Phase::kWindows, ReadOs, NamesOf<kOsKeys>, kEverywhere,
     "--os", [](const Overrides& o) { return GivenText(o.os); }},
    {"windows_dir", "a Windows path", Phase::kWindows,
     [](Load& l, const toml::node& v, const std::string& f) { l.windows_dir = l.r.WinPath(v, f); }},
    {"system_dir", "a Windows path", Phase::kWindows,
     [](Load& l, const toml::node& v, const std::string& f) { l.system_dir = l.r.WinPath(v, f); },
     nullptr, kOnNt},
    {"name", "a text", Phase::kPlace,
     [](Load& l, const toml::node& v, const std::string& f) { l.m.name = l.r.String(v, f); }},
    {"current_dir", "a Windows path", Phase::kPlace, ReadCurrentDir, nullptr, kEverywhere, "--cwd",
     [](const Overrides& o) { return GivenText(o.current_dir); }},
    {"exe_dir", "a Windows path", Phase::kSettings,
     [](Load& l, const toml::node& v, const std::string& f) { l.m.exe_dir = l.r.WinPath(v, f); },
     nullptr, kOnNt},
    {"stdout", "true or false", Phase::kSettings,
     [](Load& l, const toml::node& v, const std::string& f) { l.m.has_stdout = l.r.Bool(v, f); },
     nullptr, kOnNt},
    {"command_line", "a text", Phase::kSettings, ReadCommandLine, nullptr, kEverywhere,
     "--command-line", [](const Overrides& o) { return GivenText(o.command_line); }},
    {"registry_delete", "\"legacy\" or \"nt\"", Phase::kSettings,
     [](Load& l, const toml::node& v, const std::string& f) {
         std::string s = l.r.String(v, f);
         if (s != "legacy" && s != "nt") l.r.Fail(v, f, "expected \"legacy\" or \"nt\"");
         l.m.delete_semantics = s == "legacy" ? DeleteSemantics::Legacy : DeleteSemantics::Nt;
     },
     nullptr, kOnLegacy},
    {"answers", "a list of \"yes\" and \"no\"", Phase::kSettings, ReadAnswers, nullptr, kEverywhere,
     "--answer",
     [](const Overrides& o) -> std::unique_ptr<toml::node> {
         if (!o.answers) return nullptr;
         auto list = std::make_unique<toml::array>();
         for (bool a : *o.answers) list->push_back(a ? "yes" : "no");
         return list;
     }},
    {"caption", "a text, or false", Phase::kSettings, ReadCaption},
    {"background", "false", Phase::kSettings, ReadBackground},
    {"package", "false, or a table", Phase::kSettings, ReadPackage, NamesOf<kPackageKeys>,
     kEverywhere, "--package", [](const Overrides& o) { return GivenText(o.package); }},
    {"dirs", "an array of tables", Phase::kContent, ReadArray<kDirKeys>, NamesOf<kDirKeys>},
    {"files", "an array of tables", Phase::kContent, ReadArray<kFileKeys>, NamesOf<kFileKeys>},
    {"remove", "a list of Windows paths", Phase::kContent, ReadRemove},
    {"keys", "an array of tables", Phase::kContent, ReadArray<kKeyKeys>, NamesOf<kKeyKeys>,
     kOnLegacy},
    {"values", "an array of tables", Phase::kContent, ReadArray<kValueKeys>, NamesOf<kValueKeys>,
     kOnLegacy},
    {"devices", "an array of tables", Phase::kContent, ReadArray<kDeviceKeys>, NamesOf<kDeviceKeys>,
     kOnNt, nullptr, nullptr,
     // The 9x program finds a controller by its key under Enum\PCI.
     [] {
         return "; a controller on this Windows is a key under Enum\\PCI, written [[keys]] "
                "path = '" +
                ControllerKeyPath() + "'";
     }},
    {"modules", "a table of tables", Phase::kContent, ReadModules, NamesOf<kModuleKeys>, kOnNt},
    {"planted", "an array of tables", Phase::kContent, ReadArray<kPlantedKeys>,
     NamesOf<kPlantedKeys>, kOnNt},
    {"update", "a table", Phase::kContent,
     [](Load& l, const toml::node& v, const std::string& f) {
         UpdateEntry e;
         l.m.update.given = true;
         ReadTable(l, kUpdateKeys, e, v, f, kUpdateKeys.Names());
     },
     NamesOf<kUpdateKeys>, kOnNt},
    {"faults", "an array of tables", Phase::kContent, ReadArray<kFaultKeys>, NamesOf<kFaultKeys>},
    {"expect", "a table", Phase::kContent, ReadExpect, NamesOf<kExpectKeys>},
};

// Settings that another spelling now says: refused with the fix, and no
// known key.
struct OldSpelling {
    const char* table;  // "" for the top level
    const char* name;
    const char* fix;
};

const OldSpelling kOldSpellings[] = {
    {"", "exit_windows_succeeds",
     "a refused restart is written [[faults]] call = \"ExitWindowsEx\""},
    {"update", "result",
     "a failing update is written [[faults]] call = \"UpdateDriverForPlugAndPlayDevicesA\" with "
     "its error"},
    {"update", "error",
     "a failing update is written [[faults]] call = \"UpdateDriverForPlugAndPlayDevicesA\" with "
     "its error"},
};

void RefuseOldSpellings(Reader& r, const toml::table& root) {
    for (const OldSpelling& old : kOldSpellings) {
        const toml::table* t = *old.table ? root[old.table].as_table() : &root;
        if (const toml::node* v = t ? t->get(old.name) : nullptr)
            r.Fail(*v, Reader::Join(old.table, old.name), old.fix);
    }
}

std::set<std::string> TopKeys() {
    std::set<std::string> names;
    for (const Key& key : kKeys) names.insert(key.name);
    return names;
}

// Applies an option as the key it replaces: the same reading, with the
// option's value and name; the file's setting, if any, is told of.
void ApplyOption(Load& l, const Key& key, const toml::node& value, const toml::node* file) {
    l.by_option = true;
    l.replaced = file;
    key.read(l, value, key.option);
    l.by_option = false;
    l.replaced = nullptr;
}

void ReadPhase(Load& l, Phase phase) {
    for (const Key& key : kKeys) {
        if (key.phase != phase) continue;
        const toml::node* v = l.root.get(key.name);
        if (v) key.read(l, *v, key.name);
        if (auto option = key.given ? key.given(l.ov) : nullptr) ApplyOption(l, key, *option, v);
    }
}

// An option alone, applied as the key it replaces (the built-in machine).
void ApplyOptionOf(Load& l, const std::string& name) {
    for (const Key& key : kKeys)
        if (name == key.name && key.given)
            if (auto option = key.given(l.ov)) ApplyOption(l, key, *option, nullptr);
}

// The machine the Windows and its directories make.
void MakeMachine(Load& l) {
    if (!l.windows_dir.empty() && l.system_dir.empty())
        l.system_dir = SystemDirOf(l.os.version.platform, l.windows_dir);
    Machine& m = l.m;
    m = PresetMachine(l.os.base, l.windows_dir, l.system_dir);
    m.codepage = l.r.codepage;
    m.os = l.os.version;
    if (l.os.custom) m.os_name = "custom";
    m.delete_semantics = DeleteSemanticsOf(m.os.platform);
    m.source = l.r.file();
    m.name = std::filesystem::path(l.r.file()).stem().string();
    m.locale = l.locale;
    l.file_cwd = m.current_dir;
}

// Where the file's package folder lies ([package] at, or the current
// directory the file gives), and where it lies in this run.
void PlaceFolder(Load& l) {
    const toml::table* package = l.root["package"].as_table();
    const toml::node* at = package ? package->get("at") : nullptr;
    PackageFolder& folder = l.folder;
    folder.windows = {l.m.windows_dir, l.m.system_dir};
    folder.file_at = at ? l.r.WinPath(*at, "package.at") : l.file_cwd;
    folder.at = at ? folder.file_at : l.m.current_dir;
    folder.replaced = l.ov.package.has_value();
    folder.option = l.ov.package ? "--package " + *l.ov.package : "--cwd";
}

void MountPackageFolder(Load& l) {
    Mount& mount = l.mount;
    if (mount.on) {
        try {
            if (mount.from.empty()) mount.from = DefaultPackageDir();
            std::vector<size_t> unmatched = MountPackage(l.m, mount.from, l.folder.at, mount.omit);
            const toml::array* a = mount.omit_node ? mount.omit_node->as_array() : nullptr;
            for (size_t i : unmatched)
                l.r.Warn(a ? *a->get(i) : *mount.omit_node, Reader::Index("package.omit", i),
                         "'" + Visible(mount.omit[i], kUtf8) +
                             "' matches nothing in the package folder " +
                             Visible(mount.from, kUtf8));
        } catch (const std::runtime_error& e) {
            if (l.ov.package) throw MachineError(*l.ov.package, 0, "--package", e.what());
            const toml::node* package = l.root.get("package");
            l.r.Fail(package ? *package : static_cast<const toml::node&>(l.root), "package",
                     e.what());
        }
    }
    if (!l.m.files.MakeDirs(l.m.current_dir))
        throw MachineError(l.r.file(), 0, "current_dir", "a file of the machine is in the way");
    l.out.preset_devices = l.m.devices.size();
}

// Settings the chosen Windows never looks at: the content first, then the
// settings, then the Windows, each in the order of the keys.
void WarnUnobservable(Load& l) {
    const Machine& m = l.m;
    bool legacy = m.os.platform == 1, nt = m.os.platform == 2;
    unsigned seen = legacy ? kOnLegacy : nt ? kOnNt : 0u;
    std::string why = std::string("never observed on this Windows (platform ") +
                      std::to_string(m.os.platform) + "): the program " +
                      (legacy ? "loads no library and writes no trace there"
                       : nt   ? "reads and writes no registry there"
                              : "installs nothing there");
    for (int phase = static_cast<int>(Phase::kContent); phase >= 0; --phase) {
        for (const Key& key : kKeys) {
            const toml::node* v = l.root.get(key.name);
            if (!v || static_cast<int>(key.phase) != phase || key.seen == kEverywhere ||
                (key.seen & seen))
                continue;
            l.r.Warn(*v, key.name, why + (legacy && key.on_9x ? key.on_9x() : ""));
        }
    }
    const toml::node* faults = l.root.get("faults");
    if (!faults) return;
    unsigned flow = legacy ? unsigned{kLegacy} : nt ? unsigned{kNt} : 0u;
    const toml::array& a = *faults->as_array();
    for (size_t i = 0; i < m.faults.size() && i < a.size(); ++i) {
        const HostCall* c = FindHostCall(m.faults[i].call);
        if (c && !(c->used_by & (kStartup | flow)))
            l.r.Warn(
                a[i], Reader::Index("faults", i) + ".call",
                m.faults[i].call + " is never called on this Windows, so the fault cannot fire");
    }
}

LoadedMachine Parse(const toml::table& root, Reader& r, const Overrides& ov) {
    RefuseOldSpellings(r, root);
    r.Keys(root, "", TopKeys());
    Load l(r, root, ov);
    ReadPhase(l, Phase::kLocale);
    TextCodePageScope text(r.codepage);
    ReadPhase(l, Phase::kWindows);
    MakeMachine(l);
    TextCodePageScope platform_text(r.codepage, l.m.os.platform == 2);  // names fold as its Windows
    ReadPhase(l, Phase::kPlace);
    PlaceFolder(l);
    ReadPhase(l, Phase::kSettings);
    MountPackageFolder(l);
    ReadPhase(l, Phase::kContent);
    WarnUnobservable(l);
    l.out.settings = std::move(r.settings);
    l.out.warnings = std::move(r.warnings);
    l.out.notes = std::move(r.notes);
    return std::move(l.out);
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

std::vector<DocumentedKey> MachineFileKeys() {
    const char* top = "## Top-level keys";
    std::vector<DocumentedKey> out;
    for (const Key& key : kKeys) {
        out.push_back({key.name, top});
        if (!key.keys) continue;
        DocumentedKeys sub = key.keys();
        for (const std::string& name : sub.names) out.push_back({key.name + ("." + name), sub.doc});
    }
    for (const OldSpelling& old : kOldSpellings)
        out.push_back({Reader::Join(old.table, old.name), top});
    for (const std::string& name : kHexKeys)
        out.push_back({"(a text)." + name, "## Texts and numbers"});
    for (const std::string& name : kBoxKeys)
        out.push_back({"expect.boxes." + name, kExpectKeys.doc});
    return out;
}

LoadedMachine ParseMachine(std::string toml_text, const std::string& source,
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
    // A setting per line at most, its name some 32 bytes: room a large
    // file's settings do not take is never touched.
    size_t lines = static_cast<size_t>(std::count(toml_text.begin(), toml_text.end(), '\n')) + 1;
    r.settings.reserve(lines, lines * 32);
    // The tree holds what the text said: the text goes before the tree is read.
    std::string().swap(toml_text);
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
    return ParseMachine(std::move(text), path == "-" ? "(standard input)" : path,
                        base.empty() ? "." : base, overrides);
}

LoadedMachine BuiltInMachine(const std::string& os, const Overrides& overrides) {
    const toml::table none;
    Reader r("(built-in machine)", ".");
    Load l(r, none, overrides);
    uint32_t locale = overrides.locale.value_or(0x0409);
    r.codepage = AnsiCodePageOf(locale);
    TextCodePageScope text(r.codepage);
    ApplyOptionOf(l, "current_dir");
    try {
        l.m = DefaultMachine(os, overrides.current_dir ? l.m.current_dir : "",
                             overrides.package.value_or(""), locale);
    } catch (const std::runtime_error& e) {
        throw MachineError(overrides.package ? *overrides.package : DefaultPackageDir(), 0,
                           "--package", e.what());
    }
    ApplyOptionOf(l, "command_line");
    ApplyOptionOf(l, "answers");
    return std::move(l.out);
}

}  // namespace sim
