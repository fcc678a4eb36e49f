// Fuzz target: the machine capture's writer and the simulator's reader. The
// input makes a machine whose texts and values hold any bytes: the package
// folder's name, OtherDevicePath, and under a controller key of Enum\PCI
// subkeys and values of any name, type and data (Windows 98 SE), or present
// devices with any hardware-identifier bytes (Windows XP), in any code page
// the simulator knows or one it does not. The capture's file must load as
// it is, and give back every name, value and list byte for byte.
//
// The capture keeps nothing from one run to the next (its output state is
// set afresh when the output opens, its buffers are released at the end),
// so it runs in this process, where the fuzzer sees its coverage.
#include <string>
#include <vector>

#include "capture/capture.h"
#include "sim/codepage.h"
#include "sim/codepage_tables.h"
#include "sim/machine_file.h"
#include "sim/presets.h"
#include "sim/runtime.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

const char kController[] = "Enum\\PCI\\VEN_C4B9&DEV_8E3A&SUBSYS_8E3AC4B9&REV_02";
const char kCurrentVersion[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";

// The input: a flags byte (bit 0: Windows XP rather than 98 SE), a code
// page byte (an index into the simulator's tables; past them, code page 437,
// which it does not know), then records separated by the two bytes FE FF.
// The first record names the package folder; on 98 SE the second is
// OtherDevicePath's bytes, each later one a subkey (type byte 0) or a value
// (type byte, name up to a NUL, data); on XP each later record is a device's
// hardware-identifier bytes.
struct Built {
    sim::Machine machine;
    std::string folder;
};

// A folder name Windows accepts: no control characters, none of <>:"|?*\/,
// at most 100 bytes, not empty, not ending in a dot or a blank.
std::string FolderName(const std::string& raw) {
    std::string name;
    for (unsigned char c : raw)
        if (c >= 0x20 && !strchr("<>:\"|?*\\/", c) && name.size() < 100)
            name += static_cast<char>(c);
    while (!name.empty() && (name.back() == '.' || name.back() == ' ')) name.pop_back();
    return name.empty() || name == "." || name == ".." ? "VNTR" : name;
}

Built Make(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    uint8_t flags = in.Byte();
    uint8_t page = in.Byte();
    std::vector<std::string> records = in.Split("\xFE\xFF");
    bool nt = flags & 1;
    Built b;
    b.machine = sim::PresetMachine(nt ? "xp" : "98se");
    sim::Machine& m = b.machine;
    m.codepage = page < sim::kCodePageCount ? sim::kCodePageTables[page].id : 437;
    b.folder = FolderName(records[0]);
    m.current_dir = "C:\\" + b.folder;
    m.files.MakeDirs(m.current_dir);
    if (nt) {
        m.devices.clear();
        for (size_t i = 1; i < records.size() && i < 200; ++i) {
            sim::Device d;
            d.hardware_ids = records[i];
            m.devices.push_back(d);
        }
        return b;
    }
    if (records.size() > 1)
        sim::FindKeyPath(m.hklm.get(), kCurrentVersion)
            ->SetValue({"OtherDevicePath", 1, records[1]});
    sim::RegKey* controller = sim::MakeKeyPath(m.hklm.get(), kController);
    for (size_t i = 2; i < records.size() && i < 200; ++i) {
        const std::string& r = records[i];
        uint8_t type = r.empty() ? 0 : static_cast<uint8_t>(r[0]);
        std::string rest = r.empty() ? "" : r.substr(1);
        if (type == 0) {
            // A key name holds any byte but NUL and the backslash.
            std::string name;
            for (char c : rest)
                if (c && c != '\\' && name.size() < 255) name += c;
            controller->Make(name.empty() ? "K" : name);
        } else {
            size_t nul = rest.find('\0');
            std::string name = rest.substr(0, nul);
            std::string value = nul == std::string::npos ? "" : rest.substr(nul + 1);
            controller->SetValue({name, type == 0xFF ? 0u : type, value});
        }
    }
    return b;
}

// Runs the capture to standard output on the machine; what it wrote.
std::string CaptureText(const sim::Machine& m) {
    sim::RunOptions options;
    sim::Session session(m, options);
    char arguments[1] = "";
    int code = CaptureMain(arguments);
    fuzz::Check(code == 0, "the capture exited with " + std::to_string(code));
    std::string text;
    for (const sim::Event& e : session.runtime().events)
        if (e.type() == "stdout") text += e.GetStr("text");
    fuzz::Check(session.runtime().allocations.empty(), "the capture left memory allocated");
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Built b = Make(data, size);
    const sim::Machine& m = b.machine;
    std::string text = CaptureText(m);
    sim::Machine back;
    try {
        back = sim::ParseMachine(text, "captured").machine;
    } catch (const std::exception& e) {
        fuzz::Fail(std::string("the captured file does not load: ") + e.what() + "\n" + text);
    }
    fuzz::Check(back.current_dir == m.current_dir, "the package folder's name changed");
    fuzz::Check(back.codepage == (sim::IsCodePage(m.codepage) ? m.codepage : 1252u),
                "the code page is not the one named");
    if (m.os.platform == 2) {
        fuzz::Check(back.devices.size() == m.devices.size(), "the number of devices changed");
        for (size_t i = 0; i < m.devices.size(); ++i)
            fuzz::Check(back.devices[i].hardware_ids == m.devices[i].hardware_ids,
                        "device " + std::to_string(i) + "'s list changed");
        return 0;
    }
    sim::RegKey* before = sim::FindKeyPath(m.hklm.get(), kCurrentVersion);
    sim::RegKey* after = sim::FindKeyPath(back.hklm.get(), kCurrentVersion);
    const sim::RegValue* other = before->Value("OtherDevicePath");
    const sim::RegValue* otherBack = after ? after->Value("OtherDevicePath") : nullptr;
    fuzz::Check(!other == !otherBack, "OtherDevicePath came and went");
    if (other)
        fuzz::Check(otherBack->type == other->type && otherBack->data == other->data,
                    "OtherDevicePath changed");
    sim::RegKey* controller = sim::FindKeyPath(back.hklm.get(), kController);
    fuzz::Check(controller != nullptr, "the controller key is gone");
    fuzz::Check(sim::RegistryJson(*controller, sim::RegistryForm::kSummary) ==
                    sim::RegistryJson(*sim::FindKeyPath(m.hklm.get(), kController),
                                      sim::RegistryForm::kSummary),
                "the controller key's subkeys or values changed");
    return 0;
}
