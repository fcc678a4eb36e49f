// The Windows functions of host.h over the running simulated machine. Each
// follows the documented Windows behaviour the program relies on: results,
// last-error codes, buffer-size rules. Every call is counted, can be made to
// fail by a fault plan, and what changes the machine is recorded.
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "host/host.h"
#include "host/sim/runtime.h"

using sim::json;
using sim::Runtime;
using sim::Text;

namespace {

// Registry functions return their status instead of setting the last error.
bool RegFails(const char* call, LONG* status) {
    uint32_t error = 0;
    if (!sim::Current().Faulted(call, ERROR_ACCESS_DENIED, &error)) return false;
    *status = static_cast<LONG>(error);
    return true;
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

std::string Hex(const sim::Bytes& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        if (!out.empty()) out += ' ';
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

}  // namespace

extern "C" {

// ---- kernel32: version, locale, directories, files -------------------------

BOOL GetVersionExA(LPOSVERSIONINFOA info) {
    if (sim::CallFails("GetVersionExA", ERROR_INVALID_PARAMETER)) return FALSE;
    Runtime& rt = sim::Current();
    if (!info) {
        rt.last_error = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    // OSVERSIONINFOA or OSVERSIONINFOEXA; anything else is refused.
    if (info->dwOSVersionInfoSize != 148 && info->dwOSVersionInfoSize != 156) {
        rt.last_error = ERROR_INSUFFICIENT_BUFFER;
        return FALSE;
    }
    info->dwMajorVersion = rt.m.os.major;
    info->dwMinorVersion = rt.m.os.minor;
    info->dwBuildNumber = rt.m.os.build_number;
    info->dwPlatformId = rt.m.os.platform;
    memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
    strncpy(info->szCSDVersion, rt.m.os.csd.c_str(), sizeof info->szCSDVersion - 1);
    return TRUE;
}

LCID GetSystemDefaultLCID(void) {
    Runtime& rt = sim::Current();
    uint32_t unused;
    rt.Faulted("GetSystemDefaultLCID", 0, &unused);  // counted; it cannot fail
    return rt.m.locale;
}

DWORD GetCurrentDirectoryA(DWORD size, LPSTR buffer) {
    if (sim::CallFails("GetCurrentDirectoryA", ERROR_ACCESS_DENIED)) return 0;
    return CopyOut(sim::Current().cwd, buffer, size);
}

UINT GetWindowsDirectoryA(LPSTR buffer, UINT size) {
    if (sim::CallFails("GetWindowsDirectoryA", ERROR_ACCESS_DENIED)) return 0;
    return CopyOut(sim::Current().m.windows_dir, buffer, size);
}

UINT GetSystemDirectoryA(LPSTR buffer, UINT size) {
    if (sim::CallFails("GetSystemDirectoryA", ERROR_ACCESS_DENIED)) return 0;
    return CopyOut(sim::Current().m.system_dir, buffer, size);
}

BOOL SetCurrentDirectoryA(LPCSTR path) {
    if (sim::CallFails("SetCurrentDirectoryA", ERROR_ACCESS_DENIED)) return FALSE;
    Runtime& rt = sim::Current();
    if (TooLong(path, MAX_PATH - 1)) {
        rt.last_error = ERROR_FILENAME_EXCED_RANGE;
        return FALSE;
    }
    std::string target = Abs(path);
    if (target.empty() || !rt.m.files.IsDir(target)) {
        std::string parent = sim::FileSystem::Parent(target);
        rt.last_error = (parent.empty() || rt.m.files.IsDir(parent)) ? ERROR_FILE_NOT_FOUND
                                                                     : ERROR_PATH_NOT_FOUND;
        return FALSE;
    }
    rt.cwd = rt.m.files.Find(target)->path;
    rt.Emit({{"type", "chdir"}, {"path", Text(rt.cwd)}});
    return TRUE;
}

BOOL CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES) {
    if (sim::CallFails("CreateDirectoryA", ERROR_ACCESS_DENIED)) return FALSE;
    Runtime& rt = sim::Current();
    // A directory name must leave room for an 8.3 file name below MAX_PATH.
    if (TooLong(path, MAX_PATH - 12)) {
        rt.last_error = ERROR_FILENAME_EXCED_RANGE;
        return FALSE;
    }
    std::string target = Abs(path);
    if (target.empty()) {
        rt.last_error = ERROR_PATH_NOT_FOUND;
        return FALSE;
    }
    if (rt.m.files.Find(target)) {
        rt.last_error = ERROR_ALREADY_EXISTS;
        return FALSE;
    }
    if (!rt.m.files.MakeDir(target)) {
        rt.last_error = ERROR_PATH_NOT_FOUND;
        return FALSE;
    }
    rt.Emit({{"type", "mkdir"}, {"path", Text(target)}});
    return TRUE;
}

BOOL CopyFileA(LPCSTR from, LPCSTR to, BOOL failIfExists) {
    if (sim::CallFails("CopyFileA", ERROR_ACCESS_DENIED)) return FALSE;
    Runtime& rt = sim::Current();
    auto refuse = [&](uint32_t error) {
        rt.last_error = error;
        rt.Emit({{"type", "copy_failed"},
                 {"from", sim::TextOrNull(from)},
                 {"to", sim::TextOrNull(to)},
                 {"error", error}});
        return FALSE;
    };
    if (!from || !to) return refuse(ERROR_INVALID_PARAMETER);
    if (TooLong(from) || TooLong(to)) return refuse(ERROR_FILENAME_EXCED_RANGE);
    std::string source = Abs(from), target = Abs(to);
    const sim::FileSystem::Node* src = rt.m.files.Find(source);
    if (!src) {
        std::string parent = sim::FileSystem::Parent(source);
        return refuse(rt.m.files.IsDir(parent) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
    }
    if (src->dir) return refuse(ERROR_ACCESS_DENIED);
    if (!rt.m.files.IsDir(sim::FileSystem::Parent(target))) return refuse(ERROR_PATH_NOT_FOUND);
    const sim::FileSystem::Node* dst = rt.m.files.Find(target);
    if (dst && dst->dir) return refuse(ERROR_ACCESS_DENIED);
    if (dst && failIfExists) return refuse(80);  // ERROR_FILE_EXISTS
    bool overwrote = dst != nullptr;
    sim::Bytes data = src->data;
    rt.m.files.PutFile(target, data);
    rt.Emit({{"type", "copy"},
             {"from", Text(source)},
             {"to", Text(rt.m.files.Find(target)->path)},
             {"bytes", data.size()},
             {"overwrote", overwrote}});
    return TRUE;
}

// ---- kernel32: modules -------------------------------------------------------

HMODULE LoadLibraryA(LPCSTR name) {
    if (sim::CallFails("LoadLibraryA", ERROR_MOD_NOT_FOUND)) return NULL;
    Runtime& rt = sim::Current();
    std::string request = name ? name : "";
    json event = {{"type", "load"}, {"name", Text(request)}};

    // Candidate directories: the one named, or the search order of the
    // platform (the executable's directory first, the current directory
    // before the system on the 9x family, after it on NT).
    std::vector<std::string> dirs;
    std::string file = request;
    size_t slash = request.find_last_of("\\/:");
    if (slash != std::string::npos) {
        std::string full = Abs(request.c_str());
        dirs.push_back(sim::FileSystem::Parent(full));
        file = full.substr(full.find_last_of('\\') + 1);
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
            if (!sim::EqualNoCase(mod.name, file) ||
                !sim::EqualNoCase(sim::FileSystem::Absolute(mod.dir, "C:\\"),
                                  sim::FileSystem::Absolute(dir, "C:\\")))
                continue;
            std::string path = sim::FileSystem::Absolute(mod.dir, "C:\\") + "\\" + mod.name;
            event["path"] = Text(path);
            event["planted"] = mod.planted;
            if (!mod.loads) {
                rt.last_error = 193;  // ERROR_BAD_EXE_FORMAT
                event["result"] = nullptr;
                event["error"] = rt.last_error;
                rt.Emit(event);
                return NULL;
            }
            // One handle per module, shared by repeated loads.
            uintptr_t handle = 0x10000000u + 0x100000u * (i + 1);
            auto& loaded = rt.modules[handle];
            loaded.index = i;
            loaded.path = path;
            ++loaded.refs;
            event["result"] = sim::PointerText(reinterpret_cast<void*>(handle));
            rt.Emit(event);
            return reinterpret_cast<HMODULE>(handle);
        }
    }
    rt.last_error = ERROR_MOD_NOT_FOUND;
    event["result"] = nullptr;
    event["error"] = rt.last_error;
    rt.Emit(event);
    return NULL;
}

BOOL FreeLibrary(HMODULE module) {
    if (sim::CallFails("FreeLibrary", ERROR_INVALID_HANDLE)) return FALSE;
    Runtime& rt = sim::Current();
    auto it = rt.modules.find(reinterpret_cast<uintptr_t>(module));
    if (it == rt.modules.end()) {
        rt.last_error = ERROR_INVALID_HANDLE;
        rt.Emit({{"type", "unload"}, {"handle", sim::PointerText(module)}, {"result", false}});
        return FALSE;
    }
    rt.Emit({{"type", "unload"}, {"path", Text(it->second.path)}, {"result", true}});
    if (--it->second.refs == 0) rt.modules.erase(it);
    return TRUE;
}

DWORD GetLastError(void) { return sim::Current().last_error; }

void SetLastError(DWORD code) { sim::Current().last_error = code; }

// ---- kernel32: memory and message texts -------------------------------------

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
    if (sim::CallFails("LocalAlloc", ERROR_NOT_ENOUGH_MEMORY)) return NULL;
    Runtime& rt = sim::Current();
    void* block = malloc(bytes ? bytes : 1);
    if (!block) {
        rt.last_error = ERROR_NOT_ENOUGH_MEMORY;
        return NULL;
    }
    // Fresh memory that was not asked to be zeroed holds junk, so code that
    // relies on zeros it did not ask for shows up.
    memset(block, (flags & LMEM_ZEROINIT) ? 0 : 0xA5, bytes ? bytes : 1);
    rt.allocations[block] = bytes;
    return block;
}

HLOCAL LocalFree(HLOCAL block) {
    Runtime& rt = sim::Current();
    uint32_t unused;
    rt.Faulted("LocalFree", 0, &unused);  // counted; freeing is not made to fail
    if (!block) return NULL;
    auto it = rt.allocations.find(block);
    if (it == rt.allocations.end()) {
        rt.last_error = ERROR_INVALID_HANDLE;
        rt.Emit({{"type", "bad_free"}, {"block", sim::PointerText(block)}});
        return block;
    }
    free(block);
    rt.allocations.erase(it);
    return NULL;
}

DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPSTR buffer,
                     DWORD size, va_list* arguments) {
    (void)source;
    (void)languageId;
    (void)size;
    (void)arguments;
    if (sim::CallFails("FormatMessageA", ERROR_NOT_ENOUGH_MEMORY)) return 0;
    Runtime& rt = sim::Current();
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
        !buffer) {
        rt.last_error = ERROR_INVALID_PARAMETER;
        return 0;
    }
    auto it = texts.find(messageId);
    if (it == texts.end()) {
        rt.last_error = 317;  // ERROR_MR_MID_NOT_FOUND
        return 0;
    }
    size_t length = strlen(it->second);
    char* text = static_cast<char*>(malloc(length + 1));
    memcpy(text, it->second, length + 1);
    rt.allocations[text] = length + 1;
    *reinterpret_cast<char**>(buffer) = text;
    return static_cast<DWORD>(length);
}

// ---- user32 -----------------------------------------------------------------

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    if (sim::CallFails("MessageBoxA", ERROR_NOT_ENOUGH_MEMORY)) return 0;
    Runtime& rt = sim::Current();
    UINT buttons = type & 0xF;
    json box = {{"type", "box"},
                {"owner", sim::PointerText(owner)},
                {"title", sim::TextOrNull(caption)},
                {"text", sim::TextOrNull(text)},
                {"style", type},
                {"buttons", buttons == MB_OK      ? "OK"
                            : buttons == MB_YESNO ? "Yes/No"
                                                  : "other"}};
    int answer = IDOK;
    if (buttons == MB_YESNO) {
        std::optional<bool> yes = rt.options.answer(box);
        if (!yes) {
            box["answer"] = nullptr;
            rt.Emit(box);
            throw sim::NoAnswer{text ? text : ""};
        }
        answer = *yes ? IDYES : IDNO;
    }
    box["answer"] = answer == IDYES ? "Yes" : answer == IDNO ? "No" : "OK";
    rt.Emit(box);
    return answer;
}

int LoadStringA(HINSTANCE, UINT id, LPSTR buffer, int size) {
    if (sim::CallFails("LoadStringA", 1814)) {  // ERROR_RESOURCE_NAME_NOT_FOUND
        if (buffer && size > 0) buffer[0] = '\0';
        return 0;
    }
    Runtime& rt = sim::Current();
    auto it = rt.m.strings.find(id);
    if (it == rt.m.strings.end() || !buffer || size <= 0) {
        if (buffer && size > 0) buffer[0] = '\0';
        rt.last_error = 1814;
        return 0;
    }
    size_t n = std::min(it->second.size(), static_cast<size_t>(size - 1));
    memcpy(buffer, it->second.data(), n);
    buffer[n] = '\0';
    return static_cast<int>(n);
}

BOOL ExitWindowsEx(UINT flags, DWORD reserved) {
    if (sim::CallFails("ExitWindowsEx", ERROR_ACCESS_DENIED)) return FALSE;
    Runtime& rt = sim::Current();
    rt.Emit({{"type", "reboot"}, {"flags", flags}, {"reserved", reserved}});
    if (!rt.m.exit_windows_succeeds) {
        rt.last_error = ERROR_ACCESS_DENIED;
        return FALSE;
    }
    return TRUE;
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

static std::shared_ptr<sim::RegKey> SharedChild(const std::shared_ptr<sim::RegKey>& key,
                                                const std::string& name) {
    for (const auto& sub : key->subkeys)
        if (sim::EqualNoCase(sub->name, name)) return sub;
    return nullptr;
}

// Walks a backslash path below `key`; null when a part is missing.
static std::shared_ptr<sim::RegKey> Walk(std::shared_ptr<sim::RegKey> key, const char* sub,
                                         std::string* path) {
    std::string part;
    std::string rest = sub ? sub : "";
    rest += '\\';
    for (char c : rest) {
        if (c != '\\') {
            part += c;
            continue;
        }
        if (part.empty()) continue;
        key = SharedChild(key, part);
        if (!key) return nullptr;
        if (path) *path += "\\" + key->name;
        part.clear();
    }
    return key;
}

LONG RegOpenKeyA(HKEY key, LPCSTR subKey, PHKEY result) {
    LONG status;
    if (RegFails("RegOpenKeyA", &status)) return status;
    Runtime& rt = sim::Current();
    std::string path;
    auto base = KeyOf(key, &path);
    if (!base) return ERROR_INVALID_HANDLE;
    if (!result) return ERROR_INVALID_PARAMETER;
    auto found = Walk(base, subKey, &path);
    if (!found) return ERROR_FILE_NOT_FOUND;
    uintptr_t handle = rt.next_key++;
    rt.keys[handle] = {found, path};
    *result = reinterpret_cast<HKEY>(handle);
    return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key) {
    LONG status;
    if (RegFails("RegCloseKey", &status)) return status;
    Runtime& rt = sim::Current();
    if (key == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
    return rt.keys.erase(reinterpret_cast<uintptr_t>(key)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LONG RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD size) {
    LONG status;
    if (RegFails("RegQueryValueExA", &status)) return status;
    auto k = KeyOf(key, nullptr);
    if (!k) return ERROR_INVALID_HANDLE;
    if (reserved) return ERROR_INVALID_PARAMETER;
    sim::RegValue* v = k->Value(name ? name : "");
    if (!v) return ERROR_FILE_NOT_FOUND;
    if (type) *type = v->type;
    DWORD needed = static_cast<DWORD>(v->data.size());
    if (data && (!size || *size < needed)) {
        if (size) *size = needed;
        return ERROR_MORE_DATA;
    }
    if (data) memcpy(data, v->data.data(), needed);
    if (size) *size = needed;
    return ERROR_SUCCESS;
}

LONG RegSetValueExA(HKEY key, LPCSTR name, DWORD, DWORD type, const BYTE* data, DWORD size) {
    LONG status;
    if (RegFails("RegSetValueExA", &status)) return status;
    Runtime& rt = sim::Current();
    std::string path;
    auto k = KeyOf(key, &path);
    if (!k) return ERROR_INVALID_HANDLE;
    if (!data && size) return ERROR_INVALID_PARAMETER;
    sim::Bytes bytes(reinterpret_cast<const char*>(data), size);
    std::string value_name = name ? name : "";
    sim::RegValue* v = k->Value(value_name);
    if (!v) {
        k->values.push_back({value_name, type, {}});
        v = &k->values.back();
    }
    v->type = type;
    v->data = bytes;
    rt.Emit({{"type", "reg_set"},
             {"key", Text(path)},
             {"name", Text(value_name)},
             {"value_type", type},
             {"size", size},
             {"data", Text(bytes)},
             {"hex", Hex(bytes)}});
    return ERROR_SUCCESS;
}

LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameSize, LPDWORD reserved,
                   LPSTR className, LPDWORD classSize, PFILETIME lastWrite) {
    (void)className;
    (void)classSize;
    (void)lastWrite;
    LONG status;
    if (RegFails("RegEnumKeyExA", &status)) return status;
    auto k = KeyOf(key, nullptr);
    if (!k) return ERROR_INVALID_HANDLE;
    if (reserved || !name || !nameSize) return ERROR_INVALID_PARAMETER;
    if (index >= k->subkeys.size()) return ERROR_NO_MORE_ITEMS;
    const std::string& sub = k->subkeys[index]->name;
    if (*nameSize < sub.size() + 1) return ERROR_MORE_DATA;
    memcpy(name, sub.c_str(), sub.size() + 1);
    *nameSize = static_cast<DWORD>(sub.size());
    return ERROR_SUCCESS;
}

static void MarkDeleted(sim::RegKey& key, const std::string& path, json& removed) {
    key.deleted = true;
    removed.push_back(Text(path));
    for (auto& sub : key.subkeys) MarkDeleted(*sub, path + "\\" + sub->name, removed);
}

LONG RegDeleteKeyA(HKEY key, LPCSTR subKey) {
    LONG status;
    if (RegFails("RegDeleteKeyA", &status)) return status;
    Runtime& rt = sim::Current();
    std::string path;
    auto base = KeyOf(key, &path);
    if (!base) return ERROR_INVALID_HANDLE;
    if (!subKey || !*subKey) return ERROR_INVALID_PARAMETER;
    std::string parent_path = path;
    std::string sub = subKey;
    size_t slash = sub.find_last_of('\\');
    auto parent =
        slash == std::string::npos ? base : Walk(base, sub.substr(0, slash).c_str(), &parent_path);
    if (!parent) return ERROR_FILE_NOT_FOUND;
    std::string leaf = slash == std::string::npos ? sub : sub.substr(slash + 1);
    auto target = SharedChild(parent, leaf);
    if (!target) return ERROR_FILE_NOT_FOUND;
    std::string target_path = parent_path + "\\" + target->name;
    if (rt.m.delete_semantics == sim::DeleteSemantics::Nt && !target->subkeys.empty()) {
        rt.Emit({{"type", "reg_delete_refused"}, {"key", Text(target_path)}, {"error", 5}});
        return ERROR_ACCESS_DENIED;
    }
    json removed = json::array();
    MarkDeleted(*target, target_path, removed);
    auto& list = parent->subkeys;
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (*it == target) {
            list.erase(it);
            break;
        }
    }
    rt.Emit({{"type", "reg_delete"}, {"key", Text(target_path)}, {"removed", removed}});
    return ERROR_SUCCESS;
}

// ---- msvcrt: the message file -------------------------------------------------

}  // extern "C"

namespace {
struct OpenFile {
    sim::Bytes data;
    size_t pos = 0;
};

ssize_t ReadOpenFile(void* cookie, char* buffer, size_t size) {
    auto* f = static_cast<OpenFile*>(cookie);
    size_t n = std::min(size, f->data.size() - f->pos);
    memcpy(buffer, f->data.data() + f->pos, n);
    f->pos += n;
    return static_cast<ssize_t>(n);
}

int CloseOpenFile(void* cookie) {
    delete static_cast<OpenFile*>(cookie);
    if (Runtime* rt = sim::Active()) --rt->open_files;
    return 0;
}

// msvcrt's text mode: CR LF reads as LF, a lone CR stays, Ctrl-Z ends the
// file.
sim::Bytes TextModeView(const sim::Bytes& raw) {
    sim::Bytes out;
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\x1a') break;
        if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
        out += raw[i];
    }
    return out;
}
}  // namespace

extern "C" {

FILE* HostFopen(const char* path, const char* mode) {
    if (sim::CallFails("fopen", ERROR_ACCESS_DENIED)) return NULL;
    Runtime& rt = sim::Current();
    std::string target = Abs(path);
    json event = {{"type", "open"}, {"path", sim::TextOrNull(path)}, {"mode", mode ? mode : ""}};
    const sim::FileSystem::Node* node = target.empty() ? nullptr : rt.m.files.Find(target);
    bool reading = mode && mode[0] == 'r' && !strchr(mode, '+');
    if (!node || node->dir || !reading || TooLong(path)) {
        event["result"] = false;
        rt.Emit(event);
        return NULL;
    }
    auto* f = new OpenFile;
    f->data = strchr(mode, 'b') ? node->data : TextModeView(node->data);
    cookie_io_functions_t io = {ReadOpenFile, nullptr, nullptr, CloseOpenFile};
    FILE* stream = fopencookie(f, "r", io);
    if (!stream) {
        delete f;
        return NULL;
    }
    ++rt.open_files;
    event["result"] = true;
    rt.Emit(event);
    return stream;
}

}  // extern "C"
