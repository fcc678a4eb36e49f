// The running simulated system: a machine installed as "the computer" for the
// host functions of host.h, with a record of everything the program did.
#ifndef VNTR_SIM_RUNTIME_H
#define VNTR_SIM_RUNTIME_H

#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "host/sim/machine.h"

namespace sim {

using json = nlohmann::ordered_json;

// Byte strings travel in JSON as text with one code point per byte (0-255),
// so any byte survives the trip; Bytes() undoes Text().
std::string Text(const Bytes& bytes);
Bytes BytesOf(const std::string& text);
json TextOrNull(const char* bytes);

// Thrown out of MessageBoxA when a Yes/No box finds no answer.
struct NoAnswer {
    std::string text;
};

// Decides the answer to a Yes/No box (true = Yes); nullopt when none is left.
using Answerer = std::function<std::optional<bool>(const json& box)>;
// Receives every event as it happens.
using Sink = std::function<void(const json& event)>;

struct RunOptions {
    Answerer answer;  // default: the machine's answers, in order
    Sink sink;
    bool record_calls = true;         // keep the order of host calls (for fault walks)
    bool record_device_calls = true;  // events for every SetupDi call
};

// The state behind the host functions while a machine runs.
struct Runtime {
    Machine m;
    RunOptions options;
    std::string cwd;
    uint32_t last_error = 0;
    std::vector<json> events;
    std::map<std::string, uint32_t> call_counts;
    std::vector<std::string> call_order;
    size_t next_answer = 0;

    struct KeyHandle {
        std::weak_ptr<RegKey> key;
        std::string path;  // for the record, e.g. "HKLM\Enum\PCI"
    };
    std::map<uintptr_t, KeyHandle> keys;
    uintptr_t next_key = 0x1000;

    struct LoadedModule {
        size_t index;  // into m.modules
        std::string path;
        int refs = 0;
    };
    std::map<uintptr_t, LoadedModule> modules;

    std::map<uintptr_t, std::vector<size_t>> device_sets;
    uintptr_t next_set = 0x5e70000;

    std::map<void*, size_t> allocations;
    int open_files = 0;

    FILE* saved_stdout = nullptr;
    FILE* captured_stdout = nullptr;

    void Emit(json event);
    // Counts the call and tells whether a planned fault makes it fail; when it
    // does, *error receives the fault's error code.
    bool Faulted(const char* call, uint32_t default_error, uint32_t* error);
    std::string KeyPath(const RegKey* key) const;
};

// The runtime the host functions act on; null when no machine runs.
Runtime* Active();
// The same, for host functions: a call with no machine running is a bug of
// the caller and ends the process with a message.
Runtime& Current();
// Counts a host call; when a fault plan makes it fail, sets the last-error
// code to the fault's error and returns true.
bool CallFails(const char* call, uint32_t default_error);
// A handle or pointer as the record shows it: "0x..." or "NULL".
std::string PointerText(const void* p);

// Installs a machine for the host functions of this process and captures the
// program's standard output. One session at a time.
class Session {
   public:
    Session(const Machine& machine, RunOptions options);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    Runtime& runtime() { return *rt_; }
    // What is left at the end: allocations, open handles, loaded modules, the
    // final directory and registry.
    json Summary() const;

   private:
    std::unique_ptr<Runtime> rt_;
};

// The registry below a key as JSON: {"name", "values", "subkeys"}.
json DumpKey(const RegKey& key);

}  // namespace sim

#endif  // VNTR_SIM_RUNTIME_H
