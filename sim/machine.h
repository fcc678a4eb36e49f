// The simulated Windows machine: everything the program can observe through
// host.h, as plain data. A machine is built from a TOML file (machine_file.cpp)
// or from a preset (presets.cpp) and then run (runner.h).
#ifndef VNTR_SIM_MACHINE_H
#define VNTR_SIM_MACHINE_H

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace sim {

// Byte strings: texts in the machine's ANSI code page, file contents, registry
// data. They may hold any byte, NUL included.
using Bytes = std::string;

// The longest path Windows accepts anywhere (the \\?\ form of the wide
// functions); the simulator refuses longer ones in its own input.
constexpr size_t kMaxWindowsPath = 32767;

struct OsVersion {
    uint32_t platform = 2;
    uint32_t major = 5;
    uint32_t minor = 1;
    uint32_t build_number = 2600;  // the whole dwBuildNumber
    std::string csd;
};

// The code page of the texts at hand: names and paths are stepped through
// by its characters, so that in a double-byte code page the second byte of
// a character (which may be 0x5C, the backslash's byte, or a letter's) is
// never taken for a separator or folded as a letter. A running session and
// the machine-file reader set it for the machine they work on; 1252
// otherwise. Names are compared without case as the machine's Windows
// does (UpperCase in codepage.h): `nt` for Windows NT, 2000 and XP (the
// default until the platform is known), else as Windows 95 to ME.
uint32_t TextCodePage();
class TextCodePageScope {
   public:
    explicit TextCodePageScope(uint32_t codepage, bool nt = true);
    ~TextCodePageScope();
    TextCodePageScope(const TextCodePageScope&) = delete;
    TextCodePageScope& operator=(const TextCodePageScope&) = delete;

   private:
    uint32_t saved_;
    bool saved_nt_;
};
// The number of bytes of the character at s[at] in the text code page: 2
// for a lead byte with a byte after it, else 1.
size_t CharLength(const std::string& s, size_t at);
// The offset of the first backslash character at or after `from` (a
// character boundary), or npos; and of the last one.
size_t FindBackslash(const std::string& s, size_t from = 0);
size_t FindLastBackslash(const std::string& s);

// Calls each(part) for every part of `path` from `from` on that backslashes
// separate (as FindBackslash finds them), empty parts left out; stops and
// returns false at the first part for which `each` returns false.
template <typename Each>
bool ForEachPart(const std::string& path, size_t from, Each each) {
    for (size_t start = from; start < path.size();) {
        size_t end = FindBackslash(path, start);
        if (end == std::string::npos) end = path.size();
        if (end > start && !each(path.substr(start, end - start))) return false;
        start = end + 1;
    }
    return true;
}

// Why Windows cannot hold `name` as the name of a file or folder, or "" when
// it can: an empty name, a device name Windows reserves (CON, PRN, AUX, NUL,
// COM1 to COM9, LPT1 to LPT9, with any extension: NUL.txt), one of the
// characters : * ? " < > | \ / or a control character, or a dot or space at
// its end. The name is read by the characters of the text code page: the
// second byte of a double-byte character is no character of its own. The
// reason quotes the name as a person reads it.
std::string WindowsNameProblem(const std::string& name);

// Whether the absolute path `path` is the folder `folder` or lies below it
// (both as FileSystem::Absolute gives them), compared by characters and
// without regard to case.
bool PathWithin(const std::string& path, const std::string& folder);

// The name upper-cased as the text code page's Windows compares names
// (see TextCodePageScope): two names are one name when these are equal.
std::string Upper(std::string s);
bool EqualNoCase(const std::string& a, const std::string& b);
// A hash that names equal without case (EqualNoCase) share.
size_t HashNoCase(const std::string& s);

// A file's contents: its bytes, shared by the copies of a machine and the
// files copied from it; or placeholder bytes known by their size and CRC-32
// (zeros, then from four bytes on four bytes that bring the sum to the
// CRC), made only where they are read, so that a file the program never
// reads costs nothing however large.
class FileData {
   public:
    FileData() = default;
    FileData(Bytes bytes);  // NOLINT(google-explicit-constructor): contents are bytes
    FileData(const char* text) : FileData(Bytes(text)) {}  // NOLINT(google-explicit-constructor)
    static FileData Placeholder(size_t size, uint32_t crc);

    size_t size() const { return size_; }
    bool placeholder() const { return placeholder_; }
    // The CRC-32 of the contents (common/crc32.h), a placeholder's as given.
    uint32_t Crc32() const;
    // The byte at `at` (below size()); and up to `count` bytes from `at`
    // into `out`, returning how many.
    char At(size_t at) const;
    size_t Copy(size_t at, size_t count, char* out) const;
    // The whole contents.
    Bytes Read() const;

   private:
    std::shared_ptr<const Bytes> bytes_;
    size_t size_ = 0;
    bool placeholder_ = false;
    uint32_t crc_ = 0;
    char tail_[4] = {};  // a placeholder's last four bytes (from four bytes on)
};

// Case-insensitive, backslash-separated Windows paths over an in-memory tree.
// Each node keeps only its own name, so a deep path costs memory in
// proportion to its length.
class FileSystem {
   public:
    struct Node {
        std::string name;  // as first spelled; "C:" for a drive
        bool dir = false;
        FileData data;
        // Nonzero: the file is there but cannot be read; opening it fails
        // with this error (a sharing violation, say).
        uint32_t open_error = 0;
        Node* parent = nullptr;
        std::map<std::string, std::unique_ptr<Node>> children;  // by Upper(name)
    };

    FileSystem() = default;
    FileSystem(const FileSystem& other) { *this = other; }
    FileSystem& operator=(const FileSystem& other);
    FileSystem(FileSystem&&) = default;
    FileSystem& operator=(FileSystem&&) = default;

    // Absolute form of `path` seen from `cwd`: drive letter, single
    // backslashes, "." and ".." folded, no trailing backslash except at a
    // drive root. Empty when the path cannot be made absolute.
    static std::string Absolute(const std::string& path, const std::string& cwd);
    static std::string Parent(const std::string& absolute);  // "" for a root
    // `name` in the folder `absolute`: one backslash between them, none
    // added after a drive root.
    static std::string Join(const std::string& absolute, const std::string& name);
    static bool IsRoot(const std::string& absolute);

    const Node* Find(const std::string& absolute) const;
    bool IsDir(const std::string& absolute) const;
    bool IsFile(const std::string& absolute) const;
    // The path of a node as its names were first spelled.
    static std::string PathOf(const Node* node);
    // Creates the directory and any missing parents. False when a file stands
    // in the way.
    bool MakeDirs(const std::string& absolute);
    // Creates the file (and its parents) or replaces its contents; a nonzero
    // `open_error` makes it a file that cannot be read. False when a
    // directory stands at the path or a file in the way of a parent.
    bool PutFile(const std::string& absolute, FileData data, uint32_t open_error = 0);
    // Creates one directory whose parent must exist.
    bool MakeDir(const std::string& absolute);
    // Removes the node and everything below it.
    bool Remove(const std::string& absolute);
    // Every node, parents before children, with its path.
    void ForEach(const std::function<void(const std::string& path, const Node&)>& each) const;

   private:
    Node* FindNode(const std::string& absolute) const;
    Node* MakeNode(const std::string& absolute, bool dir);
    std::map<std::string, std::unique_ptr<Node>> drives_;  // by upper-case "C:"
};

// The name of a registry value type (REG_SZ for 1), or null for a type
// without one; and the type of a name.
const char* RegTypeName(int64_t type);
std::optional<uint32_t> RegTypeOf(const std::string& name);
// The names RegTypeOf knows, in the order of their numbers, comma-separated.
std::string RegTypeNames();

struct RegValue {
    std::string name;
    uint32_t type = 1;
    Bytes data;
    uint32_t error = 0;  // nonzero: reading the value fails with this status
};

// A registry key. Subkeys keep their enumeration order and are found by name
// through an index once there are more than a few, so building or emptying a
// key of 100,000 subkeys costs time in proportion to their number; the many
// keys with one subkey or none carry no index at all. Values likewise.
class RegKey {
   public:
    std::string name;
    bool deleted = false;
    uint32_t open_error = 0;  // nonzero: opening the key fails with this status

    size_t SubkeyCount() const;
    // The subkey at an enumeration index (below SubkeyCount()).
    const std::shared_ptr<RegKey>& SubkeyAt(size_t index) const;
    std::shared_ptr<RegKey> Find(const std::string& name) const;  // case-insensitive
    RegKey* Child(const std::string& name) const { return Find(name).get(); }
    // The subkey of that name, made (last in enumeration order) if missing.
    RegKey* Make(const std::string& name);
    // Takes a subkey out; false when it is not one of this key's.
    bool Remove(const RegKey* child);

    const std::vector<RegValue>& Values() const { return values_; }
    RegValue* Value(const std::string& name);  // case-insensitive
    // Replaces the value of that name, or adds it last.
    void SetValue(const RegValue& value);

    std::shared_ptr<RegKey> Clone() const;

   private:
    // The name's hash (HashNoCase) -> its slot.
    using Index = std::unordered_multimap<size_t, size_t>;
    void Compact() const;
    size_t SubkeySlot(const std::string& name) const;  // npos when there is none
    size_t ValueSlot(const std::string& name) const;
    // Removed subkeys leave a null slot until the next enumeration.
    mutable std::vector<std::shared_ptr<RegKey>> subkeys_;
    mutable std::unique_ptr<Index> index_;  // made once there are more than a few
    mutable size_t holes_ = 0;
    std::vector<RegValue> values_;
    std::unique_ptr<Index> value_index_;
};

enum class DeleteSemantics {
    Legacy,  // RegDeleteKeyA removes the key with all its subkeys
    Nt,      // RegDeleteKeyA fails with error 5 on a key that has subkeys
};

// Those of the Windows of a platform: Legacy on the 9x family (1), else Nt.
inline DeleteSemantics DeleteSemanticsOf(uint32_t platform) {
    return platform == 1 ? DeleteSemantics::Legacy : DeleteSemantics::Nt;
}

struct Device {
    // The SPDRP_HARDWAREID property as stored; none when the device has no
    // hardware identifiers (the read fails with ERROR_INVALID_DATA).
    std::optional<Bytes> hardware_ids;
    std::optional<uint32_t> reported_size;  // size claimed instead of the real one
    bool insufficient_forever = false;      // every read answers 122
    bool size_query_succeeds = false;       // the read without a buffer succeeds
    bool present = true;
    uint32_t read_error = 0;  // nonzero: every read of the property fails with this error
};

struct Module {
    std::string name;  // file name, e.g. "setupapi.dll"
    std::string dir;   // directory it lives in
    bool loads = true;
    bool planted = false;  // a copy outside the system directory, which the program must never load
    std::set<std::string> missing;
};

struct UpdateBehaviour {
    bool reboot = false;  // a successful update says a restart is needed
    bool check = true;    // fail like Windows when the INF or the device is missing
    // The machine file says what the update does ([update]): it stands for
    // what no package shows (a signing policy, a file in use), and for an
    // INF that was not captured.
    bool given = false;
};

struct Fault {
    std::string call;
    uint32_t nth = 1;    // 1-based call number of that operation
    uint32_t count = 1;  // how many calls in a row fail
    uint32_t error = 0;  // 0: the call's usual error
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
    uint32_t codepage = 1252;  // the ANSI code page of every text above
    bool has_stdout = true;
    Bytes command_line;  // what WinMain receives
    DeleteSemantics delete_semantics = DeleteSemantics::Nt;
    std::map<uint32_t, Bytes> strings;  // string resources of setup.exe
    FileSystem files;
    std::shared_ptr<RegKey> hklm = std::make_shared<RegKey>();
    std::vector<Device> devices;
    std::vector<Module> modules;
    UpdateBehaviour update;
    std::vector<bool> answers;  // true = Yes
    std::vector<Fault> faults;

    // A deep copy: registry keys are shared pointers.
    Machine Clone() const;
};

// Creates the key path (backslash-separated, relative to `root`) and returns
// the last key.
RegKey* MakeKeyPath(RegKey* root, const std::string& path);
RegKey* FindKeyPath(RegKey* root, const std::string& path);

// Joins hardware identifiers into a property value: each followed by NUL,
// and a closing empty string.
Bytes MultiSz(const std::vector<std::string>& ids);

}  // namespace sim

#endif  // VNTR_SIM_MACHINE_H
