#include "sim/calls.h"

#include <algorithm>
#include <vector>

#include "nt/nt.h"

namespace sim {

namespace {

// The program's binding table, as nt/nt.h defines it: each setupapi.dll
// entry point the program resolves, and whether its controller search calls
// it.
struct Bound {
    const char* name;
    bool search;
};
#define SIM_BOUND(index, name, shown, search) {name, (search) != FALSE},
constexpr Bound kBound[] = {SETUP_ENTRY_LIST(SIM_BOUND)};
#undef SIM_BOUND

constexpr bool SameName(const char* a, const char* b) {
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}

constexpr const Bound* BoundEntry(const char* name) {
    for (const Bound& b : kBound)
        if (SameName(b.name, name)) return &b;
    return nullptr;
}

// Who calls a function: for an entry point of the binding table, the program
// when its search calls it, and the capture, which lists devices through the
// same entries.
constexpr unsigned UsersOf(const char* name, unsigned users) {
    if (!(users & kBinding)) return users;
    const Bound* b = BoundEntry(name);
    return b && b->search ? kNt | kCapture : 0u;
}

constexpr const char* WhyNot(const char* name, unsigned users, bool fails, const char* why_not) {
    if (users & kBinding) {
        const Bound* b = BoundEntry(name);
        if (!b) return "the program does not resolve it";
        if (!b->search) return "the program resolves it but never calls it";
    }
    return fails ? nullptr : why_not;
}

}  // namespace

#define SIM_CALL_ROW(name, library, event, change, fails, error, users, records, why_not, ...) \
    {#name,                                                                                    \
     #library ".dll",                                                                          \
     event,                                                                                    \
     change,                                                                                   \
     (fails) && UsersOf(#name, users) != 0,                                                    \
     error,                                                                                    \
     UsersOf(#name, users),                                                                    \
     records,                                                                                  \
     WhyNot(#name, users, fails, why_not)},
const HostCall kHostCalls[] = {SIM_HOST_CALLS(SIM_CALL_ROW)};
#undef SIM_CALL_ROW

const size_t kHostCallCount = sizeof kHostCalls / sizeof kHostCalls[0];

int HostCallIndex(const std::string& name) {
    for (size_t i = 0; i < kHostCallCount; ++i)
        if (name == kHostCalls[i].name) return static_cast<int>(i);
    return -1;
}

const HostCall* FindHostCall(const std::string& name) {
    int i = HostCallIndex(name);
    return i < 0 ? nullptr : &kHostCalls[i];
}

std::string FaultableCallNames() {
    std::string out;
    for (size_t i = 0; i < kHostCallCount; ++i)
        if (kHostCalls[i].can_fail)
            out += (out.empty() ? "" : ", ") + std::string(kHostCalls[i].name);
    return out;
}

bool IsChangeType(std::string_view type) {
    // Asked of every event of a run: the few change types, gathered once.
    static const std::vector<std::string_view> types = [] {
        std::vector<std::string_view> out;
        for (size_t i = 0; i < kHostCallCount; ++i)
            if (kHostCalls[i].change &&
                std::find(out.begin(), out.end(), kHostCalls[i].change) == out.end())
                out.push_back(kHostCalls[i].change);
        return out;
    }();
    return std::find(types.begin(), types.end(), type) != types.end();
}

}  // namespace sim
