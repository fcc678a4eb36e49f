#include "sim/runtime.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

#include "sim/machine_file.h"

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

bool CallFails(Call call) {
    Runtime& rt = Current();
    uint32_t error = 0;
    if (!rt.Faulted(call, &error)) return false;
    rt.last_error = error;
    return true;
}

Event CallEvent(Call call) {
    // Built in place and returned as it is (the builder's reference would
    // be copied, field by field).
    Event e(Row(call).event);
    e.Name("call", Row(call).name);
    return e;
}

std::string HexText(uint64_t v, int width) {
    char text[20];
    char* at = text + sizeof text;
    do {
        *--at = kHexDigits[v & 15];
        v >>= 4;
    } while (v || text + sizeof text - at < width);
    *--at = 'x';
    *--at = '0';
    return std::string(at, text + sizeof text);
}

std::string PointerText(const void* p) {
    return p ? HexText(reinterpret_cast<uintptr_t>(p)) : "NULL";
}

std::string Runtime::BlockText(const void* p) const {
    auto it = allocations.find(const_cast<void*>(p));
    if (it == allocations.end()) return PointerText(p);
    return HexText(it->second.shown, 8);
}

void Runtime::Emit(const Event& event) {
    if (options.sink) options.sink(event);
    if (options.keep_events) events.push_back(event);
}

bool Runtime::Faulted(Call call, uint32_t* error) {
    size_t index = static_cast<size_t>(call);
    uint32_t n = ++call_counts[index];
    if (options.record_calls) call_order.push_back(static_cast<uint16_t>(index));
    const HostCall& c = Row(call);
    // A fault fails calls nth to nth + count - 1; where several are in force,
    // the first in the file decides.
    FaultPlan& plan = fault_plans[index];
    while (plan.next < plan.by_start.size() && m.faults[plan.by_start[plan.next]].nth <= n)
        plan.in_force.insert(plan.by_start[plan.next++]);
    auto passed = [&](size_t i) { return uint64_t{m.faults[i].nth} + m.faults[i].count <= n; };
    while (!plan.in_force.empty() && passed(*plan.in_force.begin()))
        plan.in_force.erase(plan.in_force.begin());
    if (plan.in_force.empty()) return false;
    size_t i = *plan.in_force.begin();
    faults_fired[i] = true;
    *error = m.faults[i].error ? m.faults[i].error : c.default_error;
    Emit(Event("fault").Str("call", c.name).Num("n", n).Num("error", *error));
    return true;
}

// The program's standard output and standard error: msvcrt writes them in
// text mode, so every line feed goes out as CR LF. Without them (the
// machine's `stdout = false`) the writes fail and the program's lines are
// lost, as for a GUI program on Windows.
static ssize_t CaptureStream(Runtime* rt, const char* type, const char* data, size_t size) {
    if (!rt->m.has_stdout) return -1;
    Bytes out;
    out.reserve(size + 8);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == '\n') out += '\r';
        out += data[i];
    }
    rt->Emit(Event(type).Str("text", std::move(out)));
    return static_cast<ssize_t>(size);
}

static ssize_t CaptureStdout(void* cookie, const char* data, size_t size) {
    return CaptureStream(static_cast<Runtime*>(cookie), "stdout", data, size);
}

static ssize_t CaptureStderr(void* cookie, const char* data, size_t size) {
    return CaptureStream(static_cast<Runtime*>(cookie), "stderr", data, size);
}

// Puts a stream of the runtime's own in the place of `stream` (stdout or
// stderr), unbuffered, its writes going to `write`; `*saved` keeps the one
// it replaces. Returns it, or null when it cannot be made.
static FILE* Capture(Runtime* rt, FILE*& stream, FILE** saved, cookie_write_function_t* write) {
    FILE* captured = fopencookie(rt, "w", {nullptr, write, nullptr, nullptr});
    if (!captured) return nullptr;
    setvbuf(captured, nullptr, _IONBF, 0);
    *saved = stream;
    stream = captured;
    return captured;
}

// Gives `stream` back the one Capture replaced.
static void Uncapture(FILE* captured, FILE*& stream, FILE* saved) {
    if (!captured) return;
    fflush(captured);
    stream = saved;
    fclose(captured);
}

Session::Session(const Machine& machine, RunOptions options) : rt_(new Runtime) {
    rt_->m = machine.Clone();
    rt_->options = std::move(options);
    Start();
}

Session::Session(Machine&& machine, RunOptions options) : rt_(new Runtime) {
    rt_->m = std::move(machine);
    rt_->options = std::move(options);
    Start();
}

void Session::Start() {
    if (g_active) throw std::logic_error("a simulated machine is already running");
    text_ = std::make_unique<TextCodePageScope>(rt_->m.codepage, rt_->m.os.platform == 2);
    rt_->call_counts.assign(kHostCallCount, 0);
    rt_->faults_fired.assign(rt_->m.faults.size(), false);
    rt_->fault_plans.assign(kHostCallCount, {});
    for (size_t i = 0; i < rt_->m.faults.size(); ++i)
        if (const HostCall* c = FindHostCall(rt_->m.faults[i].call))
            rt_->fault_plans[c - kHostCalls].by_start.push_back(i);
    for (Runtime::FaultPlan& plan : rt_->fault_plans)
        std::stable_sort(plan.by_start.begin(), plan.by_start.end(), [this](size_t a, size_t b) {
            return rt_->m.faults[a].nth < rt_->m.faults[b].nth;
        });
    rt_->cwd = FileSystem::Absolute(rt_->m.current_dir, "C:\\");
    if (rt_->cwd.empty()) rt_->cwd = rt_->m.current_dir;
    if (!rt_->options.answer) {
        Runtime* rt = rt_.get();
        rt_->options.answer = [rt](const Event&) -> std::optional<bool> {
            if (rt->next_answer >= rt->m.answers.size()) return std::nullopt;
            return rt->m.answers[rt->next_answer++];
        };
    }
    fflush(stdout);
    fflush(stderr);
    rt_->captured_stdout = Capture(rt_.get(), stdout, &rt_->saved_stdout, CaptureStdout);
    rt_->captured_stderr = Capture(rt_.get(), stderr, &rt_->saved_stderr, CaptureStderr);
    g_active = rt_.get();
}

Session::~Session() {
    Uncapture(rt_->captured_stdout, stdout, rt_->saved_stdout);
    Uncapture(rt_->captured_stderr, stderr, rt_->saved_stderr);
    while (!rt_->allocations.empty()) rt_->Release(rt_->allocations.begin()->first);
    g_active = nullptr;
}

json Session::Summary() const {
    const Runtime& rt = *rt_;
    // In the order they were allocated (of the addresses the record shows),
    // not of where the simulator's own heap put them, so that runs compare.
    std::vector<std::pair<uint32_t, size_t>> left;
    for (const auto& [block, info] : rt.allocations) left.push_back({info.shown, info.size});
    std::sort(left.begin(), left.end());
    json leaks = json::array();
    for (const auto& block : left) leaks.push_back(block.second);
    json loaded = json::array();
    for (const auto& [handle, mod] : rt.modules) loaded.push_back(Text(mod.path));
    json calls = json::object();
    for (size_t i = 0; i < kHostCallCount; ++i)
        if (rt.call_counts[i]) calls[kHostCalls[i].name] = rt.call_counts[i];
    json unfired = json::array();
    for (size_t i = 0; i < rt.faults_fired.size(); ++i)
        if (!rt.faults_fired[i]) unfired.push_back(i);
    json out = {{"calls", calls},
                {"allocations_left", leaks},
                {"keys_open", rt.keys.size()},
                {"device_sets_open", rt.device_sets.size()},
                {"searches_open", rt.searches.size()},
                {"modules_loaded", loaded},
                {"files_open", rt.open_files},
                {"faults_not_fired", unfired},
                {"current_dir", Text(rt.cwd)}};
    if (rt.options.record_calls) {
        json order = json::array();
        for (uint16_t c : rt.call_order) order.push_back(kHostCalls[c].name);
        out["call_order"] = order;
    }
    return out;
}

void Session::WriteSummaryState(const std::function<void(const std::string&)>& piece) const {
    const Runtime& rt = *rt_;
    if (!rt.options.summary_registry) return;
    std::string out = "\"registry\":";
    auto flush = [&] {
        piece(out);
        out.clear();
    };
    AppendRegistryJson(out, *rt.m.hklm, RegistryForm::kSummary, flush);
    out += ",\"files\":[";
    bool first = true;
    rt.m.files.ForEach([&](const std::string& path, const FileSystem::Node& node) {
        out += first ? "{\"path\":" : ",{\"path\":";
        first = false;
        AppendJsonBytes(out, path);
        out += node.dir ? ",\"dir\":true,\"bytes\":0}"
                        : ",\"dir\":false,\"bytes\":" + std::to_string(node.data.size()) + "}";
        if (out.size() >= (1 << 20)) flush();
    });
    out += ']';
    flush();
}

}  // namespace sim
