// The Windows functions of host.h over the running simulated machine. Each
// follows the documented Windows behaviour the program relies on: results,
// last-error codes, buffer-size rules. Every call is counted, can be made to
// fail by a fault plan (when the table of host calls allows it), and is
// recorded as an event with its arguments as the program passed them and its
// result.
#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "common/messages.h"
#include "nt/nt.h"
#include "sim/runtime.h"
#include "sim/slots.h"

using sim::Call;
using sim::Emitted;
using sim::Event;
using sim::Failed;
using sim::Finish;
using sim::Refuse;
using sim::Runtime;

namespace {

// Registry functions return their status instead of setting the last error.
LONG FinishStatus(Event& e, LONG status) { return Emitted(e.Num("result", status), status); }

// The status a planned failure of a registry call returns, if one fires.
std::optional<LONG> RegFault(Call call) {
    uint32_t error = 0;
    if (!sim::Current().Faulted(call, &error)) return std::nullopt;
    return static_cast<LONG>(error);
}

DWORD CopyOut(const std::string& value, char* buffer, DWORD size) {
    // Too small: the size needed, NUL included, and the buffer untouched.
    if (!buffer || size < value.size() + 1) return static_cast<DWORD>(value.size() + 1);
    memcpy(buffer, value.c_str(), value.size() + 1);
    return static_cast<DWORD>(value.size());
}

std::string Abs(const char* path) {
    if (!path) return "";
    return sim::FileSystem::Absolute(path, sim::Current().cwd);
}

bool TooLong(const char* path, size_t limit = MAX_PATH) { return path && strlen(path) >= limit; }

// A path Windows refuses as a name: a character no file name may hold, or
// a colon other than the drive's. The second byte of a double-byte
// character is no character of its own.
bool BadName(const char* path) {
    const std::string p = path;
    for (size_t at = 0; at < p.size(); at += sim::CharLength(p, at))
        if (sim::CharLength(p, at) == 1 && (static_cast<unsigned char>(p[at]) < 0x20 ||
                                            strchr("<>\"|?*", p[at]) || (p[at] == ':' && at != 1)))
            return true;
    return false;
}

// Where a library of the machine lies: its folder as an absolute path,
// whether that is `folder`, and the library's own path.
std::string FolderOf(const sim::Module& mod) { return sim::FileSystem::Absolute(mod.dir, "C:\\"); }

bool LiesIn(const sim::Module& mod, const std::string& folder) {
    return sim::EqualNoCase(FolderOf(mod), sim::FileSystem::Absolute(folder, "C:\\"));
}

std::string LibraryPath(const sim::Module& mod) {
    return sim::FileSystem::Join(FolderOf(mod), mod.name);
}

DWORD Directory(Call call, const std::string& value, char* buffer, DWORD size) {
    Event e = sim::CallEvent(call);
    e.Num("args.size", size);
    Runtime& rt = sim::Current();
    if (sim::CallFails(call)) return Failed(e.Num("result", 0), rt.last_error, DWORD{0});
    DWORD n = CopyOut(value, buffer, size);
    return Emitted(e.Num("result", n).Str("path", value), n);
}

}  // namespace

namespace sim::impl {

// ---- kernel32: version, locale, directories, files -------------------------

BOOL GetVersionExA(LPOSVERSIONINFOA info) {
    Event e = sim::CallEvent(Call::GetVersionExA);
    e.NumOrNull("args.size", info ? &info->dwOSVersionInfoSize : nullptr);
    if (sim::CallFails(Call::GetVersionExA)) return Finish(e, false, FALSE);
    Runtime& rt = sim::Current();
    // OSVERSIONINFOA or OSVERSIONINFOEXA; anything else is refused.
    if (!info) return Refuse(e, ERROR_INVALID_PARAMETER, FALSE);
    if (info->dwOSVersionInfoSize != 148 && info->dwOSVersionInfoSize != 156)
        return Refuse(e, ERROR_INSUFFICIENT_BUFFER, FALSE);
    info->dwMajorVersion = rt.m.os.major;
    info->dwMinorVersion = rt.m.os.minor;
    info->dwBuildNumber = rt.m.os.build_number;
    info->dwPlatformId = rt.m.os.platform;
    memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
    strncpy(info->szCSDVersion, rt.m.os.csd.c_str(), sizeof info->szCSDVersion - 1);
    e.Flag("result", true)
        .Num("platform", rt.m.os.platform)
        .Num("major", rt.m.os.major)
        .Num("minor", rt.m.os.minor)
        .Num("build_number", rt.m.os.build_number);
    return Emitted(e, TRUE);
}

LCID GetSystemDefaultLCID(void) {
    Runtime& rt = sim::Current();
    sim::CallFails(Call::GetSystemDefaultLCID);  // counted; the table allows it no faults
    rt.Emit(sim::CallEvent(Call::GetSystemDefaultLCID).Num("result", rt.m.locale));
    return rt.m.locale;
}

UINT GetACP(void) {
    Runtime& rt = sim::Current();
    sim::CallFails(Call::GetACP);  // counted; the table allows it no faults
    rt.Emit(sim::CallEvent(Call::GetACP).Num("result", rt.m.codepage));
    return rt.m.codepage;
}

// The simulated clock stands still, so that runs compare.
void GetLocalTime(LPSYSTEMTIME time) {
    Runtime& rt = sim::Current();
    sim::CallFails(Call::GetLocalTime);                 // counted; the table allows it no faults
    if (time) *time = {2004, 11, 1, 15, 10, 30, 0, 0};  // a Monday
    rt.Emit(sim::CallEvent(Call::GetLocalTime).Str("result", "2004-11-15 10:30:00.000"));
}

DWORD GetCurrentDirectoryA(DWORD size, LPSTR buffer) {
    return Directory(Call::GetCurrentDirectoryA, sim::Current().cwd, buffer, size);
}

UINT GetWindowsDirectoryA(LPSTR buffer, UINT size) {
    return Directory(Call::GetWindowsDirectoryA, sim::Current().m.windows_dir, buffer, size);
}

UINT GetSystemDirectoryA(LPSTR buffer, UINT size) {
    return Directory(Call::GetSystemDirectoryA, sim::Current().m.system_dir, buffer, size);
}

BOOL SetCurrentDirectoryA(LPCSTR path) {
    Event e = sim::CallEvent(Call::SetCurrentDirectoryA);
    e.StrOrNull("args.path", path);
    if (sim::CallFails(Call::SetCurrentDirectoryA)) return Finish(e, false, FALSE);
    Runtime& rt = sim::Current();
    if (TooLong(path, MAX_PATH - 1)) return Refuse(e, ERROR_FILENAME_EXCED_RANGE, FALSE);
    std::string target = Abs(path);
    if (target.empty() || !rt.m.files.IsDir(target)) {
        std::string parent = sim::FileSystem::Parent(target);
        return Refuse(e,
                      parent.empty() || rt.m.files.IsDir(parent) ? ERROR_FILE_NOT_FOUND
                                                                 : ERROR_PATH_NOT_FOUND,
                      FALSE);
    }
    rt.cwd = sim::FileSystem::PathOf(rt.m.files.Find(target));
    e.Str("path", rt.cwd);
    return Finish(e, true, TRUE);
}

BOOL CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES security) {
    Event e = sim::CallEvent(Call::CreateDirectoryA);
    e.StrOrNull("args.path", path).Str("args.security", sim::PointerText(security));
    if (sim::CallFails(Call::CreateDirectoryA)) return Finish(e, false, FALSE);
    Runtime& rt = sim::Current();
    // A directory name must leave room for an 8.3 file name below MAX_PATH.
    if (TooLong(path, MAX_PATH - 12)) return Refuse(e, ERROR_FILENAME_EXCED_RANGE, FALSE);
    std::string target = Abs(path);
    if (target.empty()) return Refuse(e, ERROR_PATH_NOT_FOUND, FALSE);
    if (rt.m.files.Find(target)) return Refuse(e, ERROR_ALREADY_EXISTS, FALSE);
    if (!rt.m.files.MakeDir(target)) return Refuse(e, ERROR_PATH_NOT_FOUND, FALSE);
    e.Str("path", target);
    return Finish(e, true, TRUE);
}

BOOL CopyFileA(LPCSTR from, LPCSTR to, BOOL failIfExists) {
    Event e = sim::CallEvent(Call::CopyFileA);
    e.StrOrNull("args.from", from)
        .StrOrNull("args.to", to)
        .Num("args.fail_if_exists", failIfExists);
    if (sim::CallFails(Call::CopyFileA)) return Finish(e, false, FALSE);
    Runtime& rt = sim::Current();
    auto refuse = [&](uint32_t error) { return Refuse(e, error, FALSE); };
    if (!from || !to) return refuse(ERROR_INVALID_PARAMETER);
    if (TooLong(from) || TooLong(to)) return refuse(ERROR_FILENAME_EXCED_RANGE);
    std::string source = Abs(from), target = Abs(to);
    const sim::FileSystem::Node* src = rt.m.files.Find(source);
    if (!src) {
        std::string parent = sim::FileSystem::Parent(source);
        return refuse(rt.m.files.IsDir(parent) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
    }
    if (src->dir) return refuse(ERROR_ACCESS_DENIED);
    if (src->open_error) return refuse(src->open_error);
    if (!rt.m.files.IsDir(sim::FileSystem::Parent(target))) return refuse(ERROR_PATH_NOT_FOUND);
    const sim::FileSystem::Node* dst = rt.m.files.Find(target);
    if (dst && dst->dir) return refuse(ERROR_ACCESS_DENIED);
    if (dst && failIfExists) return refuse(80);  // ERROR_FILE_EXISTS
    bool overwrote = dst != nullptr;
    sim::FileData data = src->data;
    rt.m.files.PutFile(target, data);
    e.Str("from", sim::FileSystem::PathOf(src))
        .Str("to", sim::FileSystem::PathOf(rt.m.files.Find(target)))
        .Num("bytes", static_cast<int64_t>(data.size()))
        .Flag("overwrote", overwrote);
    return Finish(e, true, TRUE);
}

DWORD GetFileAttributesA(LPCSTR path) {
    Event e = sim::CallEvent(Call::GetFileAttributesA);
    e.StrOrNull("args.path", path);
    Runtime& rt = sim::Current();
    auto fail = [&](uint32_t error) {
        return Failed(e.Num("result", INVALID_FILE_ATTRIBUTES), error, INVALID_FILE_ATTRIBUTES);
    };
    if (sim::CallFails(Call::GetFileAttributesA)) return fail(rt.last_error);
    if (!path) return fail(ERROR_INVALID_PARAMETER);
    if (TooLong(path)) return fail(ERROR_FILENAME_EXCED_RANGE);
    if (BadName(path)) return fail(ERROR_INVALID_NAME);
    std::string target = Abs(path);
    const sim::FileSystem::Node* node = target.empty() ? nullptr : rt.m.files.Find(target);
    // The machine's libraries, system or planted, are files where they lie.
    const sim::Module* library = nullptr;
    for (const sim::Module& mod : rt.m.modules)
        if (!node && sim::EqualNoCase(LibraryPath(mod), target)) library = &mod;
    if (!node && !library) {
        std::string parent = sim::FileSystem::Parent(target);
        return fail(!parent.empty() && rt.m.files.IsDir(parent) ? ERROR_FILE_NOT_FOUND
                                                                : ERROR_PATH_NOT_FOUND);
    }
    DWORD attributes = node && node->dir ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    e.Num("result", attributes).Str("path", node ? sim::FileSystem::PathOf(node) : target);
    return Emitted(e, attributes);
}

// ---- kernel32: directory searches -----------------------------------------

namespace {

// Whether `name` fits the mask of a search: `*` stands for any run of
// characters, `?` for one, other characters match without regard to ASCII
// case; "*.*" is every name, with a dot or without, as Windows has it.
// (Windows also matches a name's 8.3 alias; the simulated files have none.)
bool FitsMask(const std::string& name, const std::string& mask) {
    if (mask == "*.*") return true;
    size_t n = 0, m = 0, star = std::string::npos, resume = 0;
    while (n < name.size()) {
        if (m < mask.size() && mask[m] == '*') {
            star = m++;
            resume = n;
        } else if (m < mask.size() && (mask[m] == '?' || sim::Upper(std::string(1, mask[m])) ==
                                                             sim::Upper(std::string(1, name[n])))) {
            ++m;
            ++n;
        } else if (star != std::string::npos) {
            m = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (m < mask.size() && mask[m] == '*') ++m;
    return m == mask.size();
}

// The entries of the folder `dir` whose names fit `mask`, in the order of
// the folder's names without case: "." and ".." below a drive root, the
// files and folders, and the libraries of the machine that lie there.
std::vector<Runtime::Search::Entry> Listing(const Runtime& rt, const sim::FileSystem::Node& dir,
                                            const std::string& mask) {
    std::map<std::string, Runtime::Search::Entry> found;
    for (const auto& [upper, child] : dir.children)
        found[upper] = {child->name, child->dir, child->dir ? 0 : child->data.size()};
    const std::string at = sim::FileSystem::PathOf(&dir);
    for (const sim::Module& mod : rt.m.modules)
        if (sim::EqualNoCase(FolderOf(mod), at))
            found.emplace(sim::Upper(mod.name), Runtime::Search::Entry{mod.name, false, 0});
    std::vector<Runtime::Search::Entry> out;
    if (dir.parent)
        for (const char* dots : {".", ".."})
            if (FitsMask(dots, mask)) out.push_back({dots, true, 0});
    for (const auto& [upper, entry] : found)
        if (FitsMask(entry.name, mask)) out.push_back(entry);
    return out;
}

// Fills the program's find data with the next entry of the search and
// records its name.
void GiveEntry(Runtime::Search& search, LPWIN32_FIND_DATAA found, Event& e) {
    const Runtime::Search::Entry& entry = search.entries[search.next++];
    memset(found, 0, sizeof *found);
    found->dwFileAttributes = entry.dir ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    found->nFileSizeHigh = static_cast<DWORD>(entry.size >> 32);
    found->nFileSizeLow = static_cast<DWORD>(entry.size);
    memcpy(found->cFileName, entry.name.data(),
           std::min(entry.name.size(), sizeof found->cFileName - 1));
    e.Str("name", entry.name).Flag("dir", entry.dir);
}

}  // namespace

HANDLE FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA found) {
    Event e = sim::CallEvent(Call::FindFirstFileA);
    e.StrOrNull("args.pattern", pattern);
    Runtime& rt = sim::Current();
    auto fail = [&](uint32_t error) {
        return Failed(e.Str("result", "INVALID_HANDLE_VALUE"), error, INVALID_HANDLE_VALUE);
    };
    if (sim::CallFails(Call::FindFirstFileA)) return fail(rt.last_error);
    if (!pattern || !found) return fail(ERROR_INVALID_PARAMETER);
    if (TooLong(pattern)) return fail(ERROR_FILENAME_EXCED_RANGE);
    // The folder is the part before the last backslash; the mask, the rest.
    const std::string whole = pattern;
    size_t cut = sim::FindLastBackslash(whole);
    std::string folder = cut == std::string::npos ? "." : whole.substr(0, cut + 1);
    std::string mask = cut == std::string::npos ? whole : whole.substr(cut + 1);
    if (BadName(folder.c_str())) return fail(ERROR_INVALID_NAME);
    const sim::FileSystem::Node* dir = rt.m.files.Find(Abs(folder.c_str()));
    if (!dir || !dir->dir) return fail(ERROR_PATH_NOT_FOUND);
    if (mask.empty()) return fail(ERROR_FILE_NOT_FOUND);
    Runtime::Search search;
    search.entries = Listing(rt, *dir, mask);
    if (search.entries.empty()) return fail(ERROR_FILE_NOT_FOUND);
    uintptr_t handle = rt.next_search++;
    GiveEntry(search, found, e);
    rt.searches[handle] = std::move(search);
    HANDLE h = reinterpret_cast<HANDLE>(handle);
    return Emitted(e.Str("result", sim::PointerText(h)), h);
}

BOOL FindNextFileA(HANDLE search, LPWIN32_FIND_DATAA found) {
    Event e = sim::CallEvent(Call::FindNextFileA);
    e.Str("args.search", sim::PointerText(search));
    if (sim::CallFails(Call::FindNextFileA)) return Finish(e, false, FALSE);
    Runtime& rt = sim::Current();
    auto it = rt.searches.find(reinterpret_cast<uintptr_t>(search));
    if (it == rt.searches.end() || !found)
        return Refuse(e, it == rt.searches.end() ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER,
                      FALSE);
    if (it->second.next == it->second.entries.size()) return Refuse(e, ERROR_NO_MORE_FILES, FALSE);
    GiveEntry(it->second, found, e);
    return Finish(e, true, TRUE);
}

BOOL FindClose(HANDLE search) {
    Event e = sim::CallEvent(Call::FindClose);
    e.Str("args.search", sim::PointerText(search));
    if (sim::CallFails(Call::FindClose)) return Finish(e, false, FALSE);
    Runtime& rt = sim::Current();
    bool known = rt.searches.erase(reinterpret_cast<uintptr_t>(search)) > 0;
    if (!known) rt.last_error = ERROR_INVALID_HANDLE;
    return Finish(e, known, known ? TRUE : FALSE);
}
}  // namespace sim::impl

// ---- kernel32: modules -------------------------------------------------------

namespace {

// What the device-installation libraries import from each other, as far as
// the program can tell: newdev.dll, the driver installer, calls the class
// installer of setupapi.dll from the system directory. 0 when the imports
// of `mod` are there; otherwise the error its load gives.
uint32_t MissingImport(const Runtime& rt, const sim::Module& mod) {
    if (!sim::EqualNoCase(mod.name, sim::Row(Call::UpdateDriverForPlugAndPlayDevicesA).library))
        return 0;
    for (const sim::Module& other : rt.m.modules) {
        if (other.planted || !sim::EqualNoCase(other.name, sim::Row(sim::kNewdevImport).library) ||
            !LiesIn(other, rt.m.system_dir))
            continue;
        if (!other.loads) return ERROR_MOD_NOT_FOUND;
        return other.missing.count(sim::CallName(sim::kNewdevImport)) ? ERROR_PROC_NOT_FOUND : 0;
    }
    return ERROR_MOD_NOT_FOUND;
}

// Whether a library name names its folder too (a backslash, a slash or a
// drive's colon, read by the characters of the code page), so that only
// that folder is searched.
bool NamesFolder(const std::string& name) {
    for (size_t at = 0; at < name.size(); at += sim::CharLength(name, at))
        if (name[at] == '\\' || name[at] == '/' || name[at] == ':') return true;
    return false;
}

}  // namespace

namespace sim::impl {

HMODULE LoadLibraryA(LPCSTR name) {
    Event e = sim::CallEvent(Call::LoadLibraryA);
    e.StrOrNull("args.name", name);
    Runtime& rt = sim::Current();
    auto fail = [&](uint32_t error) { return Failed(e.Null("result"), error, HMODULE{NULL}); };
    if (sim::CallFails(Call::LoadLibraryA)) return fail(rt.last_error);
    std::string request = name ? name : "";

    // Candidate directories: the one named, or the search order of the
    // platform (the executable's directory first, the current directory
    // before the system on the 9x family, after it on NT).
    std::vector<std::string> dirs;
    std::string file = request;
    if (NamesFolder(request)) {
        std::string full = Abs(request.c_str());
        if (full.empty()) return fail(ERROR_MOD_NOT_FOUND);
        dirs.push_back(sim::FileSystem::Parent(full));
        file = full.substr(sim::FindLastBackslash(full) + 1);
    } else {
        std::string exe = rt.m.exe_dir.empty() ? rt.m.current_dir : rt.m.exe_dir;
        dirs.push_back(sim::FileSystem::Absolute(exe, rt.cwd));
        if (rt.m.os.platform == 2) {
            dirs.push_back(rt.m.system_dir);
            dirs.push_back(rt.m.windows_dir);
            dirs.push_back(rt.cwd);
        } else {
            dirs.push_back(rt.cwd);
            dirs.push_back(rt.m.system_dir);
            dirs.push_back(rt.m.windows_dir);
        }
    }
    if (file.find('.') == std::string::npos) file += ".dll";

    for (const auto& dir : dirs) {
        for (size_t i = 0; i < rt.m.modules.size(); ++i) {
            const sim::Module& mod = rt.m.modules[i];
            if (!sim::EqualNoCase(mod.name, file) || !LiesIn(mod, dir)) continue;
            std::string path = LibraryPath(mod);
            e.Str("path", path).Flag("planted", mod.planted);
            if (!mod.loads) return fail(193);  // ERROR_BAD_EXE_FORMAT
            // A system library whose own imports cannot be bound does not
            // load: Windows reports the missing library or entry point.
            if (!mod.planted) {
                uint32_t error = MissingImport(rt, mod);
                if (error) {
                    e.Str("import_missing", error == ERROR_MOD_NOT_FOUND
                                                ? sim::Row(sim::kNewdevImport).library
                                                : sim::CallName(sim::kNewdevImport));
                    return fail(error);
                }
            }
            // One handle per module, shared by repeated loads.
            uintptr_t handle = 0x10000000u + 0x100000u * (i + 1);
            auto& loaded = rt.modules[handle];
            loaded.index = i;
            loaded.path = path;
            ++loaded.refs;
            e.Str("result", sim::PointerText(reinterpret_cast<void*>(handle)));
            return Emitted(e, reinterpret_cast<HMODULE>(handle));
        }
    }
    return fail(ERROR_MOD_NOT_FOUND);
}

BOOL FreeLibrary(HMODULE module) {
    Event e = sim::CallEvent(Call::FreeLibrary);
    e.Str("args.module", sim::PointerText(module));
    if (sim::CallFails(Call::FreeLibrary)) return Finish(e, false, FALSE);
    Runtime& rt = sim::Current();
    auto it = rt.modules.find(reinterpret_cast<uintptr_t>(module));
    if (it == rt.modules.end()) return Refuse(e, ERROR_INVALID_HANDLE, FALSE);
    e.Str("path", it->second.path);
    if (--it->second.refs == 0) rt.modules.erase(it);
    return Finish(e, true, TRUE);
}

DWORD GetLastError(void) {
    sim::CallFails(Call::GetLastError);  // counted only
    return sim::Current().last_error;
}

void SetLastError(DWORD code) {
    Runtime& rt = sim::Current();
    sim::CallFails(Call::SetLastError);  // counted only
    rt.last_error = code;
    rt.Emit(sim::CallEvent(Call::SetLastError).Num("args.code", code));
}

}  // namespace sim::impl

// ---- kernel32: memory and message texts -------------------------------------

namespace {

// What a block takes of the address space, and how far the addresses the
// record shows move on: its size and a 16-byte header, in 16-byte steps.
uint64_t Footprint(size_t size) { return (uint64_t{size} + 0x1F) & ~uint64_t{0xF}; }

// Blocks from this size on are mappings of their own, whose pages take
// memory only once written: the program may ask for a block of hundreds of
// megabytes and use a few bytes of it.
constexpr size_t kMappedBlock = size_t{1} << 20;
// Fresh memory that was not asked to be zeroed holds junk, so that code
// relying on zeros it did not ask for shows up; in a large block only its
// first 16 MiB, so that the junk costs no more than that.
constexpr size_t kJunk = size_t{16} << 20;

}  // namespace

void* sim::Runtime::Allocate(size_t bytes, bool zeroed, std::string* shown) {
    uint64_t footprint = Footprint(bytes);
    if (footprint > kAddressSpace - address_space_used) {
        last_error = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    size_t size = bytes ? bytes : 1;
    void* block;
    if (size >= kMappedBlock) {
        block = mmap(nullptr, size, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (block == MAP_FAILED) block = nullptr;
    } else {
        block = malloc(size);
    }
    // The simulated process has room for it; when the host has not, the
    // simulator fails rather than show a failure Windows would not give.
    if (!block) throw std::bad_alloc();
    if (!zeroed)
        memset(block, 0xA5, std::min(size, kJunk));
    else if (size < kMappedBlock)
        memset(block, 0, size);
    address_space_used += footprint;
    allocations[block] = {bytes, next_block};
    next_block += static_cast<uint32_t>(footprint);
    *shown = BlockText(block);
    return block;
}

bool sim::Runtime::Release(void* block) {
    auto it = allocations.find(block);
    if (it == allocations.end()) return false;
    size_t size = it->second.size ? it->second.size : 1;
    if (size >= kMappedBlock)
        munmap(block, size);
    else
        free(block);
    address_space_used -= Footprint(it->second.size);
    allocations.erase(it);
    return true;
}

namespace sim::impl {

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
    Event e = sim::CallEvent(Call::LocalAlloc);
    e.Num("args.flags", flags).Num("args.bytes", static_cast<int64_t>(bytes));
    Runtime& rt = sim::Current();
    auto fail = [&]() { return Failed(e.Null("result"), rt.last_error, HLOCAL{NULL}); };
    if (sim::CallFails(Call::LocalAlloc)) return fail();
    std::string shown;
    void* block = rt.Allocate(bytes, flags & LMEM_ZEROINIT, &shown);
    if (!block) return fail();
    return Emitted(e.Str("result", shown), block);
}

HLOCAL LocalFree(HLOCAL block) {
    Runtime& rt = sim::Current();
    sim::CallFails(Call::LocalFree);  // counted; the table allows it no faults
    Event e = sim::CallEvent(Call::LocalFree);
    e.Str("args.block", rt.BlockText(block));
    if (!block) {
        return Emitted(e.Str("result", "NULL"), HLOCAL{NULL});
    }
    if (!rt.Release(block)) {
        // A LocalFree of a block that is not allocated gets an event of its
        // own besides the call's, so that a test or a reader of the report
        // finds it without going through every free.
        rt.last_error = ERROR_INVALID_HANDLE;
        rt.Emit(Event("bad_free").Str("block", sim::PointerText(block)));
        return Emitted(e.Str("result", sim::PointerText(block)).Num("error", rt.last_error), block);
    }
    return Emitted(e.Str("result", "NULL"), HLOCAL{NULL});
}

DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPSTR buffer,
                     DWORD size, va_list* arguments) {
    (void)arguments;
    Event e = sim::CallEvent(Call::FormatMessageA);
    e.Num("args.flags", flags)
        .Str("args.source", sim::PointerText(source))
        .Num("args.message_id", messageId)
        .Num("args.language", languageId)
        .Num("args.size", size);
    Runtime& rt = sim::Current();
    auto fail = [&](uint32_t error) { return Failed(e.Num("result", 0), error, DWORD{0}); };
    if (sim::CallFails(Call::FormatMessageA)) return fail(rt.last_error);
    // The system texts of the codes the program can meet, as Windows XP
    // (English) returns them: each ends with CR LF.
    static const std::map<DWORD, const char*> texts = {
        {2, "The system cannot find the file specified.\r\n"},
        {3, "The system cannot find the path specified.\r\n"},
        {5, "Access is denied.\r\n"},
        {6, "The handle is invalid.\r\n"},
        {8, "Not enough storage is available to process this command.\r\n"},
        {13, "The data is invalid.\r\n"},
        {14, "Not enough storage is available to complete this operation.\r\n"},
        {87, "The parameter is incorrect.\r\n"},
        {122, "The data area passed to a system call is too small.\r\n"},
        {126, "The specified module could not be found.\r\n"},
        {127, "The specified procedure could not be found.\r\n"},
        {259, "No more data is available.\r\n"},
        {1784, "The supplied user buffer is not valid for the requested operation.\r\n"},
    };
    if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM) || !(flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) ||
        !buffer)
        return fail(ERROR_INVALID_PARAMETER);
    auto it = texts.find(messageId);
    if (it == texts.end()) return fail(317);  // ERROR_MR_MID_NOT_FOUND
    size_t length = strlen(it->second);
    std::string shown;
    char* text = static_cast<char*>(rt.Allocate(length + 1, false, &shown));
    if (!text) return fail(rt.last_error);
    memcpy(text, it->second, length + 1);
    *reinterpret_cast<char**>(buffer) = text;
    e.Num("result", static_cast<int64_t>(length)).Str("text", it->second).Str("block", shown);
    return Emitted(e, static_cast<DWORD>(length));
}

}  // namespace sim::impl

// ---- user32 -----------------------------------------------------------------

unsigned sim::MessageButtons(int message) {
    return message == MSG_CONFIRM || message == MSG_SUCCESS_REBOOT ? MB_YESNO : MB_OK;
}

namespace {

// Which message a box shows, from the program's own tables as they stand on
// this machine: a text is message i when it is MessageText(i) itself, and the
// name of a missing setupapi.dll entry point when it is that entry's `shown`
// text in the binding table.
//
// A box with no text shows a message whose entry the message file did not
// reach: MessageText returns NULL for it, and for every other entry the
// file did not reach. Its number is told only when one alone fits: among the
// entries that are NULL when the box is shown, those the program shows with
// the box's buttons (MessageButtons). With more than one the number stays
// null, with "absent" marking the box as one of the five all the same.
void TagMessage(Event& box, const char* text, UINT buttons) {
    if (!text) {
        int told = -1, fitting = 0;
        for (int i = 0; i < MESSAGE_COUNT; ++i)
            if (!MessageText(i) && sim::MessageButtons(i) == buttons) told = i, ++fitting;
        if (fitting == 1)
            box.Num("message", told);
        else
            box.Null("message");
        box.Flag("absent", true);
        return;
    }
    for (int i = 0; i < MESSAGE_COUNT; ++i)
        if (text == MessageText(i)) {
            box.Num("message", i);
            return;
        }
    box.Null("message");
    for (const SetupEntry& entry : g_setupEntryTable)
        if (text == entry.shown) {
            box.Flag("entry_point", true);
            return;
        }
}

}  // namespace

namespace sim::impl {

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    Runtime& rt = sim::Current();
    UINT buttons = type & 0xF;
    Event box = sim::CallEvent(Call::MessageBoxA);
    box.Str("args.owner", sim::PointerText(owner))
        .StrOrNull("args.text", text)
        .StrOrNull("args.caption", caption)
        .Num("args.type", type)
        .Str("buttons", buttons == MB_OK      ? "OK"
                        : buttons == MB_YESNO ? "Yes/No"
                                              : "other");
    TagMessage(box, text, buttons);
    if (sim::CallFails(Call::MessageBoxA)) return Failed(box.Num("result", 0), rt.last_error, 0);
    int answer = IDOK;
    if (buttons == MB_YESNO) {
        std::optional<bool> yes = rt.options.answer(box);
        if (!yes) {
            box.Null("answer");
            rt.Emit(std::move(box));
            throw sim::NoAnswer{text ? text : ""};
        }
        answer = *yes ? IDYES : IDNO;
    }
    box.Str("answer", answer == IDYES ? "Yes" : answer == IDNO ? "No" : "OK").Num("result", answer);
    return Emitted(box, answer);
}

int LoadStringA(HINSTANCE instance, UINT id, LPSTR buffer, int size) {
    Runtime& rt = sim::Current();
    Event e = sim::CallEvent(Call::LoadStringA);
    e.Str("args.instance", sim::PointerText(instance)).Num("args.id", id).Num("args.size", size);
    auto fail = [&](uint32_t error) {
        if (buffer && size > 0) buffer[0] = '\0';
        return Failed(e.Num("result", 0), error, 0);
    };
    if (sim::CallFails(Call::LoadStringA)) return fail(rt.last_error);
    auto it = rt.m.strings.find(id);
    if (it == rt.m.strings.end() || !buffer || size <= 0) return fail(1814);
    size_t n = std::min(it->second.size(), static_cast<size_t>(size - 1));
    memcpy(buffer, it->second.data(), n);
    buffer[n] = '\0';
    e.Num("result", static_cast<int64_t>(n)).Str("text", sim::Bytes(buffer, n));
    return Emitted(e, static_cast<int>(n));
}

BOOL ExitWindowsEx(UINT flags, DWORD reserved) {
    Event e = sim::CallEvent(Call::ExitWindowsEx);
    e.Num("args.flags", flags).Num("args.reserved", reserved);
    if (sim::CallFails(Call::ExitWindowsEx)) return Finish(e, false, FALSE);
    return Finish(e, true, TRUE);
}

// ---- advapi32 -----------------------------------------------------------------

static std::shared_ptr<sim::RegKey> KeyOf(HKEY key, std::string* path) {
    Runtime& rt = sim::Current();
    if (key == HKEY_LOCAL_MACHINE) {
        if (path) *path = "HKLM";
        return rt.m.hklm;
    }
    auto it = rt.keys.find(reinterpret_cast<uintptr_t>(key));
    if (it == rt.keys.end()) return nullptr;
    auto strong = it->second.key.lock();
    if (!strong || strong->deleted) return nullptr;
    if (path) *path = it->second.path;
    return strong;
}

// The key's path for the record, or its handle when it names no open key.
static std::string KeyName(HKEY key) {
    std::string path;
    if (KeyOf(key, &path)) return path;
    return sim::PointerText(key);
}

// Walks a backslash path below `key`; null when a part is missing.
static std::shared_ptr<sim::RegKey> Walk(std::shared_ptr<sim::RegKey> key, const char* sub,
                                         std::string* path) {
    sim::ForEachPart(sub ? sub : "", 0, [&](const std::string& part) {
        key = key->Find(part);
        if (key && path) *path += "\\" + key->name;
        return key != nullptr;
    });
    return key;
}

LONG RegOpenKeyA(HKEY key, LPCSTR subKey, PHKEY result) {
    Event e = sim::CallEvent(Call::RegOpenKeyA);
    e.Str("args.key", KeyName(key)).StrOrNull("args.subkey", subKey);
    if (auto fault = RegFault(Call::RegOpenKeyA)) return FinishStatus(e, *fault);
    Runtime& rt = sim::Current();
    std::string path;
    auto base = KeyOf(key, &path);
    if (!base) return FinishStatus(e, ERROR_INVALID_HANDLE);
    if (!result) return FinishStatus(e, ERROR_INVALID_PARAMETER);
    auto found = Walk(base, subKey, &path);
    if (!found) return FinishStatus(e, ERROR_FILE_NOT_FOUND);
    if (found->open_error) return FinishStatus(e, static_cast<LONG>(found->open_error));
    uintptr_t handle = rt.next_key++;
    rt.keys[handle] = {found, path};
    *result = reinterpret_cast<HKEY>(handle);
    e.Str("handle", sim::PointerText(*result)).Str("path", path);
    return FinishStatus(e, ERROR_SUCCESS);
}

LONG RegCloseKey(HKEY key) {
    Event e = sim::CallEvent(Call::RegCloseKey);
    e.Str("args.key", KeyName(key));
    if (auto fault = RegFault(Call::RegCloseKey)) return FinishStatus(e, *fault);
    Runtime& rt = sim::Current();
    if (key == HKEY_LOCAL_MACHINE) return FinishStatus(e, ERROR_SUCCESS);
    return FinishStatus(
        e, rt.keys.erase(reinterpret_cast<uintptr_t>(key)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE);
}

// A value's type and data in the caller's buffers (any may be null), as
// RegQueryValueExA and RegEnumValueA give them: the size stored in *size,
// and ERROR_MORE_DATA when the data buffer is too small; a value that
// cannot be read fails with its error.
static LONG GiveValue(Event& e, const sim::RegValue& v, LPDWORD type, LPBYTE data, LPDWORD size) {
    if (v.error) return FinishStatus(e, static_cast<LONG>(v.error));
    if (type) *type = v.type;
    DWORD needed = static_cast<DWORD>(v.data.size());
    e.Num("value_type", v.type).Num("stored", needed);
    if (data && (!size || *size < needed)) {
        if (size) *size = needed;
        return FinishStatus(e, ERROR_MORE_DATA);
    }
    if (data) memcpy(data, v.data.data(), needed);
    if (size) *size = needed;
    return FinishStatus(e, ERROR_SUCCESS);
}

LONG RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD size) {
    Event e = sim::CallEvent(Call::RegQueryValueExA);
    e.Str("args.key", KeyName(key)).StrOrNull("args.name", name);
    e.NumOrNull("args.size", size);
    if (auto fault = RegFault(Call::RegQueryValueExA)) return FinishStatus(e, *fault);
    auto k = KeyOf(key, nullptr);
    if (!k) return FinishStatus(e, ERROR_INVALID_HANDLE);
    if (reserved) return FinishStatus(e, ERROR_INVALID_PARAMETER);
    sim::RegValue* v = k->Value(name ? name : "");
    if (!v) return FinishStatus(e, ERROR_FILE_NOT_FOUND);
    return GiveValue(e, *v, type, data, size);
}

LONG RegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD size) {
    Event e = sim::CallEvent(Call::RegSetValueExA);
    sim::Bytes bytes = data ? sim::Bytes(reinterpret_cast<const char*>(data), size) : "";
    e.Str("args.key", KeyName(key))
        .StrOrNull("args.name", name)
        .Num("args.reserved", reserved)
        .Num("args.type", type)
        .Str("args.data", bytes)
        .Num("args.size", size);
    if (auto fault = RegFault(Call::RegSetValueExA)) return FinishStatus(e, *fault);
    auto k = KeyOf(key, nullptr);
    if (!k) return FinishStatus(e, ERROR_INVALID_HANDLE);
    if (!data && size) return FinishStatus(e, ERROR_INVALID_PARAMETER);
    k->SetValue({name ? name : "", type, bytes});
    return FinishStatus(e, ERROR_SUCCESS);
}

LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameSize, LPDWORD reserved,
                   LPSTR className, LPDWORD classSize, PFILETIME lastWrite) {
    (void)className;
    (void)classSize;
    (void)lastWrite;
    Event e = sim::CallEvent(Call::RegEnumKeyExA);
    e.Str("args.key", KeyName(key)).Num("args.index", index);
    e.NumOrNull("args.size", nameSize);
    if (auto fault = RegFault(Call::RegEnumKeyExA)) return FinishStatus(e, *fault);
    auto k = KeyOf(key, nullptr);
    if (!k) return FinishStatus(e, ERROR_INVALID_HANDLE);
    if (reserved || !name || !nameSize) return FinishStatus(e, ERROR_INVALID_PARAMETER);
    if (index >= k->SubkeyCount()) return FinishStatus(e, ERROR_NO_MORE_ITEMS);
    const std::string& sub = k->SubkeyAt(index)->name;
    if (*nameSize < sub.size() + 1) return FinishStatus(e, ERROR_MORE_DATA);
    memcpy(name, sub.c_str(), sub.size() + 1);
    *nameSize = static_cast<DWORD>(sub.size());
    e.Str("name", sub);
    return FinishStatus(e, ERROR_SUCCESS);
}

LONG RegEnumValueA(HKEY key, DWORD index, LPSTR name, LPDWORD nameSize, LPDWORD reserved,
                   LPDWORD type, LPBYTE data, LPDWORD dataSize) {
    Event e = sim::CallEvent(Call::RegEnumValueA);
    e.Str("args.key", KeyName(key)).Num("args.index", index);
    e.NumOrNull("args.name_size", nameSize).NumOrNull("args.data_size", dataSize);
    if (auto fault = RegFault(Call::RegEnumValueA)) return FinishStatus(e, *fault);
    auto k = KeyOf(key, nullptr);
    if (!k) return FinishStatus(e, ERROR_INVALID_HANDLE);
    if (reserved || !name || !nameSize || (data && !dataSize))
        return FinishStatus(e, ERROR_INVALID_PARAMETER);
    if (index >= k->Values().size()) return FinishStatus(e, ERROR_NO_MORE_ITEMS);
    const sim::RegValue& v = k->Values()[index];
    e.Str("name", v.name);
    // The name buffer counts its NUL; the size returned does not.
    if (*nameSize < v.name.size() + 1) return FinishStatus(e, ERROR_MORE_DATA);
    memcpy(name, v.name.c_str(), v.name.size() + 1);
    *nameSize = static_cast<DWORD>(v.name.size());
    // A value that cannot be read is still listed by its name.
    return GiveValue(e, v, type, data, dataSize);
}

// Marks a key and everything below it as deleted, without recursion.
static std::vector<sim::Bytes> MarkDeleted(sim::RegKey& top, const std::string& top_path) {
    std::vector<sim::Bytes> removed;
    std::vector<std::pair<sim::RegKey*, std::string>> pending = {{&top, top_path}};
    while (!pending.empty()) {
        auto [key, path] = pending.back();
        pending.pop_back();
        key->deleted = true;
        removed.push_back(path);
        for (size_t i = key->SubkeyCount(); i-- > 0;) {
            sim::RegKey* sub = key->SubkeyAt(i).get();
            pending.push_back({sub, path + "\\" + sub->name});
        }
    }
    return removed;
}

LONG RegDeleteKeyA(HKEY key, LPCSTR subKey) {
    Event e = sim::CallEvent(Call::RegDeleteKeyA);
    e.Str("args.key", KeyName(key)).StrOrNull("args.subkey", subKey);
    if (auto fault = RegFault(Call::RegDeleteKeyA)) return FinishStatus(e, *fault);
    Runtime& rt = sim::Current();
    std::string path;
    auto base = KeyOf(key, &path);
    if (!base) return FinishStatus(e, ERROR_INVALID_HANDLE);
    if (!subKey || !*subKey) return FinishStatus(e, ERROR_INVALID_PARAMETER);
    std::string parent_path = path;
    std::string sub = subKey;
    size_t slash = sim::FindLastBackslash(sub);
    auto parent =
        slash == std::string::npos ? base : Walk(base, sub.substr(0, slash).c_str(), &parent_path);
    if (!parent) return FinishStatus(e, ERROR_FILE_NOT_FOUND);
    std::string leaf = slash == std::string::npos ? sub : sub.substr(slash + 1);
    auto target = parent->Find(leaf);
    if (!target) return FinishStatus(e, ERROR_FILE_NOT_FOUND);
    std::string target_path = parent_path + "\\" + target->name;
    e.Str("path", target_path);
    if (rt.m.delete_semantics == sim::DeleteSemantics::Nt && target->SubkeyCount() > 0) {
        e.Str("refused", "the key has subkeys");
        return FinishStatus(e, ERROR_ACCESS_DENIED);
    }
    e.List("removed", MarkDeleted(*target, target_path));
    parent->Remove(target.get());
    return FinishStatus(e, ERROR_SUCCESS);
}

// ---- msvcrt: files read and written ---------------------------------------------

}  // namespace sim::impl

namespace {
// A file being read: its contents as they were when it was opened.
struct OpenFile {
    sim::FileData data;
    size_t pos = 0;
    bool text = false;
};

// msvcrt's text mode: CR LF reads as LF, a lone CR stays, Ctrl-Z ends the
// file.
ssize_t ReadOpenFile(void* cookie, char* buffer, size_t size) {
    auto* f = static_cast<OpenFile*>(cookie);
    if (!f->text) {
        size_t n = f->data.Copy(f->pos, size, buffer);
        f->pos += n;
        return static_cast<ssize_t>(n);
    }
    size_t n = 0, end = f->data.size();
    while (n < size && f->pos < end) {
        char c = f->data.At(f->pos++);
        if (c == '\x1a') {
            f->pos = end;
            break;
        }
        if (c == '\r' && f->pos < end && f->data.At(f->pos) == '\n') continue;
        buffer[n++] = c;
    }
    return static_cast<ssize_t>(n);
}

int CloseOpenFile(void* cookie) {
    delete static_cast<OpenFile*>(cookie);
    if (Runtime* rt = sim::Active()) --rt->open_files;
    return 0;
}

// A file being written. Its bytes are kept until the stream is closed; then
// the file appears in the machine, unless the close failed.
struct NewFile {
    std::string path;  // absolute
    bool text = false;
    bool discard = false;
    sim::Bytes data;
};

// In text mode a line feed goes out as CR LF.
ssize_t WriteNewFile(void* cookie, const char* buffer, size_t size) {
    auto* f = static_cast<NewFile*>(cookie);
    for (size_t i = 0; i < size; ++i) {
        if (f->text && buffer[i] == '\n') f->data += '\r';
        f->data += buffer[i];
    }
    return static_cast<ssize_t>(size);
}

int CloseNewFile(void* cookie) {
    std::unique_ptr<NewFile> f(static_cast<NewFile*>(cookie));
    Runtime* rt = sim::Active();
    if (!rt) return 0;
    --rt->open_files;
    if (f->discard) return 0;
    bool made = rt->m.files.PutFile(f->path, f->data);
    Event e(sim::Row(Call::fclose).change);
    e.Str("path", made ? sim::FileSystem::PathOf(rt->m.files.Find(f->path)) : f->path)
        .Num("bytes", static_cast<int64_t>(f->data.size()))
        .Str("data", f->data)
        .Flag("result", made);
    return Emitted(e, made ? 0 : EOF);
}

// How the record names a stream: the path it was opened with.
std::string StreamName(const Runtime& rt, FILE* stream) {
    if (stream == stdout) return "stdout";
    if (stream == stderr) return "stderr";
    auto it = rt.streams.find(stream);
    return it == rt.streams.end() ? sim::PointerText(stream) : it->second.name;
}

// A planned failure of a read or write sets the stream's error flag.
void MarkFailed(Runtime& rt, FILE* stream) {
    auto it = rt.streams.find(stream);
    if (it != rt.streams.end()) it->second.failed = true;
}

// What fopen returns when it fails.
FILE* const kNoStream = nullptr;

// Opens a new file for writing: its folder must exist, and no folder may
// stand at its path; a file there is replaced when the stream is closed.
FILE* OpenNew(Runtime& rt, const std::string& target, bool text, Event& e) {
    const sim::FileSystem::Node* node = target.empty() ? nullptr : rt.m.files.Find(target);
    if (target.empty() || !rt.m.files.IsDir(sim::FileSystem::Parent(target)))
        return Refuse(e, ERROR_PATH_NOT_FOUND, kNoStream);
    if (node && node->dir) return Refuse(e, ERROR_ACCESS_DENIED, kNoStream);
    auto* f = new NewFile;
    f->path = target;
    f->text = text;
    cookie_io_functions_t io = {nullptr, WriteNewFile, nullptr, CloseNewFile};
    FILE* stream = fopencookie(f, "w", io);
    if (!stream) {
        delete f;
        return Refuse(e, ERROR_NOT_ENOUGH_MEMORY, kNoStream);
    }
    ++rt.open_files;
    rt.streams[stream].discard = &f->discard;
    return Finish(e, true, stream);
}
}  // namespace

namespace sim::impl {

FILE*(fopen)(const char* path, const char* mode) {
    if (!sim::Active()) return (::fopen)(path, mode);
    Event e = sim::CallEvent(Call::fopen);
    e.StrOrNull("args.path", path).StrOrNull("args.mode", mode);
    if (sim::CallFails(Call::fopen)) return Finish(e, false, kNoStream);
    Runtime& rt = sim::Current();
    std::string target = Abs(path);
    bool reading = mode && mode[0] == 'r' && !strchr(mode, '+');
    bool writing = mode && mode[0] == 'w' && !strchr(mode, '+');
    if (writing && path && BadName(path)) return Refuse(e, ERROR_INVALID_NAME, kNoStream);
    if (writing) {
        if (TooLong(path)) target.clear();
        FILE* stream = OpenNew(rt, target, !strchr(mode, 'b'), e);
        if (stream) rt.streams[stream].name = path;
        return stream;
    }
    const sim::FileSystem::Node* node = target.empty() ? nullptr : rt.m.files.Find(target);
    if (!node || node->dir || !reading || TooLong(path))
        return Refuse(e, node && node->dir ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND, kNoStream);
    if (node->open_error) return Refuse(e, node->open_error, kNoStream);
    auto* f = new OpenFile;
    f->data = node->data;
    f->text = !strchr(mode, 'b');
    cookie_io_functions_t io = {ReadOpenFile, nullptr, nullptr, CloseOpenFile};
    FILE* stream = fopencookie(f, "r", io);
    if (!stream) {
        delete f;
        return Refuse(e, ERROR_NOT_ENOUGH_MEMORY, kNoStream);
    }
    ++rt.open_files;
    rt.streams[stream].name = path;
    return Finish(e, true, stream);
}
}  // namespace sim::impl

namespace {

// One read or write of a stream: recorded, and open to a planned failure.
template <typename Op>
size_t Transfer(Call call, FILE* stream, size_t size, size_t count, Op op) {
    Runtime& rt = sim::Current();
    Event e = sim::CallEvent(call);
    e.Str("args.stream", StreamName(rt, stream))
        .Num("args.size", static_cast<int64_t>(size))
        .Num("args.count", static_cast<int64_t>(count));
    if (sim::CallFails(call)) {
        MarkFailed(rt, stream);
        return Failed(e.Num("result", 0), rt.last_error, size_t{0});
    }
    size_t n = op();
    return Emitted(e.Num("result", static_cast<int64_t>(n)), n);
}

}  // namespace

// The C library's stream functions, recorded and open to planned failures
// while a machine runs. ::fread and the others are the C library's own; the
// parentheses keep host.h's macros of the same names away.
namespace sim::impl {

size_t(fread)(void* buffer, size_t size, size_t count, FILE* stream) {
    if (!sim::Active()) return (::fread)(buffer, size, count, stream);
    return Transfer(Call::fread, stream, size, count,
                    [&] { return (::fread)(buffer, size, count, stream); });
}

size_t(fwrite)(const void* buffer, size_t size, size_t count, FILE* stream) {
    if (!sim::Active()) return (::fwrite)(buffer, size, count, stream);
    return Transfer(Call::fwrite, stream, size, count, [&] {
        size_t n = (::fwrite)(buffer, size, count, stream);
        if (n < count) sim::Current().last_error = ERROR_DISK_FULL;  // standard output is gone
        return n;
    });
}

int(ferror)(FILE* stream) {
    Runtime* rt = sim::Active();
    if (!rt) return (::ferror)(stream);
    sim::CallFails(Call::ferror);  // counted only
    auto it = rt->streams.find(stream);
    return (::ferror)(stream) || (it != rt->streams.end() && it->second.failed);
}

int(fclose)(FILE* stream) {
    Runtime* rt = sim::Active();
    if (!rt) return (::fclose)(stream);
    Event e = sim::CallEvent(Call::fclose);
    e.Str("args.stream", StreamName(*rt, stream));
    auto it = rt->streams.find(stream);
    bool failed = sim::CallFails(Call::fclose);
    // A failed close writes nothing of a new file.
    if (failed && it != rt->streams.end() && it->second.discard) *it->second.discard = true;
    if (it != rt->streams.end()) rt->streams.erase(it);
    uint32_t error = rt->last_error;
    int result = (::fclose)(stream);
    if (failed || result != 0)
        return Failed(e.Num("result", EOF), failed ? error : ERROR_DISK_FULL, EOF);
    return Emitted(e.Num("result", 0), 0);
}

}  // namespace sim::impl
