#include "host/sim/machine.h"

#include <cctype>

namespace sim {

std::string Upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

bool EqualNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && Upper(a) == Upper(b);
}

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
    std::vector<std::string> parts;
    std::string part;
    for (size_t i = 2; i <= full.size(); ++i) {
        if (i == full.size() || full[i] == '\\') {
            if (part == "..") {
                if (!parts.empty()) parts.pop_back();
            } else if (!part.empty() && part != ".") {
                parts.push_back(part);
            }
            part.clear();
        } else {
            part += full[i];
        }
    }
    std::string out;
    out += static_cast<char>(std::toupper(static_cast<unsigned char>(full[0])));
    out += ':';
    if (parts.empty()) return out + "\\";
    for (const auto& x : parts) out += "\\" + x;
    return out;
}

std::string FileSystem::Key(const std::string& absolute) { return Upper(absolute); }

bool FileSystem::IsRoot(const std::string& absolute) {
    return absolute.size() == 3 && absolute[1] == ':' && absolute[2] == '\\';
}

std::string FileSystem::Parent(const std::string& absolute) {
    if (IsRoot(absolute) || absolute.empty()) return "";
    size_t slash = absolute.rfind('\\');
    if (slash == std::string::npos) return "";
    if (slash == 2) return absolute.substr(0, 3);
    return absolute.substr(0, slash);
}

const FileSystem::Node* FileSystem::Find(const std::string& absolute) const {
    auto it = nodes_.find(Key(absolute));
    return it == nodes_.end() ? nullptr : &it->second;
}

bool FileSystem::IsDir(const std::string& absolute) const {
    const Node* n = Find(absolute);
    return n && n->dir;
}

bool FileSystem::IsFile(const std::string& absolute) const {
    const Node* n = Find(absolute);
    return n && !n->dir;
}

void FileSystem::MakeDirs(const std::string& absolute) {
    if (absolute.empty() || IsDir(absolute)) return;
    std::string parent = Parent(absolute);
    if (!parent.empty()) MakeDirs(parent);
    Node& n = nodes_[Key(absolute)];
    n.path = absolute;
    n.dir = true;
    n.data.clear();
}

void FileSystem::PutFile(const std::string& absolute, const Bytes& data) {
    std::string parent = Parent(absolute);
    if (!parent.empty()) MakeDirs(parent);
    Node& n = nodes_[Key(absolute)];
    if (n.path.empty()) n.path = absolute;
    n.dir = false;
    n.data = data;
}

bool FileSystem::MakeDir(const std::string& absolute) {
    if (Find(absolute)) return false;
    std::string parent = Parent(absolute);
    if (parent.empty() || !IsDir(parent)) return false;
    Node& n = nodes_[Key(absolute)];
    n.path = absolute;
    n.dir = true;
    return true;
}

bool FileSystem::Remove(const std::string& absolute) { return nodes_.erase(Key(absolute)) > 0; }

std::vector<const FileSystem::Node*> FileSystem::All() const {
    std::vector<const Node*> out;
    for (const auto& [key, node] : nodes_) out.push_back(&node);
    return out;
}

RegKey* RegKey::Child(const std::string& child) const {
    for (const auto& k : subkeys)
        if (EqualNoCase(k->name, child)) return k.get();
    return nullptr;
}

RegValue* RegKey::Value(const std::string& value) {
    for (auto& v : values)
        if (EqualNoCase(v.name, value)) return &v;
    return nullptr;
}

static std::vector<std::string> SplitKeyPath(const std::string& path) {
    std::vector<std::string> parts;
    std::string part;
    for (char c : path + "\\") {
        if (c == '\\') {
            if (!part.empty()) parts.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    return parts;
}

RegKey* MakeKeyPath(RegKey* root, const std::string& path) {
    RegKey* key = root;
    for (const auto& part : SplitKeyPath(path)) {
        RegKey* next = key->Child(part);
        if (!next) {
            auto made = std::make_shared<RegKey>();
            made->name = part;
            key->subkeys.push_back(made);
            next = made.get();
        }
        key = next;
    }
    return key;
}

RegKey* FindKeyPath(RegKey* root, const std::string& path) {
    RegKey* key = root;
    for (const auto& part : SplitKeyPath(path)) {
        key = key->Child(part);
        if (!key) return nullptr;
    }
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

static std::shared_ptr<RegKey> CloneKey(const RegKey& key) {
    auto copy = std::make_shared<RegKey>();
    copy->name = key.name;
    copy->values = key.values;
    copy->deleted = key.deleted;
    for (const auto& sub : key.subkeys) copy->subkeys.push_back(CloneKey(*sub));
    return copy;
}

Machine Machine::Clone() const {
    Machine copy = *this;
    copy.hklm = CloneKey(*hklm);
    return copy;
}

}  // namespace sim
