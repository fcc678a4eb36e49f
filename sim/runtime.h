// The running simulated system: a machine installed as "the computer" for the
// host functions of host.h, with a record of everything the program did.
#ifndef VNTR_SIM_RUNTIME_H
#define VNTR_SIM_RUNTIME_H

#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "sim/calls.h"
#include "sim/event.h"
#include "sim/machine.h"

namespace sim {

// Thrown out of MessageBoxA when a Yes/No box finds no answer.
struct NoAnswer {
    std::string text;
};

// Decides the answer to a Yes/No box (true = Yes); nullopt when none is left.
using Answerer = std::function<std::optional<bool>(const Event& box)>;
// Receives every event as it happens.
using Sink = std::function<void(const Event& event)>;

struct RunOptions {
    Answerer answer;               // default: the machine's answers, in order
    Sink sink;                     // sees every event as it happens
    bool keep_events = true;       // keep them in Runtime::events as well
    bool record_calls = false;     // keep the order of host calls (for fault walks)
    bool summary_registry = true;  // the registry at the end, in the summary
    // The program to start, given its command line; null: setup.exe's WinMain.
    int (*program)(char* command_line) = nullptr;
};

// The state behind the host functions while a machine runs.
struct Runtime {
    Machine m;
    RunOptions options;
    std::string cwd;
    uint32_t last_error = 0;
    std::vector<Event> events;
    std::vector<uint32_t> call_counts;  // by index into kHostCalls
    std::vector<uint16_t> call_order;   // indexes into kHostCalls, when recorded
    std::vector<bool> faults_fired;     // by index into m.faults
    // The planned faults of one host call, so that a call looks only at the
    // faults in force for it (a file may plan many thousands, and a run make
    // hundreds of thousands of calls).
    struct FaultPlan {
        std::vector<size_t> by_start;  // indexes into m.faults, by nth, then file order
        size_t next = 0;               // the first of by_start not yet in force
        // Begun, in file order: the first whose calls have not all passed
        // fails the call; the others leave when they come first.
        std::set<size_t> in_force;
    };
    std::vector<FaultPlan> fault_plans;  // by index into kHostCalls
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

    // Directory searches of FindFirstFileA: the entries found when the search
    // began, and the next one FindNextFileA gives.
    struct Search {
        struct Entry {
            std::string name;
            bool dir;
            uint64_t size;
        };
        std::vector<Entry> entries;
        size_t next = 0;
    };
    std::map<uintptr_t, Search> searches;
    uintptr_t next_search = 0x5ea0000;

    // Blocks from LocalAlloc and FormatMessageA: size, and the address the
    // record shows for them (numbered in order, so runs compare).
    struct Block {
        size_t size;
        uint32_t shown;
    };
    std::map<void*, Block> allocations;
    uint32_t next_block = 0x00150000;
    // The part of the process's address space the blocks take (see
    // kAddressSpace).
    uint64_t address_space_used = 0;
    // A block of `bytes` for the program, recorded, with the address the
    // record shows for it; null with last_error ERROR_NOT_ENOUGH_MEMORY when
    // the process's address space has no room left for it. `zeroed` as
    // LMEM_ZEROINIT asks; otherwise the block holds junk.
    void* Allocate(size_t bytes, bool zeroed, std::string* shown);
    // Gives a block of Allocate back; false when it is none.
    bool Release(void* block);
    // The address shown for a block or buffer of the program's.
    std::string BlockText(const void* p) const;
    int open_files = 0;
    // Streams opened through fopen: what the record calls them, whether a
    // planned failure has set their error flag, and for a new file the flag
    // that keeps it from appearing when its close fails.
    struct Stream {
        std::string name;
        bool failed = false;
        bool* discard = nullptr;
    };
    std::map<const void*, Stream> streams;

    FILE* saved_stdout = nullptr;
    FILE* captured_stdout = nullptr;
    FILE* saved_stderr = nullptr;
    FILE* captured_stderr = nullptr;

    void Emit(const Event& event);
    // Counts a call of a host function and tells whether a planned fault
    // makes it fail; when it does, *error receives the fault's error code
    // and a "fault" event is recorded.
    bool Faulted(Call call, uint32_t* error);
};

// The user address space of a 32-bit Windows process: the blocks the
// program holds at once share it, and an allocation beyond it fails as on
// Windows, with ERROR_NOT_ENOUGH_MEMORY, whatever the host has. (The image,
// the stacks and the system libraries take part of it on Windows; the
// simulator leaves them out.)
constexpr uint64_t kAddressSpace = uint64_t{2} << 30;

// The runtime the host functions act on; null when no machine runs.
Runtime* Active();
// The same, for host functions: a call with no machine running is a bug of
// the caller and ends the process with a message.
Runtime& Current();
// Counts a host call; when a fault plan makes it fail, sets the last-error
// code to the fault's error and returns true.
bool CallFails(Call call);
// The event of one call: the type its row in the list of host calls gives,
// and the function's name; the caller adds the arguments ("args.*"), then
// the result.
Event CallEvent(Call call);
// The end of a call: its event, which holds the result, emitted, and
// `value` returned.
template <typename T>
T Emitted(const Event& e, T value) {
    Current().Emit(e);
    return value;
}
// The end of a call that fails with `error` as the last error: the error
// recorded after the result the event already holds.
template <typename T>
T Failed(Event& e, uint32_t error, T value) {
    Current().last_error = error;
    return Emitted(e.Num("error", error), value);
}
// The end of a call whose result is a BOOL-like success: on failure also
// the last-error code.
template <typename T>
T Finish(Event& e, bool ok, T value) {
    e.Flag("result", ok);
    if (!ok) return Failed(e, Current().last_error, value);
    return Emitted(e, value);
}
// A BOOL-like failure with `error` as the last error.
template <typename T>
T Refuse(Event& e, uint32_t error, T value) {
    e.Flag("result", false);
    return Failed(e, error, value);
}
// The buttons the program shows a message of its table with: MB_YESNO for
// its two questions (MSG_CONFIRM, MSG_SUCCESS_REBOOT), MB_OK for the rest.
// A box with no text is told by them (see MessageBoxA's record).
unsigned MessageButtons(int message);
// A handle or pointer as the record shows it: "0x..." or "NULL".
std::string PointerText(const void* p);
// "0x" and the lower-case hexadecimal digits of `v`, at least `width` of them.
std::string HexText(uint64_t v, int width = 1);

// Installs a machine for the host functions of this process and captures the
// program's standard output. One session at a time.
class Session {
   public:
    Session(const Machine& machine, RunOptions options);
    // Takes the machine over instead of copying it.
    Session(Machine&& machine, RunOptions options);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    Runtime& runtime() { return *rt_; }
    // What is left at the end: allocations, open handles, loaded modules, the
    // final directory, calls made, faults that never fired.
    json Summary() const;
    // The rest of the summary, with RunOptions::summary_registry: the
    // registry and the files at the end, as the JSON text of the members
    // "registry" and "files", given to `piece` in pieces of about a megabyte
    // as it is made (a machine of 100,000 files is never held as a tree).
    void WriteSummaryState(const std::function<void(const std::string&)>& piece) const;

   private:
    void Start();
    std::unique_ptr<Runtime> rt_;
    // Names and paths are read by the machine's characters while it runs.
    std::unique_ptr<TextCodePageScope> text_;
};

}  // namespace sim

#endif  // VNTR_SIM_RUNTIME_H
