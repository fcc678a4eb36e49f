// Fuzz target: the controller search's walk over hardware-identifier lists.
// The input is a byte choosing the identifier searched for, then one record
// per device, separated by "<DEV>": the bytes of each device's list (any
// bytes, terminated or not) and the size the system reports for it, which
// may be smaller or larger than the list. The search must
//   - keep an identifier of at most 255 characters, NUL-terminated;
//   - keep only a whole entry of a list (as far as the reported size shows
//     it) that begins with the search identifier, letters A-Z folded;
//   - find the first such entry in device and list order, and report
//     "found" exactly then;
//   - release every list and the device set, and read nothing outside the
//     list buffers (AddressSanitizer).
//
// The kept identifier is the only state a search leaves, so the program
// runs in this process and the identifier is emptied before each input.
#include <string>
#include <vector>

#include "nt/nt.h"
#include "sim/presets.h"
#include "sim/runtime.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

const char* const kSearchIds[2] = {"PCI\\VEN_C4B9&DEV_8E3A", "PCI\\VEN_C4B9&DEV_8E51"};
const size_t kMaxDevices = 16;
// Between two devices' records. A record is a flags byte, the reported size
// (two bytes, little-endian) when its flag is set, and the list's bytes.
const char kDeviceSeparator[] = "<DEV>";

// Device flags, one byte per device.
enum : uint8_t {
    kNoIds = 1,              // no hardware identifiers (ERROR_INVALID_DATA)
    kReportedSize = 2,       // a reported size follows (two bytes)
    kSizeQuerySucceeds = 4,  // the read without a buffer succeeds
    kNeverFits = 8,          // every read answers ERROR_INSUFFICIENT_BUFFER
    kAbsent = 16,            // not present: not in the device set at all
};

char Fold(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool Matches(const std::string& entry, const char* searchId) {
    size_t n = strlen(searchId);
    if (entry.size() < n) return false;
    for (size_t i = 0; i < n; ++i)
        if (Fold(entry[i]) != Fold(searchId[i])) return false;
    return true;
}

// The list as the program gets it: the reported size, with the stored bytes
// copied in as far as they go and zeros after them.
std::string Visible(const sim::Device& d) {
    size_t size = d.reported_size ? *d.reported_size : d.hardware_ids->size();
    std::string out = d.hardware_ids->substr(0, size);
    out.resize(size, '\0');
    return out;
}

// The entries of a list up to its first empty entry or its end.
std::vector<std::string> Entries(const std::string& list) {
    std::vector<std::string> out;
    size_t at = 0;
    while (at < list.size() && list[at]) {
        size_t end = list.find('\0', at);
        if (end == std::string::npos) end = list.size();
        out.push_back(list.substr(at, end - at));
        at = end + 1;
    }
    return out;
}

// Whether the program gets to walk the device's list at all: present, with
// identifiers, a list that can be read, and something to read.
bool Walkable(const sim::Device& d) {
    if (!d.present || !d.hardware_ids || d.insufficient_forever || d.size_query_succeeds)
        return false;
    size_t size = d.reported_size ? *d.reported_size : d.hardware_ids->size();
    return size > 0;
}

const sim::Machine& Template() {
    static const sim::Machine m = [] {
        sim::Machine t = sim::PresetMachine("xp");
        t.devices.clear();
        return t;
    }();
    return m;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const char* searchId = kSearchIds[in.Byte() & 1];
    sim::Machine m = Template();
    for (const std::string& record : in.Split(kDeviceSeparator)) {
        if (m.devices.size() == kMaxDevices) break;
        fuzz::Input device(reinterpret_cast<const uint8_t*>(record.data()), record.size());
        uint8_t flags = device.Byte();
        sim::Device d;
        if (flags & kReportedSize) d.reported_size = device.Word();
        if (!(flags & kNoIds)) d.hardware_ids = device.Rest();
        d.size_query_succeeds = flags & kSizeQuerySucceeds;
        d.insufficient_forever = flags & kNeverFits;
        d.present = !(flags & kAbsent);
        m.devices.push_back(d);
    }

    // The first whole entry, in device and list order, that matches and
    // fits the kept identifier.
    bool expectFound = false;
    std::string expectedId;
    for (const sim::Device& d : m.devices) {
        if (!Walkable(d)) continue;
        for (const std::string& entry : Entries(Visible(d))) {
            if (Matches(entry, searchId) && entry.size() <= 255) {
                expectFound = true;
                expectedId = entry;
                break;
            }
        }
        if (expectFound) break;
    }

    sim::RunOptions options;
    options.keep_events = false;
    sim::Session session(m, options);
    sim::Runtime& rt = session.runtime();
    HMODULE setupapi = BindSetupLibrary();
    fuzz::Check(setupapi && SearchEntriesBound(), "setupapi.dll did not bind");
    g_hardwareId[0] = '\0';
    BOOL found = SearchController(searchId);

    const char* kept = g_hardwareId;
    size_t keptLength = strnlen(kept, sizeof g_hardwareId);
    fuzz::Check(keptLength < sizeof g_hardwareId, "the kept identifier is not terminated");
    fuzz::Check(keptLength <= 255, "the kept identifier is longer than 255 characters");
    if (found) {
        fuzz::Check(Matches(kept, searchId),
                    "the kept identifier does not match: " + std::string(kept));
        bool whole = false;
        for (const sim::Device& d : m.devices) {
            if (!d.present || !d.hardware_ids) continue;
            for (const std::string& entry : Entries(Visible(d))) whole = whole || entry == kept;
        }
        fuzz::Check(whole,
                    "the kept identifier is no whole entry of any list: " + std::string(kept));
    }
    fuzz::Check(found == (expectFound ? TRUE : FALSE),
                expectFound ? "a matching entry was missed: " + expectedId
                            : "a match was reported where there is none");
    if (expectFound)
        fuzz::Check(expectedId == kept,
                    "kept " + std::string(kept) + " instead of the first match " + expectedId);
    else
        fuzz::Check(keptLength == 0, "an identifier is kept after a search without a match");

    UnbindSetupLibrary(setupapi);
    fuzz::Check(rt.allocations.empty(), "a list or a message text was not released");
    fuzz::Check(rt.device_sets.empty(), "the device set was not destroyed");
    fuzz::Check(rt.modules.empty(), "setupapi.dll is still loaded");
    return 0;
}
