// Machine files: a simulated Windows machine described in TOML.
#ifndef VNTR_SIM_MACHINE_FILE_H
#define VNTR_SIM_MACHINE_FILE_H

#include <climits>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "sim/event.h"
#include "sim/machine.h"

namespace sim {

// A machine file that cannot be used; what() reads "FILE:LINE: FIELD: problem"
// (line 0 when the problem is with the file as a whole).
class MachineError : public std::runtime_error {
   public:
    MachineError(const std::string& file, int line, const std::string& field,
                 const std::string& problem);
    std::string file;
    int line;
    std::string field;
    std::string problem;
};

// What the command line sets over a machine file. Each replaces what the
// file says of its setting, and the loaded machine's notes say what was
// replaced: --os the Windows (its version; the file's directories stay),
// --locale the locale and with it the code page, --cwd the current
// directory (the package folder moves with it, and with the folder every
// entry the file puts in it, unless [package] at puts the folder
// elsewhere), --package the package folder's content as a whole (where the
// file takes it from, what it omits, and every entry the file puts in the
// folder), --command-line the command line, --answer (or --ask) the answers.
struct Overrides {
    std::optional<std::string> os;           // a preset name
    std::optional<std::string> current_dir;  // a Windows path, UTF-8
    std::optional<std::string> package;      // a host folder
    std::optional<uint32_t> locale;
    std::optional<std::string> command_line;  // UTF-8
    std::optional<std::vector<bool>> answers;
    bool ask = false;  // the answers are none: every question is asked
};

// Lines of text held end to end in one buffer: the 400,000 lines of a long
// trace cost their bytes and two numbers each, not an object each.
class TextList {
   public:
    TextList() = default;
    TextList(std::initializer_list<std::string_view> lines) {
        for (std::string_view line : lines) push_back(line);
    }
    TextList(const std::vector<Bytes>& lines) {
        for (const Bytes& line : lines) push_back(line);
    }
    // The lines of `text`, each ended by `separator` (the last one need not
    // be), taken over whole.
    static TextList Split(Bytes text, std::string_view separator);

    size_t size() const { return spans_.size(); }
    bool empty() const { return spans_.empty(); }
    std::string_view operator[](size_t i) const {
        return std::string_view(text_).substr(spans_[i].first, spans_[i].second);
    }
    void push_back(std::string_view line) {
        spans_.emplace_back(Offset(text_.size()), Offset(line.size()));
        text_ += line;
    }
    // Room for `lines` lines of `bytes` in all, made once: a long list grown
    // by doubling would hold its old room and its new at once.
    void reserve(size_t lines, size_t bytes) {
        spans_.reserve(lines);
        text_.reserve(bytes);
    }
    bool operator==(const TextList& other) const;
    bool operator!=(const TextList& other) const { return !(*this == other); }

    using iterator = IndexIterator<TextList, std::string_view>;
    using const_iterator = iterator;
    iterator begin() const { return {this, 0}; }
    iterator end() const { return {this, size()}; }

   private:
    // Lines are held within 4 GiB: more stops with an exception, never a
    // wrong line.
    static uint32_t Offset(size_t n) {
        if (n > UINT32_MAX) throw std::length_error("more than 4 GiB of lines");
        return static_cast<uint32_t>(n);
    }
    Bytes text_;
    std::vector<std::pair<uint32_t, uint32_t>> spans_;  // of each line: where it begins, its length
};

// What a run of the machine should come to (`[expect]`). Texts are bytes
// of the machine's code page, and are compared as bytes.
struct Expectation {
    int line = 0;
    std::optional<std::string> outcome;
    // Box texts; none for a box shown without a text.
    std::optional<std::vector<std::optional<Bytes>>> boxes;
    std::optional<TextList> changes;  // see ChangeBytes()
    // The standard output, line by line, CR LF ends taken off.
    std::optional<TextList> trace;
    // What Windows 9x does at its next start (see AfterRestartBytes()).
    std::optional<TextList> after_restart;
};

// A setting the file gives, with its line: "windows_dir", "faults[0].call".
struct Setting {
    std::string_view field;
    int line;
};

// Every setting of a file, held as TextList holds lines: a file of 100,000
// devices and a trace of 400,000 lines gives 700,000.
class SettingList {
   public:
    size_t size() const { return lines_.size(); }
    Setting operator[](size_t i) const { return {fields_[i], lines_[i]}; }
    void push_back(std::string_view field, int line) {
        fields_.push_back(field);
        lines_.push_back(line);
    }
    void reserve(size_t settings, size_t bytes) {
        fields_.reserve(settings, bytes);
        lines_.reserve(settings);
    }
    using iterator = IndexIterator<SettingList, Setting>;
    iterator begin() const { return {this, 0}; }
    iterator end() const { return {this, size()}; }

   private:
    TextList fields_;
    std::vector<int> lines_;
};

struct LoadedMachine {
    Machine machine;
    std::vector<std::string> warnings;  // "FILE:LINE: FIELD: text"
    // What the command line replaced of the file, in the same form.
    std::vector<std::string> notes;
    SettingList settings;
    std::optional<Expectation> expect;
    // Devices before this index are the preset's; the file's follow, in
    // the order of its [[devices]].
    size_t preset_devices = 0;
};

// Reads a machine file ("-" reads standard input). Host files it names are
// taken relative to the file's folder.
LoadedMachine LoadMachineFile(const std::string& path, const Overrides& overrides = {});
// `source` names the text in messages; relative host paths in the text are
// taken from `base_dir`.
LoadedMachine ParseMachine(std::string toml_text, const std::string& source,
                           const std::string& base_dir = ".", const Overrides& overrides = {});

// A key a machine file may give ("devices.ids"), and the heading of
// docs/machine-files.md whose section names it.
struct DocumentedKey {
    std::string field;
    std::string doc;
};
// Every key the reader knows, from its own table of keys.
std::vector<DocumentedKey> MachineFileKeys();

// The simulator's default machine (see DefaultMachine) with the command
// line's settings.
LoadedMachine BuiltInMachine(const std::string& os, const Overrides& overrides);

// The registry below a key as JSON: {"name", "values": [{"name", "type",
// data}], "subkeys": [...]}. The machine's form (--dump-machine) gives every
// key's lists, the data in "hex" and the errors a file plans; the summary of
// a run lists only what is there, the data as text ("data", one character
// per byte).
enum class RegistryForm { kMachine, kSummary };
// Written as compact JSON text after `out`, one key after another: `flush`,
// when given, is called whenever `out` holds a megabyte or more, to take it
// (a registry of 100,000 keys is never held whole).
void AppendRegistryJson(std::string& out, const RegKey& top, RegistryForm form,
                        const std::function<void()>& flush = nullptr);
// The same as a tree.
json RegistryJson(const RegKey& top, RegistryForm form);

// The machine as JSON, everything resolved: the directories, files (bytes in
// hex), registry, devices, libraries, answers, faults, and every setting the
// file gave with its line. Written in pieces as it is made (two spaces an
// indent level), so that a machine of 100,000 keys is never held twice.
void WriteMachineDump(std::ostream& out, const LoadedMachine& loaded);
// The same document, read back (for tests).
json DumpMachine(const LoadedMachine& loaded);

// A path of a machine file in the machine's code page as a Windows path:
// absolute with a drive letter, no NUL, no part longer than 255 characters,
// at most 32,767 characters in all. Throws std::invalid_argument with the
// reason.
std::string WindowsPathOfBytes(const Bytes& path, uint32_t codepage);

}  // namespace sim

#endif  // VNTR_SIM_MACHINE_FILE_H
