#include "host/sim/machine_file.h"

#include <toml++/toml.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "host/sim/presets.h"

namespace sim {

MachineError::MachineError(const std::string& file_, int line_, const std::string& field_,
                           const std::string& problem_)
    : std::runtime_error(file_ + ":" + std::to_string(line_) + ": " +
                         (field_.empty() ? "" : field_ + ": ") + problem_),
      file(file_),
      line(line_),
      field(field_),
      problem(problem_) {}

namespace {

class Reader {
   public:
    Reader(std::string file, std::string base_dir)
        : file_(std::move(file)), base_(std::move(base_dir)) {}

    [[noreturn]] void Fail(const toml::node& node, const std::string& field,
                           const std::string& problem) const {
        throw MachineError(file_, static_cast<int>(node.source().begin.line), field, problem);
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

    std::string String(const toml::node& node, const std::string& field) const {
        if (!node.is_string()) Fail(node, field, "expected a string");
        return node.as_string()->get();
    }

    // A text in the machine's ANSI code page: any character up to U+00FF.
    Bytes Text(const toml::node& node, const std::string& field) const {
        std::string utf8 = String(node, field);
        Bytes out;
        for (size_t i = 0; i < utf8.size(); ++i) {
            unsigned char c = static_cast<unsigned char>(utf8[i]);
            if (c < 0x80) {
                out += static_cast<char>(c);
            } else if ((c == 0xC2 || c == 0xC3) && i + 1 < utf8.size()) {
                out += static_cast<char>(((c & 0x03) << 6) | (utf8[++i] & 0x3F));
            } else {
                Fail(node, field,
                     "character beyond U+00FF; use hex = \"..\" for bytes in other code pages");
            }
        }
        return out;
    }

    int64_t Int(const toml::node& node, const std::string& field, int64_t lo, int64_t hi) const {
        if (!node.is_integer()) Fail(node, field, "expected an integer");
        int64_t v = node.as_integer()->get();
        if (v < lo || v > hi)
            Fail(node, field,
                 "out of range (" + std::to_string(lo) + " to " + std::to_string(hi) + ")");
        return v;
    }

    uint32_t U32(const toml::node& node, const std::string& field) const {
        return static_cast<uint32_t>(Int(node, field, 0, 0xFFFFFFFFll));
    }

    bool Bool(const toml::node& node, const std::string& field) const {
        if (!node.is_boolean()) Fail(node, field, "expected true or false");
        return node.as_boolean()->get();
    }

    Bytes Hex(const toml::node& node, const std::string& field) const {
        std::string text = String(node, field);
        Bytes out;
        int high = -1;
        for (char c : text) {
            if (c == ' ' || c == ',' || c == '\n' || c == '\t') continue;
            int v =
                std::isxdigit(static_cast<unsigned char>(c))
                    ? (std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                                                                   : (std::tolower(c) - 'a' + 10))
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

    std::string WinPath(const toml::node& node, const std::string& field) const {
        std::string p = String(node, field);
        std::string abs = FileSystem::Absolute(p, "");
        if (abs.empty() || p.size() < 3 || p[1] != ':' || p[2] != '\\')
            Fail(node, field, "expected an absolute Windows path such as 'C:\\VNTR'");
        return abs;
    }

    std::string HostPath(const toml::node& node, const std::string& field) const {
        std::filesystem::path p(String(node, field));
        if (p.is_relative()) p = std::filesystem::path(base_) / p;
        return p.lexically_normal().string();
    }

    std::vector<std::string> Strings(const toml::node& node, const std::string& field) const {
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
                Each each) const {
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

uint32_t RegType(const Reader& r, const toml::node& node, const std::string& field) {
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

void ApplyOs(const Reader& r, const toml::node& node, Machine& m) {
    if (node.is_string()) {
        std::string name = r.String(node, "os");
        if (!IsPreset(name)) {
            std::string known;
            for (const auto& n : PresetNames()) known += (known.empty() ? "" : ", ") + n;
            r.Fail(node, "os", "unknown Windows version '" + name + "' (known: " + known + ")");
        }
        m = PresetMachine(name);
        return;
    }
    const toml::table& t = r.Table(node, "os");
    r.Keys(t, "os", {"base", "platform", "major", "minor", "build", "build_number", "csd"});
    std::string base = "xp";
    if (auto* b = t.get("base")) {
        base = r.String(*b, "os.base");
        if (!IsPreset(base)) r.Fail(*b, "os.base", "unknown Windows version '" + base + "'");
    }
    m = PresetMachine(base);
    m.os_name = "custom";
    if (auto* v = t.get("platform")) m.os.platform = r.U32(*v, "os.platform");
    if (auto* v = t.get("major")) m.os.major = r.U32(*v, "os.major");
    if (auto* v = t.get("minor")) m.os.minor = r.U32(*v, "os.minor");
    if (auto* v = t.get("build_number")) m.os.build_number = r.U32(*v, "os.build_number");
    if (auto* v = t.get("build")) {
        uint32_t build = static_cast<uint32_t>(r.Int(*v, "os.build", 0, 0xFFFF));
        // On the 9x family the high word of dwBuildNumber holds the version.
        m.os.build_number =
            m.os.platform == 1 ? (m.os.major << 24) | (m.os.minor << 16) | build : build;
    }
    if (auto* v = t.get("csd")) m.os.csd = r.String(*v, "os.csd");
    m.delete_semantics = m.os.platform == 1 ? DeleteSemantics::Legacy : DeleteSemantics::Nt;
}

void ApplyDevices(const Reader& r, const toml::table& root, Machine& m) {
    r.Tables(root, "devices",
             {"ids", "hex", "no_ids", "reported_size", "insufficient_forever",
              "size_query_succeeds", "present", "description"},
             {}, [&](const toml::table& t, const toml::node& node, const std::string& where) {
                 Device d;
                 int sources = 0;
                 if (auto* v = t.get("ids")) {
                     std::vector<std::string> ids;
                     const toml::array& a = r.Array(*v, where + ".ids");
                     for (size_t j = 0; j < a.size(); ++j)
                         ids.push_back(r.Text(a[j], where + ".ids[" + std::to_string(j) + "]"));
                     d.hardware_ids = MultiSz(ids);
                     ++sources;
                 }
                 if (auto* v = t.get("hex")) {
                     d.hardware_ids = r.Hex(*v, where + ".hex");
                     ++sources;
                 }
                 if (auto* v = t.get("no_ids")) {
                     if (r.Bool(*v, where + ".no_ids")) d.hardware_ids.reset();
                     ++sources;
                 }
                 if (sources != 1) r.Fail(node, where, "give exactly one of ids, hex or no_ids");
                 if (auto* v = t.get("reported_size"))
                     d.reported_size = r.U32(*v, where + ".reported_size");
                 if (auto* v = t.get("insufficient_forever"))
                     d.insufficient_forever = r.Bool(*v, where + ".insufficient_forever");
                 if (auto* v = t.get("size_query_succeeds"))
                     d.size_query_succeeds = r.Bool(*v, where + ".size_query_succeeds");
                 if (auto* v = t.get("present")) d.present = r.Bool(*v, where + ".present");
                 if (auto* v = t.get("description"))
                     d.description = r.String(*v, where + ".description");
                 m.devices.push_back(d);
             });
}

void ApplyModules(const Reader& r, const toml::table& t, Machine& m) {
    for (const auto& [key, node] : t) {
        std::string name(key.str());
        std::string where = "modules.\"" + name + "\"";
        const toml::table& mt = r.Table(node, where);
        r.Keys(mt, where, {"present", "loads", "missing", "dir"});
        auto it = m.modules.begin();
        while (it != m.modules.end() && !(EqualNoCase(it->name, name) && !it->planted)) ++it;
        bool present = true;
        if (auto* v = mt.get("present")) present = r.Bool(*v, where + ".present");
        if (!present) {
            if (it != m.modules.end()) m.modules.erase(it);
            continue;
        }
        if (it == m.modules.end()) {
            m.modules.push_back({name, m.system_dir, true, false, {}});
            it = m.modules.end() - 1;
        }
        if (auto* v = mt.get("loads")) it->loads = r.Bool(*v, where + ".loads");
        if (auto* v = mt.get("dir")) it->dir = r.WinPath(*v, where + ".dir");
        if (auto* v = mt.get("missing"))
            for (const auto& s : r.Strings(*v, where + ".missing")) it->missing.insert(s);
    }
}

Machine Parse(const toml::table& root, const Reader& r) {
    r.Keys(root, "", {"name",       "os",          "windows_dir",
                      "system_dir", "current_dir", "exe_dir",
                      "locale",     "stdout",      "registry_delete",
                      "answers",    "caption",     "background",
                      "package",    "dirs",        "files",
                      "remove",     "keys",        "values",
                      "devices",    "modules",     "planted",
                      "update",     "faults",      "exit_windows_succeeds"});
    Machine m = PresetMachine("xp");
    if (auto* v = root.get("os")) ApplyOs(r, *v, m);
    m.source = r.file();
    if (auto* v = root.get("name"))
        m.name = r.String(*v, "name");
    else
        m.name = std::filesystem::path(r.file()).stem().string();

    std::string old_system = m.system_dir;
    if (auto* v = root.get("windows_dir")) {
        m.windows_dir = r.WinPath(*v, "windows_dir");
        m.system_dir = m.windows_dir + (m.os.platform == 1 ? "\\SYSTEM" : "\\system32");
    }
    if (auto* v = root.get("system_dir")) m.system_dir = r.WinPath(*v, "system_dir");
    for (auto& mod : m.modules)
        if (EqualNoCase(mod.dir, old_system)) mod.dir = m.system_dir;
    m.files.MakeDirs(m.windows_dir + "\\INF");
    m.files.MakeDirs(m.system_dir);

    if (auto* v = root.get("current_dir")) m.current_dir = r.WinPath(*v, "current_dir");
    if (auto* v = root.get("exe_dir")) m.exe_dir = r.WinPath(*v, "exe_dir");
    if (auto* v = root.get("locale")) m.locale = r.U32(*v, "locale");
    if (auto* v = root.get("stdout")) m.has_stdout = r.Bool(*v, "stdout");
    if (auto* v = root.get("exit_windows_succeeds"))
        m.exit_windows_succeeds = r.Bool(*v, "exit_windows_succeeds");
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
    }
    if (auto* v = root.get("caption")) {
        if (v->is_boolean()) {
            if (r.Bool(*v, "caption")) r.Fail(*v, "caption", "give a text, or false for none");
            m.strings.erase(103);
        } else {
            m.strings[103] = r.Text(*v, "caption");
        }
    }
    if (auto* v = root.get("background"); v && !r.Bool(*v, "background")) {
        m.devices.clear();
        if (RegKey* e = FindKeyPath(m.hklm.get(), "Enum")) {
            auto& subs = m.hklm->subkeys;
            subs.erase(std::remove_if(subs.begin(), subs.end(),
                                      [e](const auto& k) { return k.get() == e; }),
                       subs.end());
        }
    }

    // The driver package: the example package in the current directory unless
    // told otherwise.
    std::string from, at = m.current_dir;
    std::vector<std::string> omit;
    bool mount = true;
    if (auto* v = root.get("package")) {
        if (v->is_boolean()) {
            mount = r.Bool(*v, "package");
        } else {
            const toml::table& t = r.Table(*v, "package");
            r.Keys(t, "package", {"from", "at", "omit"});
            if (auto* f = t.get("from")) from = r.HostPath(*f, "package.from");
            if (auto* a = t.get("at")) at = r.WinPath(*a, "package.at");
            if (auto* o = t.get("omit")) omit = r.Strings(*o, "package.omit");
        }
    }
    if (mount) {
        try {
            if (from.empty()) from = DefaultPackageDir();
            MountPackage(m, from, at, omit);
        } catch (const std::runtime_error& e) {
            const toml::node* where = root.get("package");
            r.Fail(where ? *where : static_cast<const toml::node&>(root), "package", e.what());
        }
    }
    m.files.MakeDirs(m.current_dir);

    r.Tables(root, "dirs", {"path"}, {"path"},
             [&](const toml::table& t, const toml::node&, const std::string& where) {
                 m.files.MakeDirs(r.WinPath(*t.get("path"), where + ".path"));
             });
    r.Tables(root, "files", {"path", "text", "hex", "from"}, {"path"},
             [&](const toml::table& t, const toml::node& node, const std::string& where) {
                 std::string path = r.WinPath(*t.get("path"), where + ".path");
                 int sources = 0;
                 Bytes data;
                 if (auto* x = t.get("text")) data = r.Text(*x, where + ".text"), ++sources;
                 if (auto* x = t.get("hex")) data = r.Hex(*x, where + ".hex"), ++sources;
                 if (auto* x = t.get("from")) {
                     std::string host = r.HostPath(*x, where + ".from");
                     std::ifstream in(host, std::ios::binary);
                     if (!in) r.Fail(*x, where + ".from", "cannot read '" + host + "'");
                     std::stringstream s;
                     s << in.rdbuf();
                     data = s.str();
                     ++sources;
                 }
                 if (sources != 1) r.Fail(node, where, "give exactly one of text, hex or from");
                 m.files.PutFile(path, data);
             });
    if (auto* v = root.get("remove")) {
        const toml::array& a = r.Array(*v, "remove");
        for (size_t i = 0; i < a.size(); ++i) {
            std::string field = "remove[" + std::to_string(i) + "]";
            std::string path = r.WinPath(a[i], field);
            // Removes the path and everything below it.
            std::string prefix = FileSystem::Key(path) + "\\";
            std::vector<std::string> doomed;
            for (const auto* n : m.files.All())
                if (FileSystem::Key(n->path) == FileSystem::Key(path) ||
                    FileSystem::Key(n->path).rfind(prefix, 0) == 0)
                    doomed.push_back(n->path);
            if (doomed.empty()) r.Fail(a[i], field, "no such file or directory in the machine");
            for (const auto& d : doomed) m.files.Remove(d);
        }
    }

    r.Tables(root, "keys", {"path"}, {"path"},
             [&](const toml::table& t, const toml::node&, const std::string& where) {
                 std::string path = r.Text(*t.get("path"), where + ".path");
                 for (size_t start = 0, end; start <= path.size(); start = end + 1) {
                     end = path.find('\\', start);
                     if (end == std::string::npos) end = path.size();
                     if (end - start > 255)
                         r.Fail(*t.get("path"), where + ".path",
                                "a key name is longer than 255 characters");
                 }
                 MakeKeyPath(m.hklm.get(), path);
             });
    r.Tables(root, "values", {"key", "name", "type", "text", "hex", "dword"}, {"key", "name"},
             [&](const toml::table& t, const toml::node& node, const std::string& where) {
                 RegValue value;
                 value.name = r.Text(*t.get("name"), where + ".name");
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
                 if (sources != 1) r.Fail(node, where, "give exactly one of text, hex or dword");
                 if (auto* x = t.get("type")) value.type = RegType(r, *x, where + ".type");
                 RegKey* key = MakeKeyPath(m.hklm.get(), r.Text(*t.get("key"), where + ".key"));
                 if (RegValue* old = key->Value(value.name))
                     *old = value;
                 else
                     key->values.push_back(value);
             });
    ApplyDevices(r, root, m);
    if (auto* v = root.get("modules")) ApplyModules(r, r.Table(*v, "modules"), m);
    r.Tables(
        root, "planted", {"name", "dir"}, {"name"},
        [&](const toml::table& t, const toml::node&, const std::string& where) {
            Module mod{r.String(*t.get("name"), where + ".name"), m.current_dir, true, true, {}};
            if (auto* d = t.get("dir")) mod.dir = r.WinPath(*d, where + ".dir");
            m.modules.push_back(mod);
        });
    if (auto* v = root.get("update")) {
        const toml::table& t = r.Table(*v, "update");
        r.Keys(t, "update", {"result", "reboot", "error", "check"});
        if (auto* x = t.get("result")) m.update.result = r.Bool(*x, "update.result");
        if (auto* x = t.get("reboot")) m.update.reboot = r.Bool(*x, "update.reboot");
        if (auto* x = t.get("error")) m.update.error = r.U32(*x, "update.error");
        if (auto* x = t.get("check")) m.update.check = r.Bool(*x, "update.check");
    }
    r.Tables(root, "faults", {"call", "nth", "count", "error"}, {"call"},
             [&](const toml::table& t, const toml::node&, const std::string& where) {
                 Fault f;
                 f.call = r.String(*t.get("call"), where + ".call");
                 if (auto* x = t.get("nth"))
                     f.nth = static_cast<uint32_t>(r.Int(*x, where + ".nth", 1, 0xFFFFFFFFll));
                 if (auto* x = t.get("count"))
                     f.count = static_cast<uint32_t>(r.Int(*x, where + ".count", 1, 0xFFFFFFFFll));
                 if (auto* x = t.get("error")) f.error = r.U32(*x, where + ".error");
                 m.faults.push_back(f);
             });
    return m;
}

}  // namespace

Machine ParseMachine(const std::string& toml_text, const std::string& source,
                     const std::string& base_dir) {
    toml::table root;
    try {
        root = toml::parse(toml_text, source);
    } catch (const toml::parse_error& e) {
        throw MachineError(source, static_cast<int>(e.source().begin.line), "",
                           std::string(e.description()));
    }
    Reader r(source, base_dir);
    return Parse(root, r);
}

Machine LoadMachineFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw MachineError(path, 0, "", "cannot open the machine file");
    std::stringstream text;
    text << in.rdbuf();
    std::string base = std::filesystem::path(path).parent_path().string();
    return ParseMachine(text.str(), path, base.empty() ? "." : base);
}

}  // namespace sim
