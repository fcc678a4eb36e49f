// The simulated Windows machine: everything the program can observe through
// host.h, as plain data. A machine is built from a TOML file (machine_file.cpp)
// or from a preset (presets.cpp) and then run (runner.h).
#ifndef VNTR_SIM_MACHINE_H
#define VNTR_SIM_MACHINE_H

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace sim {

// Byte strings: texts in the machine's ANSI code page, file contents, registry
// data. They may hold any byte, NUL included.
using Bytes = std::string;

struct OsVersion {
    uint32_t platform = 2;
    uint32_t major = 5;
    uint32_t minor = 1;
    uint32_t build_number = 2600;  // the whole dwBuildNumber
    std::string csd;
};

// Case-insensitive, backslash-separated Windows paths over an in-memory tree.
class FileSystem {
   public:
    struct Node {
        std::string path;  // as first spelled, for display
        bool dir = false;
        Bytes data;
    };

    // Absolute form of `path` seen from `cwd`: drive letter, single
    // backslashes, "." and ".." folded, no trailing backslash except at a
    // drive root. Empty when the path cannot be made absolute.
    static std::string Absolute(const std::string& path, const std::string& cwd);
    static std::string Key(const std::string& absolute);
    static std::string Parent(const std::string& absolute);  // "" for a root
    static bool IsRoot(const std::string& absolute);

    const Node* Find(const std::string& absolute) const;
    bool IsDir(const std::string& absolute) const;
    bool IsFile(const std::string& absolute) const;
    // Creates the directory and any missing parents.
    void MakeDirs(const std::string& absolute);
    // Creates the file (and its parents) or replaces its contents.
    void PutFile(const std::string& absolute, const Bytes& data);
    // Creates one directory whose parent must exist.
    bool MakeDir(const std::string& absolute);
    bool Remove(const std::string& absolute);
    std::vector<const Node*> All() const;

   private:
    std::map<std::string, Node> nodes_;
};

struct RegValue {
    std::string name;
    uint32_t type = 1;
    Bytes data;
};

struct RegKey {
    std::string name;
    std::vector<RegValue> values;
    std::vector<std::shared_ptr<RegKey>> subkeys;  // enumeration order
    bool deleted = false;

    RegKey* Child(const std::string& name) const;  // case-insensitive
    RegValue* Value(const std::string& name);
};

enum class DeleteSemantics {
    Legacy,  // RegDeleteKeyA removes the key with all its subkeys
    Nt,      // RegDeleteKeyA fails with error 5 on a key that has subkeys
};

struct Device {
    // The SPDRP_HARDWAREID property as stored; none when the device has no
    // hardware identifiers (the read fails with ERROR_INVALID_DATA).
    std::optional<Bytes> hardware_ids;
    std::optional<uint32_t> reported_size;  // size claimed instead of the real one
    bool insufficient_forever = false;      // every read answers 122
    bool size_query_succeeds = false;       // the read without a buffer succeeds
    bool present = true;
    std::string description;
};

struct Module {
    std::string name;  // file name, e.g. "setupapi.dll"
    std::string dir;   // directory it lives in
    bool loads = true;
    bool planted = false;  // not a system library: loading it is a finding
    std::set<std::string> missing;
};

struct UpdateBehaviour {
    bool result = true;
    bool reboot = false;
    uint32_t error = 0;  // last-error code when result is false
    bool check = true;   // fail like Windows when the INF or the device is missing
};

struct Fault {
    std::string call;
    uint32_t nth = 1;    // 1-based call number of that operation
    uint32_t count = 1;  // how many calls in a row fail
    uint32_t error = 0;
};

struct Machine {
    std::string name;
    std::string source;  // file it was read from, or "built-in"
    OsVersion os;
    std::string os_name;  // preset name, or "custom"
    std::string windows_dir = "C:\\WINDOWS";
    std::string system_dir = "C:\\WINDOWS\\system32";
    std::string current_dir = "C:\\";
    std::string exe_dir;  // where setup.exe lies; empty: the current directory
    uint32_t locale = 0x0409;
    bool has_stdout = true;
    DeleteSemantics delete_semantics = DeleteSemantics::Nt;
    std::map<uint32_t, Bytes> strings;  // string resources of setup.exe
    FileSystem files;
    std::shared_ptr<RegKey> hklm = std::make_shared<RegKey>();
    std::vector<Device> devices;
    std::vector<Module> modules;
    UpdateBehaviour update;
    std::vector<bool> answers;  // true = Yes
    std::vector<Fault> faults;
    bool exit_windows_succeeds = true;

    // A deep copy: registry keys are shared pointers.
    Machine Clone() const;
};

// Creates the key path (backslash-separated, relative to HKLM) and returns the
// last key.
RegKey* MakeKeyPath(RegKey* root, const std::string& path);
RegKey* FindKeyPath(RegKey* root, const std::string& path);

// Joins hardware identifiers into a property value: each followed by NUL,
// and a closing empty string.
Bytes MultiSz(const std::vector<std::string>& ids);

bool EqualNoCase(const std::string& a, const std::string& b);
std::string Upper(std::string s);

}  // namespace sim

#endif  // VNTR_SIM_MACHINE_H
