#include "host/sim/runtime.h"

#include <cstdlib>
#include <stdexcept>

namespace sim {

static Runtime* g_active = nullptr;

Runtime* Active() { return g_active; }

Runtime& Current() {
    if (!g_active) {
        fprintf(stderr, "vntrsetup-sim: a host function was called with no machine running\n");
        abort();
    }
    return *g_active;
}

bool CallFails(const char* call, uint32_t default_error) {
    Runtime& rt = Current();
    uint32_t error = 0;
    if (!rt.Faulted(call, default_error, &error)) return false;
    rt.last_error = error;
    return true;
}

std::string PointerText(const void* p) {
    char text[32];
    snprintf(text, sizeof text, "0x%lx",
             static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p)));
    return p ? text : "NULL";
}

std::string Text(const Bytes& bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (unsigned char c : bytes) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

Bytes BytesOf(const std::string& text) {
    Bytes out;
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if ((c == 0xC2 || c == 0xC3) && i + 1 < text.size()) {
            out += static_cast<char>(((c & 0x03) << 6) | (text[i + 1] & 0x3F));
            ++i;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

json TextOrNull(const char* bytes) {
    if (!bytes) return nullptr;
    return Text(bytes);
}

void Runtime::Emit(json event) {
    if (options.sink) options.sink(event);
    events.push_back(std::move(event));
}

bool Runtime::Faulted(const char* call, uint32_t default_error, uint32_t* error) {
    uint32_t n = ++call_counts[call];
    if (options.record_calls) call_order.push_back(call);
    for (const Fault& f : m.faults) {
        if (f.call != call || n < f.nth || n >= f.nth + f.count) continue;
        *error = f.error ? f.error : default_error;
        Emit({{"type", "fault"}, {"call", call}, {"n", n}, {"error", *error}});
        return true;
    }
    return false;
}

std::string Runtime::KeyPath(const RegKey* key) const {
    // Depth-first search from the root; registries here are small.
    std::function<bool(const RegKey*, std::string&)> walk = [&](const RegKey* at,
                                                                std::string& path) {
        if (at == key) return true;
        for (const auto& sub : at->subkeys) {
            size_t keep = path.size();
            path += "\\" + sub->name;
            if (walk(sub.get(), path)) return true;
            path.resize(keep);
        }
        return false;
    };
    std::string path = "HKLM";
    return walk(m.hklm.get(), path) ? path : std::string("(deleted key)");
}

// The program's standard output: msvcrt writes it in text mode, so every
// line feed goes out as CR LF. Without a standard output the writes fail and
// the program's lines are lost, as for a GUI program on Windows.
static ssize_t CaptureWrite(void* cookie, const char* data, size_t size) {
    auto* rt = static_cast<Runtime*>(cookie);
    if (!rt->m.has_stdout) return -1;
    Bytes out;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == '\n') out += '\r';
        out += data[i];
    }
    rt->Emit({{"type", "stdout"}, {"text", Text(out)}});
    return static_cast<ssize_t>(size);
}

Session::Session(const Machine& machine, RunOptions options) : rt_(new Runtime) {
    if (g_active) throw std::logic_error("a simulated machine is already running");
    rt_->m = machine.Clone();
    rt_->options = std::move(options);
    rt_->cwd = FileSystem::Absolute(rt_->m.current_dir, "C:\\");
    if (rt_->cwd.empty()) rt_->cwd = rt_->m.current_dir;
    if (!rt_->options.answer) {
        Runtime* rt = rt_.get();
        rt_->options.answer = [rt](const json&) -> std::optional<bool> {
            if (rt->next_answer >= rt->m.answers.size()) return std::nullopt;
            return rt->m.answers[rt->next_answer++];
        };
    }
    fflush(stdout);
    cookie_io_functions_t io = {nullptr, CaptureWrite, nullptr, nullptr};
    rt_->captured_stdout = fopencookie(rt_.get(), "w", io);
    if (rt_->captured_stdout) {
        setvbuf(rt_->captured_stdout, nullptr, _IONBF, 0);
        rt_->saved_stdout = stdout;
        stdout = rt_->captured_stdout;
    }
    g_active = rt_.get();
}

Session::~Session() {
    if (rt_->captured_stdout) {
        fflush(rt_->captured_stdout);
        stdout = rt_->saved_stdout;
        fclose(rt_->captured_stdout);
    }
    for (auto& [block, size] : rt_->allocations) free(block);
    g_active = nullptr;
}

json DumpKey(const RegKey& key) {
    json out = {{"name", Text(key.name)}};
    json values = json::array();
    for (const auto& v : key.values)
        values.push_back({{"name", Text(v.name)}, {"type", v.type}, {"data", Text(v.data)}});
    if (!values.empty()) out["values"] = values;
    json subs = json::array();
    for (const auto& sub : key.subkeys) subs.push_back(DumpKey(*sub));
    if (!subs.empty()) out["subkeys"] = subs;
    return out;
}

json Session::Summary() const {
    const Runtime& rt = *rt_;
    json leaks = json::array();
    for (const auto& [block, size] : rt.allocations) leaks.push_back(size);
    json loaded = json::array();
    for (const auto& [handle, mod] : rt.modules) loaded.push_back(Text(mod.path));
    json calls = json::object();
    for (const auto& [name, n] : rt.call_counts) calls[name] = n;
    json order = json::array();
    for (const auto& c : rt.call_order) order.push_back(c);
    return {{"calls", calls},
            {"call_order", order},
            {"allocations_left", leaks},
            {"keys_open", rt.keys.size()},
            {"device_sets_open", rt.device_sets.size()},
            {"modules_loaded", loaded},
            {"files_open", rt.open_files},
            {"current_dir", Text(rt.cwd)},
            {"registry", DumpKey(*rt.m.hklm)}};
}

}  // namespace sim
