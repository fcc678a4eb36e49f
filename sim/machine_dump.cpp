// --dump-machine: the machine as JSON, everything resolved, written as it is
// made.
#include <functional>
#include <sstream>

#include "sim/locales.h"
#include "sim/machine_file.h"

namespace sim {

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
        text_ += Dump(json(name));
        text_ += ": ";
    }
    // A whole value: an element of the open array, or after Key().
    void Value(const json& value, bool element = false) {
        if (element) Next();
        std::string v = Dump(value, 2);
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

void AppendRegistryJson(std::string& out, const RegKey& top, RegistryForm form,
                        const std::function<void()>& flush) {
    const bool machine = form == RegistryForm::kMachine;
    struct Step {
        const RegKey* key;
        size_t next;  // the subkey to write next
    };
    std::vector<Step> pending;
    // A key's own members; its subkeys follow when it has a list of them.
    auto open = [&](const RegKey& key) {
        std::string own = Dump(KeyJson(key, form));
        own.pop_back();  // the closing brace
        out += own;
        if (machine || key.SubkeyCount() > 0) {
            out += ",\"subkeys\":[";
            pending.push_back({&key, 0});
        } else {
            out += '}';
        }
        if (flush && out.size() >= (1 << 20)) flush();
    };
    open(top);
    while (!pending.empty()) {
        Step& step = pending.back();
        if (step.next < step.key->SubkeyCount()) {
            if (step.next) out += ',';
            open(*step.key->SubkeyAt(step.next++));
            continue;
        }
        pending.pop_back();
        out += "]}";
    }
}

json RegistryJson(const RegKey& top, RegistryForm form) {
    std::string text;
    AppendRegistryJson(text, top, form);
    return json::parse(text);
}

// The dump shows a file's bytes (in hex) up to this size, and the bytes of
// all files up to this total; every other file by its size and CRC-32, so
// that the largest package the caps allow dumps in tens of megabytes.
constexpr size_t kDumpFileBytes = size_t{1} << 20;
constexpr size_t kDumpBytes = size_t{4} << 20;

namespace {

void WriteFiles(JsonWriter& w, const LoadedMachine& loaded) {
    w.Open('[');
    size_t shown = 0;
    loaded.machine.files.ForEach([&](const std::string& path, const FileSystem::Node& node) {
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
}

void WriteDevices(JsonWriter& w, const LoadedMachine& loaded) {
    const std::vector<Device>& devices = loaded.machine.devices;
    w.Open('[');
    for (size_t i = 0; i < devices.size(); ++i) {
        const Device& d = devices[i];
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
}

json Modules(const Machine& m) {
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
    return modules;
}

// A member of the dump: a whole value, or one written in pieces.
struct DumpKey {
    const char* name;
    json (*value)(const LoadedMachine&);
    void (*write)(JsonWriter&, const LoadedMachine&) = nullptr;
};

#define VALUE(name, ...)                                   \
    {                                                      \
        name, [](const LoadedMachine& l) -> json {         \
            [[maybe_unused]] const Machine& m = l.machine; \
            return __VA_ARGS__;                            \
        }                                                  \
    }

// The dump's members, in order.
const DumpKey kDumpKeys[] = {
    VALUE("name", m.name),
    VALUE("source", m.source),
    VALUE("os", {{"name", m.os_name},
                 {"platform", m.os.platform},
                 {"major", m.os.major},
                 {"minor", m.os.minor},
                 {"build_number", m.os.build_number},
                 {"csd", Text(m.os.csd)}}),
    VALUE("windows_dir", Text(m.windows_dir)),
    VALUE("system_dir", Text(m.system_dir)),
    VALUE("current_dir", Text(m.current_dir)),
    VALUE("exe_dir", Text(m.exe_dir)),
    VALUE("locale", m.locale),
    VALUE("codepage", m.codepage),
    VALUE("unix_locale", {{"name", UnixLocaleOf(m.locale).name},
                          {"locale", UnixLocaleOf(m.locale).locale},
                          {"codepage", AnsiCodePageOf(UnixLocaleOf(m.locale).locale)}}),
    VALUE("stdout", m.has_stdout),
    VALUE("registry_delete", m.delete_semantics == DeleteSemantics::Legacy ? "legacy" : "nt"),
    VALUE("command_line", Text(m.command_line)),
    {"strings",
     [](const LoadedMachine& l) {
         json strings = json::object();
         for (const auto& [id, text] : l.machine.strings) strings[std::to_string(id)] = Text(text);
         return strings;
     }},
    {"files", nullptr, WriteFiles},
    {"registry", nullptr,
     [](JsonWriter& w, const LoadedMachine& l) { WriteRegistry(w, *l.machine.hklm); }},
    {"devices", nullptr, WriteDevices},
    VALUE("modules", Modules(m)),
    VALUE("update", {{"reboot", m.update.reboot}, {"check", m.update.check}}),
    {"answers",
     [](const LoadedMachine& l) {
         json answers = json::array();
         for (bool a : l.machine.answers) answers.push_back(a ? "yes" : "no");
         return answers;
     }},
    {"faults", nullptr,
     [](JsonWriter& w, const LoadedMachine& l) {
         w.Open('[');
         for (const Fault& f : l.machine.faults)
             w.Value({{"call", f.call}, {"nth", f.nth}, {"count", f.count}, {"error", f.error}},
                     true);
         w.Close(']');
     }},
    {"settings", nullptr,
     [](JsonWriter& w, const LoadedMachine& l) {
         w.Open('[');
         for (const Setting& s : l.settings) w.Value({{"field", s.field}, {"line", s.line}}, true);
         w.Close(']');
     }},
    VALUE("warnings", l.warnings),
    VALUE("notes", l.notes),
};

}  // namespace

void WriteMachineDump(std::ostream& out, const LoadedMachine& loaded) {
    JsonWriter w(out);
    w.Open('{');
    for (const DumpKey& key : kDumpKeys) {
        w.Key(key.name);
        if (key.write)
            key.write(w, loaded);
        else
            w.Value(key.value(loaded));
    }
    w.Close('}');
}

json DumpMachine(const LoadedMachine& loaded) {
    std::ostringstream text;
    WriteMachineDump(text, loaded);
    return json::parse(text.str());
}

}  // namespace sim
