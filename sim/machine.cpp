#include "sim/machine.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>

#include "sim/codepage.h"

namespace sim {

namespace {
uint32_t g_text_codepage = 1252;
bool g_double_byte = false;  // g_text_codepage has lead bytes
bool g_nt_case = true;       // names fold as Windows NT folds them

void SetTextCodePage(uint32_t codepage, bool nt) {
    g_text_codepage = codepage;
    g_nt_case = nt;
    g_double_byte = false;
    for (unsigned b = 0x81; b < 0xFF && !g_double_byte; ++b)
        g_double_byte = IsLeadByte(codepage, static_cast<unsigned char>(b));
}

char UpperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }
}  // namespace

uint32_t TextCodePage() { return g_text_codepage; }

TextCodePageScope::TextCodePageScope(uint32_t codepage, bool nt)
    : saved_(g_text_codepage), saved_nt_(g_nt_case) {
    SetTextCodePage(codepage, nt);
}

TextCodePageScope::~TextCodePageScope() { SetTextCodePage(saved_, saved_nt_); }

size_t CharLength(const std::string& s, size_t at) {
    if (g_double_byte && at + 1 < s.size() && s[at + 1] != '\0' &&
        IsLeadByte(g_text_codepage, static_cast<unsigned char>(s[at])))
        return 2;
    return 1;
}

size_t FindBackslash(const std::string& s, size_t from) {
    if (!g_double_byte) return s.find('\\', from);
    for (size_t at = from; at < s.size(); at += CharLength(s, at))
        if (s[at] == '\\') return at;
    return std::string::npos;
}

size_t FindLastBackslash(const std::string& s) {
    if (!g_double_byte) return s.rfind('\\');
    size_t last = std::string::npos;
    for (size_t at = FindBackslash(s); at != std::string::npos; at = FindBackslash(s, at + 1))
        last = at;
    return last;
}

namespace {
bool IsAscii(const std::string& s) {
    for (char c : s)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}
}  // namespace

std::string Upper(std::string s) {
    if (!IsAscii(s)) return UpperCase(s, g_text_codepage, g_nt_case);
    for (char& c : s) c = UpperAscii(c);
    return s;
}

bool EqualNoCase(const std::string& a, const std::string& b) {
    if (!IsAscii(a) || !IsAscii(b)) return Upper(a) == Upper(b);
    if (a.size() != b.size()) return false;
    for (size_t at = 0; at < a.size(); ++at)
        if (UpperAscii(a[at]) != UpperAscii(b[at])) return false;
    return true;
}

size_t HashNoCase(const std::string& s) {
    // FNV-1a over the bytes as Upper() leaves them, without a copy for the
    // ASCII names that are nearly all of them.
    uint64_t h = 14695981039346656037ull;
    if (!IsAscii(s)) {
        for (unsigned char c : Upper(s)) h = (h ^ c) * 1099511628211ull;
        return static_cast<size_t>(h);
    }
    for (char c : s) h = (h ^ static_cast<unsigned char>(UpperAscii(c))) * 1099511628211ull;
    return static_cast<size_t>(h);
}

std::string WindowsNameProblem(const std::string& name) {
    std::string shown = "'" + Visible(name, g_text_codepage) + "'";
    if (name.empty()) return "an empty name";
    size_t last = 0;  // where the last character starts
    for (size_t at = 0; at < name.size(); at += CharLength(name, at)) {
        last = at;
        if (CharLength(name, at) != 1) continue;
        unsigned char c = static_cast<unsigned char>(name[at]);
        if (c < 0x20 || std::string("<>:\"|?*\\/").find(static_cast<char>(c)) != std::string::npos)
            return shown + ": a Windows file name may not hold '" +
                   Visible(std::string(1, static_cast<char>(c)), g_text_codepage) + "'";
    }
    if (CharLength(name, last) == 1 && (name[last] == '.' || name[last] == ' '))
        return shown + ": Windows takes a dot or a space off the end of a name";
    // A device name stays one with an extension and with spaces before it.
    std::string base = Upper(name.substr(0, name.find('.')));
    while (!base.empty() && base.back() == ' ') base.pop_back();
    static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL"};
    bool device = false;
    for (const char* d : kDevices) device = device || base == d;
    if (base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
        base[3] >= '1' && base[3] <= '9')
        device = true;
    if (device) return shown + ": a device name Windows reserves";
    return "";
}

bool PathWithin(const std::string& path, const std::string& folder) {
    size_t at = 0;
    while (at < folder.size() && at < path.size()) at += CharLength(path, at);
    if (at != folder.size() || !EqualNoCase(path.substr(0, at), folder)) return false;
    return at == path.size() || FileSystem::IsRoot(folder) || path[at] == '\\';
}

// ---- file contents ------------------------------------------------------------

FileData::FileData(Bytes bytes)
    : bytes_(std::make_shared<const Bytes>(std::move(bytes))), size_(bytes_->size()) {}

namespace {

// CRC-32 (common/crc32.h) works on a register: inverted before the first
// byte and after the last. Over zero bytes the register only goes through a
// linear map, one per bit; these make the map of many bytes from maps of
// fewer by squaring, as zlib's crc32_combine does, so that a placeholder of
// 16 MiB costs a few hundred steps instead of 16 million.
uint32_t Apply(const uint32_t* map, uint32_t v) {
    uint32_t sum = 0;
    for (int i = 0; v; ++i, v >>= 1)
        if (v & 1) sum ^= map[i];
    return sum;
}

void Square(uint32_t* out, const uint32_t* map) {
    for (int i = 0; i < 32; ++i) out[i] = Apply(map, map[i]);
}

// The register after `count` zero bytes from `reg`.
uint32_t AfterZeros(uint32_t reg, uint64_t count) {
    uint32_t odd[32], even[32];
    odd[0] = 0xEDB88320u;  // one zero bit
    for (int i = 1; i < 32; ++i) odd[i] = uint32_t{1} << (i - 1);
    Square(even, odd);  // two bits
    Square(odd, even);  // four bits
    while (count) {
        Square(even, odd);  // 8, 32, 128... bits
        if (count & 1) reg = Apply(even, reg);
        count >>= 1;
        if (!count) break;
        Square(odd, even);
        if (count & 1) reg = Apply(odd, reg);
        count >>= 1;
    }
    return reg;
}

// The register after one byte `b` from `reg`.
uint32_t AfterByte(uint32_t reg, unsigned char b) {
    reg ^= b;
    for (int bit = 0; bit < 8; ++bit) reg = (reg >> 1) ^ (0xEDB88320u & (0u - (reg & 1u)));
    return reg;
}

}  // namespace

FileData FileData::Placeholder(size_t size, uint32_t crc) {
    FileData out;
    out.size_ = size;
    out.placeholder_ = true;
    out.crc_ = crc;
    if (size < 4) return out;
    // Processing four bytes equals processing four zeros from the register
    // XORed with them; the zeros are undone step by step, each step's table
    // entry known from its top byte.
    uint32_t table[256], entry_of_top[256];
    for (uint32_t i = 0; i < 256; ++i) {
        table[i] = AfterByte(i, 0);
        entry_of_top[table[i] >> 24] = i;
    }
    uint32_t x = ~crc;
    for (int step = 0; step < 4; ++step) {
        uint32_t i = entry_of_top[x >> 24];
        x = ((x ^ table[i]) << 8) | i;
    }
    uint32_t word = AfterZeros(0xFFFFFFFFu, size - 4) ^ x;
    for (int k = 0; k < 4; ++k) out.tail_[k] = static_cast<char>(word >> (8 * k));
    return out;
}

uint32_t FileData::Crc32() const {
    if (placeholder_) return crc_;
    // A byte at a time through a table: a package of 256 MiB is summed in
    // about a second instead of several.
    static const auto table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) t[i] = AfterByte(i, 0);
        return t;
    }();
    uint32_t reg = 0xFFFFFFFFu;
    if (bytes_)
        for (unsigned char c : *bytes_) reg = (reg >> 8) ^ table[(reg ^ c) & 0xFF];
    return ~reg;
}

char FileData::At(size_t at) const {
    if (!placeholder_) return (*bytes_)[at];
    return size_ >= 4 && at >= size_ - 4 ? tail_[at - (size_ - 4)] : '\0';
}

size_t FileData::Copy(size_t at, size_t count, char* out) const {
    if (at >= size_) return 0;
    count = std::min(count, size_ - at);
    if (!placeholder_) {
        memcpy(out, bytes_->data() + at, count);
        return count;
    }
    memset(out, 0, count);
    for (size_t k = 0; k < 4 && size_ >= 4; ++k) {
        size_t where = size_ - 4 + k;
        if (where >= at && where < at + count) out[where - at] = tail_[k];
    }
    return count;
}

Bytes FileData::Read() const {
    if (!placeholder_) return bytes_ ? *bytes_ : Bytes();
    Bytes out(size_, '\0');
    if (size_ >= 4) memcpy(&out[size_ - 4], tail_, 4);
    return out;
}

// ---- file system ------------------------------------------------------------

static bool HasDrive(const std::string& p) {
    return p.size() >= 2 && std::isalpha(static_cast<unsigned char>(p[0])) && p[1] == ':';
}

std::string FileSystem::Absolute(const std::string& path, const std::string& cwd) {
    std::string p = path;
    for (char& c : p)
        if (c == '/') c = '\\';
    std::string full;
    if (HasDrive(p)) {
        if (p.size() == 2 || p[2] != '\\') {
            // "C:name" is relative to the current directory of that drive;
            // only the current drive has one here.
            if (!HasDrive(cwd) || std::toupper(cwd[0]) != std::toupper(p[0]))
                full = p.substr(0, 2) + "\\" + p.substr(2);
            else
                full = cwd + "\\" + p.substr(2);
        } else {
            full = p;
        }
    } else if (!p.empty() && p[0] == '\\') {
        if (p.size() > 1 && p[1] == '\\') return "";  // UNC paths are not modelled
        if (!HasDrive(cwd)) return "";
        full = cwd.substr(0, 2) + p;
    } else {
        if (!HasDrive(cwd)) return "";
        full = cwd + "\\" + p;
    }

    // Fold the parts after "X:".
    std::vector<std::pair<size_t, size_t>> parts;  // offset, length in `full`
    for (size_t start = 2; start <= full.size();) {
        size_t i = FindBackslash(full, start);
        if (i == std::string::npos) i = full.size();
        size_t length = i - start;
        if (length == 2 && full.compare(start, 2, "..") == 0) {
            if (!parts.empty()) parts.pop_back();
        } else if (length > 0 && !(length == 1 && full[start] == '.')) {
            parts.emplace_back(start, length);
        }
        start = i + 1;
    }
    std::string out;
    out += static_cast<char>(std::toupper(static_cast<unsigned char>(full[0])));
    out += ':';
    if (parts.empty()) return out + "\\";
    for (const auto& [at, length] : parts) {
        out += '\\';
        out.append(full, at, length);
    }
    return out;
}

bool FileSystem::IsRoot(const std::string& absolute) {
    return absolute.size() == 3 && absolute[1] == ':' && absolute[2] == '\\';
}

std::string FileSystem::Join(const std::string& absolute, const std::string& name) {
    return absolute + (IsRoot(absolute) ? "" : "\\") + name;
}

std::string FileSystem::Parent(const std::string& absolute) {
    if (IsRoot(absolute) || absolute.empty()) return "";
    size_t slash = FindLastBackslash(absolute);
    if (slash == std::string::npos) return "";
    if (slash == 2) return absolute.substr(0, 3);
    return absolute.substr(0, slash);
}

FileSystem::Node* FileSystem::FindNode(const std::string& absolute) const {
    if (!HasDrive(absolute)) return nullptr;
    auto drive = drives_.find(Upper(absolute.substr(0, 2)));
    if (drive == drives_.end()) return nullptr;
    Node* node = drive->second.get();
    bool found = ForEachPart(absolute, 3, [&](const std::string& part) {
        auto it = node->children.find(Upper(part));
        if (it == node->children.end()) return false;
        node = it->second.get();
        return true;
    });
    return found ? node : nullptr;
}

const FileSystem::Node* FileSystem::Find(const std::string& absolute) const {
    return FindNode(absolute);
}

bool FileSystem::IsDir(const std::string& absolute) const {
    const Node* n = Find(absolute);
    return n && n->dir;
}

bool FileSystem::IsFile(const std::string& absolute) const {
    const Node* n = Find(absolute);
    return n && !n->dir;
}

std::string FileSystem::PathOf(const Node* node) {
    std::vector<const Node*> chain;
    for (; node; node = node->parent) chain.push_back(node);
    if (chain.empty()) return "";
    std::string out = chain.back()->name;
    if (chain.size() == 1) return out + "\\";
    for (size_t i = chain.size() - 1; i-- > 0;) out += "\\" + chain[i]->name;
    return out;
}

// Walks to `absolute`, making missing directories on the way; the last part
// is made as a directory or file as asked. Null when a file stands in the way.
FileSystem::Node* FileSystem::MakeNode(const std::string& absolute, bool dir) {
    if (!HasDrive(absolute)) return nullptr;
    std::string drive = Upper(absolute.substr(0, 2));
    auto& root = drives_[drive];
    if (!root) {
        root = std::make_unique<Node>();
        root->name = drive;
        root->dir = true;
    }
    Node* node = root.get();
    std::vector<std::string> parts;
    ForEachPart(absolute, 3, [&](const std::string& part) {
        parts.push_back(part);
        return true;
    });
    for (size_t i = 0; i < parts.size(); ++i) {
        if (!node->dir) return nullptr;
        auto& child = node->children[Upper(parts[i])];
        if (!child) {
            child = std::make_unique<Node>();
            child->name = parts[i];
            child->parent = node;
            child->dir = i + 1 < parts.size() || dir;
        }
        node = child.get();
    }
    return node;
}

bool FileSystem::MakeDirs(const std::string& absolute) {
    Node* n = MakeNode(absolute, true);
    return n && n->dir;
}

bool FileSystem::PutFile(const std::string& absolute, FileData data, uint32_t open_error) {
    if (IsRoot(absolute)) return false;
    Node* n = MakeNode(absolute, false);
    if (!n || n->dir) return false;
    n->data = std::move(data);
    n->open_error = open_error;
    return true;
}

bool FileSystem::MakeDir(const std::string& absolute) {
    if (Find(absolute)) return false;
    std::string parent = Parent(absolute);
    if (parent.empty() || !IsDir(parent)) return false;
    return MakeNode(absolute, true) != nullptr;
}

// Frees a tree without recursion: a path of thousands of parts is a chain
// of thousands of nodes.
static void Dismantle(std::unique_ptr<FileSystem::Node> root) {
    std::vector<std::unique_ptr<FileSystem::Node>> pending;
    pending.push_back(std::move(root));
    while (!pending.empty()) {
        std::unique_ptr<FileSystem::Node> node = std::move(pending.back());
        pending.pop_back();
        for (auto& [key, child] : node->children) pending.push_back(std::move(child));
    }
}

bool FileSystem::Remove(const std::string& absolute) {
    Node* n = FindNode(absolute);
    if (!n) return false;
    if (!n->parent) {
        auto it = drives_.find(Upper(n->name));
        std::unique_ptr<Node> root = std::move(it->second);
        drives_.erase(it);
        Dismantle(std::move(root));
        return true;
    }
    auto& siblings = n->parent->children;
    auto it = siblings.find(Upper(n->name));
    std::unique_ptr<Node> gone = std::move(it->second);
    siblings.erase(it);
    Dismantle(std::move(gone));
    return true;
}

void FileSystem::ForEach(
    const std::function<void(const std::string& path, const Node&)>& each) const {
    struct Step {
        const Node* node;
        size_t path_length;  // of the parent's path
    };
    std::vector<Step> pending;
    for (auto it = drives_.rbegin(); it != drives_.rend(); ++it)
        pending.push_back({it->second.get(), 0});
    std::string path;
    while (!pending.empty()) {
        Step step = pending.back();
        pending.pop_back();
        path.resize(step.path_length);
        if (step.node->parent) {
            if (step.node->parent->parent) path += '\\';
            path += step.node->name;
            each(path, *step.node);
        } else {
            path = step.node->name;
            each(path + "\\", *step.node);
        }
        if (!step.node->parent) path += '\\';
        size_t length = path.size();
        for (auto it = step.node->children.rbegin(); it != step.node->children.rend(); ++it)
            pending.push_back({it->second.get(), length});
    }
}

FileSystem& FileSystem::operator=(const FileSystem& other) {
    if (this == &other) return *this;
    for (auto& [key, root] : drives_) Dismantle(std::move(root));
    drives_.clear();
    struct Step {
        const Node* from;
        Node* to;
    };
    std::vector<Step> pending;
    for (const auto& [key, root] : other.drives_) {
        auto copy = std::make_unique<Node>();
        copy->name = root->name;
        copy->dir = true;
        pending.push_back({root.get(), copy.get()});
        drives_[key] = std::move(copy);
    }
    while (!pending.empty()) {
        Step step = pending.back();
        pending.pop_back();
        for (const auto& [key, child] : step.from->children) {
            auto copy = std::make_unique<Node>();
            copy->name = child->name;
            copy->dir = child->dir;
            copy->data = child->data;
            copy->open_error = child->open_error;
            copy->parent = step.to;
            pending.push_back({child.get(), copy.get()});
            step.to->children[key] = std::move(copy);
        }
    }
    return *this;
}

// ---- registry ---------------------------------------------------------------

namespace {
const std::pair<uint32_t, const char*> kRegTypes[] = {
    {0, "REG_NONE"},   {1, "REG_SZ"},    {2, "REG_EXPAND_SZ"},
    {3, "REG_BINARY"}, {4, "REG_DWORD"}, {7, "REG_MULTI_SZ"},
};
}  // namespace

const char* RegTypeName(int64_t type) {
    for (const auto& [number, name] : kRegTypes)
        if (number == type) return name;
    return nullptr;
}

std::string RegTypeNames() {
    std::string out;
    for (const auto& [number, name] : kRegTypes) out += std::string(out.empty() ? "" : ", ") + name;
    return out;
}

std::optional<uint32_t> RegTypeOf(const std::string& name) {
    for (const auto& [number, type_name] : kRegTypes)
        if (name == type_name) return number;
    return std::nullopt;
}

// Keys and values are looked at one by one up to this many; beyond, an
// index finds them.
constexpr size_t kIndexFrom = 8;

// The slot among `count` that `named` accepts, found through `index` where
// there is one (by the hash of `name`), by a look at each otherwise; npos
// when there is none.
template <typename Index, typename Named>
static size_t SlotOf(const Index* index, size_t count, const std::string& name, Named named) {
    if (index) {
        auto [from, to] = index->equal_range(HashNoCase(name));
        for (auto it = from; it != to; ++it)
            if (named(it->second)) return it->second;
        return std::string::npos;
    }
    for (size_t slot = 0; slot < count; ++slot)
        if (named(slot)) return slot;
    return std::string::npos;
}

// After an entry was added last of `count`: puts it in the index, or makes
// the index once there are more than kIndexFrom. `name_at(slot)` gives an
// entry's name, or null for a removed one.
template <typename Index, typename NameAt>
static void AddToIndex(std::unique_ptr<Index>& index, size_t count, NameAt name_at) {
    if (index) {
        index->emplace(HashNoCase(*name_at(count - 1)), count - 1);
        return;
    }
    if (count <= kIndexFrom) return;
    index = std::make_unique<Index>();
    for (size_t slot = 0; slot < count; ++slot)
        if (const std::string* name = name_at(slot)) index->emplace(HashNoCase(*name), slot);
}

void RegKey::Compact() const {
    if (holes_ == 0) return;
    std::vector<std::shared_ptr<RegKey>> kept;
    kept.reserve(subkeys_.size() - holes_);
    if (index_) index_->clear();
    for (auto& key : subkeys_) {
        if (!key) continue;
        if (index_) index_->emplace(HashNoCase(key->name), kept.size());
        kept.push_back(std::move(key));
    }
    subkeys_.swap(kept);
    holes_ = 0;
}

size_t RegKey::SubkeyCount() const { return subkeys_.size() - holes_; }

const std::shared_ptr<RegKey>& RegKey::SubkeyAt(size_t index) const {
    Compact();
    return subkeys_[index];
}

size_t RegKey::SubkeySlot(const std::string& name) const {
    return SlotOf(index_.get(), subkeys_.size(), name, [&](size_t slot) {
        return subkeys_[slot] && EqualNoCase(subkeys_[slot]->name, name);
    });
}

std::shared_ptr<RegKey> RegKey::Find(const std::string& child) const {
    size_t slot = SubkeySlot(child);
    return slot == std::string::npos ? nullptr : subkeys_[slot];
}

RegKey* RegKey::Make(const std::string& child) {
    size_t slot = SubkeySlot(child);
    if (slot != std::string::npos) return subkeys_[slot].get();
    auto made = std::make_shared<RegKey>();
    made->name = child;
    subkeys_.push_back(made);
    AddToIndex(index_, subkeys_.size(),
               [&](size_t slot) { return subkeys_[slot] ? &subkeys_[slot]->name : nullptr; });
    return made.get();
}

bool RegKey::Remove(const RegKey* child) {
    size_t slot = SubkeySlot(child->name);
    if (slot == std::string::npos || subkeys_[slot].get() != child) return false;
    if (index_) {
        auto [from, to] = index_->equal_range(HashNoCase(child->name));
        for (auto it = from; it != to; ++it)
            if (it->second == slot) {
                index_->erase(it);
                break;
            }
    }
    // Last: this may free the child, whose name the index needed.
    subkeys_[slot].reset();
    ++holes_;
    // An emptied key is compacted at once; otherwise at the next enumeration.
    if (holes_ == subkeys_.size()) {
        subkeys_.clear();
        holes_ = 0;
        index_.reset();
    }
    return true;
}

size_t RegKey::ValueSlot(const std::string& name) const {
    return SlotOf(value_index_.get(), values_.size(), name,
                  [&](size_t slot) { return EqualNoCase(values_[slot].name, name); });
}

RegValue* RegKey::Value(const std::string& value) {
    size_t slot = ValueSlot(value);
    return slot == std::string::npos ? nullptr : &values_[slot];
}

void RegKey::SetValue(const RegValue& value) {
    if (RegValue* old = Value(value.name)) {
        old->type = value.type;
        old->data = value.data;
        old->error = value.error;
        return;
    }
    values_.push_back(value);
    AddToIndex(value_index_, values_.size(), [&](size_t slot) { return &values_[slot].name; });
}

std::shared_ptr<RegKey> RegKey::Clone() const {
    // Iterative: a registry may be deep.
    auto root = std::make_shared<RegKey>();
    std::vector<std::pair<const RegKey*, RegKey*>> pending = {{this, root.get()}};
    while (!pending.empty()) {
        auto [from, to] = pending.back();
        pending.pop_back();
        to->name = from->name;
        to->deleted = from->deleted;
        to->open_error = from->open_error;
        to->values_ = from->values_;
        if (from->value_index_) to->value_index_ = std::make_unique<Index>(*from->value_index_);
        for (size_t i = 0; i < from->SubkeyCount(); ++i) {
            const RegKey* sub = from->SubkeyAt(i).get();
            pending.push_back({sub, to->Make(sub->name)});
        }
    }
    return root;
}

RegKey* MakeKeyPath(RegKey* root, const std::string& path) {
    RegKey* key = root;
    ForEachPart(path, 0, [&](const std::string& part) {
        key = key->Make(part);
        return true;
    });
    return key;
}

RegKey* FindKeyPath(RegKey* root, const std::string& path) {
    RegKey* key = root;
    ForEachPart(path, 0, [&](const std::string& part) {
        key = key->Child(part);
        return key != nullptr;
    });
    return key;
}

Bytes MultiSz(const std::vector<std::string>& ids) {
    Bytes out;
    for (const auto& id : ids) {
        out += id;
        out += '\0';
    }
    out += '\0';
    return out;
}

Machine Machine::Clone() const {
    Machine copy = *this;
    copy.hklm = hklm->Clone();
    return copy;
}

}  // namespace sim
