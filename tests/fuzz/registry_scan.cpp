// Fuzz target: the device registry reset of the legacy flow. The input
// describes a Windows 98, 98 SE or ME registry: the subkeys of Enum\PCI (any
// names, any number, with or without instance subkeys), whether it deletes
// whole trees (Windows 9x) or refuses keys with subkeys (NT, Wine), and the
// state of OtherDevicePath. After the reset:
//   - every key under Enum\PCI whose first 17 characters equal
//     "VEN_C4B9&DEV_8E3A" or "VEN_C4B9&DEV_8E51" (case-sensitively) is gone
//     with all its subkeys, and every other key is there as it was;
//   - no deletion touched anything else;
//   - a missing OtherDevicePath now names <Windows>\INF\OTHER as REG_SZ, an
//     existing one is unchanged whatever it holds, and nothing else in the
//     registry changed;
//   - the reset reports controller keys exactly when there were some, and
//     leaves no key open and nothing allocated.
//
// The reset keeps no state from one call to the next (its count of matched
// keys lives in the call), so it runs in this process, where the fuzzer sees
// its coverage. Should it ever keep a process-wide count, a second input
// would find the first one's count: the result check below fails at once,
// and each input would then have to run in a child process (sim::Run).
#include <string>
#include <vector>

#include "legacy/legacy.h"
#include "sim/machine_file.h"
#include "sim/presets.h"
#include "sim/runtime.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

const char* const kPrefixes[2] = {"VEN_C4B9&DEV_8E3A", "VEN_C4B9&DEV_8E51"};
const char kCurrentVersion[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
const size_t kMaxKeys = 300;

// Machine flags, the first byte of the input.
enum : uint8_t {
    kEditionMask = 3,     // 98, 98 SE, ME (3 reads as 98)
    kNtDeletion = 4,      // RegDeleteKeyA refuses keys with subkeys
    kNoPciBranch = 8,     // no Enum\PCI key at all
    kOtherPathShift = 5,  // two bits: the state of OtherDevicePath
};

// Key records follow the machine flags (and the bytes of a binary
// OtherDevicePath), separated by backslashes, which no key name can hold:
// the key's flags byte, for a cut prefix the length kept, then the rest of
// the name. Key flags:
enum : uint8_t {
    kNameMask = 3,       // raw name, first prefix + bytes, second prefix +
                         // bytes, or a cut (and maybe lower-cased) prefix + bytes
    kInstanceShift = 2,  // two bits: instance subkeys
    kDeeper = 16,        // each instance has a subkey of its own
    kSecondPrefix = 32,  // for a cut prefix: which one
    kLowerCase = 64,     // for a cut prefix: lower-cased
};

std::string KeyName(fuzz::Input& in, uint8_t flags) {
    std::string name;
    switch (flags & kNameMask) {
        case 1:
            name = kPrefixes[0];
            break;
        case 2:
            name = kPrefixes[1];
            break;
        case 3: {
            name =
                std::string(kPrefixes[(flags & kSecondPrefix) ? 1 : 0]).substr(0, in.Byte() % 18);
            if (flags & kLowerCase)
                for (char& c : name) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
            break;
        }
    }
    // A key name holds any character but the path separator (which cannot
    // be in a record) and NUL.
    std::string rest = in.Rest();
    for (char& c : rest)
        if (c == '\0') c = '_';
    name += rest;
    if (name.size() > 255) name.resize(255);
    return name;
}

bool IsController(const std::string& name) {
    return name.size() >= 17 &&
           (name.compare(0, 17, kPrefixes[0]) == 0 || name.compare(0, 17, kPrefixes[1]) == 0);
}

const sim::json* Sub(const sim::json& key, const std::string& name) {
    if (!key.contains("subkeys")) return nullptr;
    for (const auto& sub : key["subkeys"])
        if (sim::BytesOf(sub["name"].get<std::string>()) == name) return &sub;
    return nullptr;
}

sim::json* Sub(sim::json& key, const std::string& name) {
    return const_cast<sim::json*>(Sub(static_cast<const sim::json&>(key), name));
}

sim::json* Path(sim::json& root, const std::string& path) {
    sim::json* at = &root;
    size_t start = 0;
    while (at && start <= path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string::npos) end = path.size();
        at = Sub(*at, path.substr(start, end - start));
        start = end + 1;
    }
    return at;
}

sim::Machine MachineOf(fuzz::Input& in, uint8_t flags) {
    static const char* const kEditions[4] = {"98", "98se", "me", "98"};
    sim::Machine m = sim::PresetMachine(kEditions[flags & kEditionMask]);
    m.delete_semantics =
        (flags & kNtDeletion) ? sim::DeleteSemantics::Nt : sim::DeleteSemantics::Legacy;

    sim::RegKey* current = sim::FindKeyPath(m.hklm.get(), kCurrentVersion);
    switch ((flags >> kOtherPathShift) & 3) {
        case 0:
            break;  // missing
        case 1:
            current->SetValue({"OtherDevicePath", 1, "D:\\DRIVERS\\INF" + std::string(1, '\0')});
            break;
        case 2:
            current->SetValue({"OtherDevicePath", 2, std::string(300, 'L') + '\0'});
            break;
        case 3:
            current->SetValue({"OtherDevicePath", 3, in.Bytes(in.Byte())});
            break;
    }

    // A key of a controller's name outside Enum\PCI is no business of the
    // reset.
    sim::MakeKeyPath(m.hklm.get(), "Enum\\ISAPNP\\VEN_C4B9&DEV_8E3A\\0");
    sim::RegKey* enumKey = sim::FindKeyPath(m.hklm.get(), "Enum");
    if (sim::RegKey* old = enumKey->Child("PCI")) enumKey->Remove(old);
    if (flags & kNoPciBranch) return m;
    sim::RegKey* pci = sim::MakeKeyPath(m.hklm.get(), "Enum\\PCI");
    size_t keys = 0;
    for (const std::string& record : in.Split("\\")) {
        if (keys == kMaxKeys) break;
        fuzz::Input fields(reinterpret_cast<const uint8_t*>(record.data()), record.size());
        uint8_t keyFlags = fields.Byte();
        std::string name = KeyName(fields, keyFlags);
        if (name.empty()) continue;
        ++keys;
        // Key names are case-insensitive: a second spelling of a name is
        // the same key.
        sim::RegKey* key = pci->Make(name);
        int instances = (keyFlags >> kInstanceShift) & 3;
        for (int i = 0; i < instances; ++i) {
            sim::RegKey* instance =
                sim::MakeKeyPath(key, "BUS_0" + std::to_string(i) + "&DEV_0C&FUNC_00");
            instance->SetValue({"HardwareID", 1, "PCI\\" + name + '\0'});
            if (keyFlags & kDeeper) sim::MakeKeyPath(instance, "Device Parameters");
        }
    }
    return m;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    uint8_t flags = in.Byte();
    sim::Machine m = MachineOf(in, flags);

    // The registry as it should be afterwards, OtherDevicePath aside.
    sim::json before = sim::RegistryJson(*m.hklm, sim::RegistryForm::kSummary);
    sim::json expected = before;
    std::vector<std::string> controllers;
    if (sim::json* pci = Path(expected, "Enum\\PCI"); pci && pci->contains("subkeys")) {
        sim::json kept = sim::json::array();
        for (const auto& sub : (*pci)["subkeys"]) {
            std::string name = sim::BytesOf(sub["name"].get<std::string>());
            if (IsController(name))
                controllers.push_back(name);
            else
                kept.push_back(sub);
        }
        if (kept.empty())
            pci->erase("subkeys");
        else
            (*pci)["subkeys"] = kept;
    }
    const sim::json* current = Path(before, kCurrentVersion);
    bool hadOtherPath = false;
    for (const auto& v : current->value("values", sim::json::array()))
        hadOtherPath = hadOtherPath || v["name"] == "OtherDevicePath";

    sim::RunOptions options;
    options.record_calls = false;
    sim::Session session(m, options);
    sim::Runtime& rt = session.runtime();
    int result = ResetDeviceRegistry();
    sim::json after = sim::RegistryJson(*rt.m.hklm, sim::RegistryForm::kSummary);

    // A missing OtherDevicePath gets the default, as a string that names
    // INF\OTHER; the bytes after its NUL are the writer's business.
    if (!hadOtherPath) {
        sim::json* values = &(*Path(after, kCurrentVersion))["values"];
        sim::json written;
        for (auto it = values->begin(); it != values->end(); ++it) {
            if ((*it)["name"] == "OtherDevicePath") {
                written = *it;
                values->erase(it);
                break;
            }
        }
        fuzz::Check(!written.is_null(), "a missing OtherDevicePath was not written");
        std::string bytes = sim::BytesOf(written["data"].get<std::string>());
        std::string path = m.windows_dir + "\\INF\\OTHER";
        fuzz::Check(written["type"] == 1, "OtherDevicePath is not REG_SZ");
        fuzz::Check(bytes.size() <= 260 && bytes.compare(0, path.size() + 1, path + '\0') == 0,
                    "OtherDevicePath does not name INF\\OTHER: " + bytes);
    }
    if (after != expected)
        fuzz::Fail("the registry after the reset is not the one expected\nexpected: " +
                   expected.dump() + "\nafter:    " + after.dump());

    // Each deletion is a controller key or lies below one.
    for (const auto& e : rt.events) {
        if (e.type() != "reg_delete" || e.GetNum("result", -1) != 0) continue;
        std::string key = e.GetStr("path");
        bool below = false;
        for (const auto& c : controllers) {
            std::string path = "HKLM\\Enum\\PCI\\" + c;
            below = below || key == path || key.compare(0, path.size() + 1, path + "\\") == 0;
        }
        fuzz::Check(below, "a key that is no controller's was deleted: " + key);
    }

    fuzz::Check(result == (controllers.empty() ? RESET_NONE_FOUND : RESET_DONE),
                "the reset reported " + std::to_string(result) + " for " +
                    std::to_string(controllers.size()) + " controller keys");
    fuzz::Check(rt.keys.empty(), "registry keys were left open");
    fuzz::Check(rt.allocations.empty(), "memory was left allocated");
    return 0;
}
