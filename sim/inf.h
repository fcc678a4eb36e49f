// Windows INF files as Windows' own parser reads them, and what Windows then
// does with a driver package: the result of UpdateDriverForPlugAndPlayDevicesA
// on 2000/XP, and the driver Windows 9x finds for a controller at the next
// start. docs/packages.md gives each rule with the page of Windows'
// documentation it follows.
//
// Texts the reader gives back (values, descriptions, section and file names)
// are bytes in the code page given to Inf::Read, like every text of the
// machine.
#ifndef VNTR_SIM_INF_H
#define VNTR_SIM_INF_H

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "sim/machine.h"

namespace sim {

struct InfProblem {
    std::string file;   // as given to Read
    size_t line = 0;    // 1-based physical line where the problem is; 0: the file as a whole
    std::string text;   // UTF-8
    bool error = true;  // false: a warning (the file is still read)
    std::string Describe() const;  // "FILE:LINE: text" ("FILE: text" for line 0)
};

// The Windows that reads the INF, always x86.
struct InfTarget {
    bool nt = true;  // the NT family (2000, XP) or the 9x family (98, 98 SE, ME)
    uint32_t major = 5, minor = 1;
    uint32_t product_type = 1;  // VER_NT_WORKSTATION; 3 for a server
    uint32_t suite_mask = 0;    // VER_SUITE_* flags of the running Windows
};
// The target of a machine: its family and version.
InfTarget TargetOf(const Machine& m);

struct InfNamed {
    std::string name;
    size_t line = 0;
};

struct InfModel {
    std::string manufacturer;  // the [Manufacturer] entry's name (strings substituted)
    std::string section;       // the models section chosen, as decorated ("Vantor.NTx86.5.1")
    std::string description;   // the model's device description ("Vantor CardBus Controller 8E3A")
    std::string install;       // its install section name as written ("VNTR_CardBus")
    std::string id;            // the INF's ID that matched
    size_t line = 0;           // the model line
    uint32_t rank = 0;         // Windows' rank: lower is better
};

class Inf {
   public:
    // The largest INF the simulator reads; a larger file is refused as a
    // whole (Windows documents no limit; this bounds the reader's memory).
    static constexpr size_t kMaxFileSize = 16u << 20;

    // Reads an INF's bytes. `file` names it in problems; `codepage` is the
    // machine's ANSI code page (single- or double-byte); `locale` picks
    // [Strings.LLLL] first; `nt` says whether a UTF-16 LE file with a BOM is
    // readable (NT only; on 9x it is an error).
    static Inf Read(const Bytes& data, const std::string& file, uint32_t codepage, uint32_t locale,
                    bool nt);

    bool Parsed() const;  // no problem is an error
    const std::vector<InfProblem>& Problems() const { return problems_; }
    // The first error, if any.
    const InfProblem* FirstError() const;
    // Whether an error is about [Version] (missing, or a bad signature):
    // Windows refuses such a file as not an INF of its style.
    bool WrongStyle() const { return wrong_style_; }

    // [Version] values (strings substituted, quotes removed), "" when absent;
    // the key without case.
    std::string Version(const std::string& key) const;
    bool ReadBy(const InfTarget&) const;  // its Signature is one that Windows accepts
    std::optional<InfNamed> Catalog(
        const InfTarget&) const;  // CatalogFile with the best decoration

    // The models sections the target reads, one per [Manufacturer] entry, as
    // decorated, each with the line of the [Manufacturer] entry naming it.
    std::vector<InfNamed> ModelsSections(const InfTarget&) const;
    // The model Windows would choose for a device with these IDs, by the
    // target's decoration rules and rank.
    std::optional<InfModel> Choose(const std::vector<std::string>& hardware_ids,
                                   const std::vector<std::string>& compatible_ids,
                                   const InfTarget&) const;
    // The files the model's install section (with its best .NTx86/.NT
    // decoration for NT; undecorated for 9x) copies: CopyFiles=@file and
    // CopyFiles=section lists, each with the line naming it.
    std::vector<InfNamed> Copies(const InfModel&, const InfTarget&) const;
    // The folder below the INF's own that a file it copies lives in, from
    // [SourceDisksNames] and [SourceDisksFiles] (.x86 decoration first on
    // NT): "" for the INF's folder, else a relative path ("disk1\x86"),
    // with the line of the [SourceDisksFiles] entry (0 when none lists it).
    InfNamed SourceFolder(const std::string& file, const InfTarget&) const;

   private:
    struct Entry {
        size_t line = 0;
        bool has_key = false;
        std::string key;                  // substituted and unquoted
        std::vector<std::string> fields;  // the values after '=' (or the whole line)
    };
    struct Section {
        std::string name;  // as first written
        size_t line = 0;
        std::vector<Entry> entries;
    };
    class Parser;

    const Section* Find(const std::string& name) const;
    // The first of the names that is a section here.
    const Section* FindFirst(const std::vector<std::string>& names) const;
    const Entry* VersionEntry(const std::string& key) const;
    // The entry of that key in the first of the sections that has one.
    const Entry* KeyIn(const std::vector<std::string>& sections, const std::string& key) const;
    std::string ModelsSectionFor(const Entry& manufacturer, const InfTarget&) const;

    std::string file_;
    std::vector<InfProblem> problems_;
    std::vector<Section> sections_;
    std::unordered_map<std::string, size_t> index_;  // Upper(name) -> sections_
    // For the sections looked up by key (SourceDisksFiles, SourceDisksNames):
    // section -> Upper(key) -> its first entry of that key.
    std::unordered_map<size_t, std::unordered_map<std::string, size_t>> keys_;
    bool wrong_style_ = false;
};

// The compatible IDs Windows' PCI bus driver reports for a device with these
// hardware IDs (documented: "Identifiers for PCI Devices").
std::vector<std::string> PciCompatibleIds(const std::vector<std::string>& hardware_ids);
// The hardware and compatible IDs a 9x machine gives the device of an
// Enum\PCI key name ("VEN_C4B9&DEV_8E3A&SUBSYS_8E3AC4B9&REV_02").
struct DeviceIds {
    std::vector<std::string> hardware, compatible;
};
DeviceIds PciIdsOfEnumKey(const std::string& key_name);

// A device's hardware identifiers, in order (none when it has none).
std::vector<std::string> HardwareIdsOf(const Device& device);
// Whether a present device lists the hardware identifier (any letter case).
bool ListsHardwareId(const Device& device, const std::string& hardware_id);

// The last errors of device installation Windows' setupapi.h defines.
constexpr uint32_t kErrorGeneralSyntax = 0xE0000003u;    // ERROR_GENERAL_SYNTAX
constexpr uint32_t kErrorWrongInfStyle = 0xE0000100u;    // ERROR_WRONG_INF_STYLE
constexpr uint32_t kErrorNoSuchDevinst = 0xE000020Bu;    // ERROR_NO_SUCH_DEVINST
constexpr uint32_t kErrorNoCompatDrivers = 0xE0000228u;  // ERROR_NO_COMPAT_DRIVERS

// UpdateDriverForPlugAndPlayDevicesA's result on `m` (an NT machine as it is
// at the call) for `inf_path` (absolute Windows path as the caller resolved
// it, may be missing; "" for one the machine cannot name, which is no file) and
// `hardware_id` (as passed).
struct UpdatePrediction {
    enum Kind { kInstalls, kFails, kUnpredictable } kind = kInstalls;
    uint32_t error =
        0;  // the last error when it fails (ERROR_FILE_NOT_FOUND, ERROR_NO_SUCH_DEVINST, ...)
    std::string why;  // one line a person reads (UTF-8), naming file:line where there is one
    std::optional<InfModel> model;     // the model chosen when it installs
    std::vector<InfProblem> problems;  // what the reader found in the INF
};
UpdatePrediction PredictUpdate(const Machine& m, const std::string& inf_path,
                               const std::string& hardware_id);

// What Windows 9x does at the next start for the device of each Enum\PCI key
// of `key_names` that the run deleted, on `after` as it is after the run: the INF
// directory (after.windows_dir + "\INF", its files *.INF) and the
// directories of HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion
// OtherDevicePath (';'-separated) are searched.
struct RestartPrediction {
    std::string device;  // the device's first hardware ID
    // The INF Windows would use (its path as the machine spells it), or none.
    std::optional<std::string> inf;
    std::optional<std::string> model;  // the model's description, or none
    std::string why;                   // UTF-8, naming the ID, its rank and file:line
    // INF files in the searched folders known only by size and CRC: had one
    // of them a better model, Windows would take it.
    std::vector<std::string> not_captured;
};
// Each prediction is given to `each` as it is made.
void PredictRestarts(const Machine& after, const std::vector<std::string>& key_names,
                     const std::function<void(const RestartPrediction&)>& each);

}  // namespace sim

#endif  // VNTR_SIM_INF_H
