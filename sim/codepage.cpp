#include "sim/codepage.h"

#include <cstdio>
#include <unordered_map>

#include "sim/codepage_tables.h"

namespace sim {

namespace {

const CodePageTable* TableOf(uint32_t id) {
    for (size_t i = 0; i < kCodePageCount; ++i)
        if (kCodePageTables[i].id == id) return &kCodePageTables[i];
    return nullptr;
}

// The byte of each character above U+007F, per code page, made on first use.
const std::unordered_map<uint32_t, unsigned char>& ReverseOf(const CodePageTable& table) {
    static std::unordered_map<uint32_t, std::unordered_map<uint32_t, unsigned char>> cache;
    auto& reverse = cache[table.id];
    if (reverse.empty())
        for (int i = 0; i < 128; ++i) reverse[table.high[i]] = static_cast<unsigned char>(0x80 + i);
    return reverse;
}

void AppendUtf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// The next character of UTF-8 text at *at; false on bad UTF-8.
bool NextUtf8(const std::string& s, size_t* at, uint32_t* c) {
    unsigned char b = static_cast<unsigned char>(s[*at]);
    int more = b < 0x80             ? 0
               : (b & 0xE0) == 0xC0 ? 1
               : (b & 0xF0) == 0xE0 ? 2
               : (b & 0xF8) == 0xF0 ? 3
                                    : -1;
    if (more < 0) return false;
    uint32_t v = more == 0 ? b : b & (0x3F >> more);
    for (int i = 1; i <= more; ++i) {
        if (*at + i >= s.size()) return false;
        unsigned char n = static_cast<unsigned char>(s[*at + i]);
        if ((n & 0xC0) != 0x80) return false;
        v = (v << 6) | (n & 0x3F);
    }
    static const uint32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
    if (v < kLeast[more] || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return false;
    *at += more + 1;
    *c = v;
    return true;
}

// The default code page, found once.
const CodePageTable* Table1252() {
    static const CodePageTable* table = TableOf(1252);
    return table;
}

}  // namespace

bool IsCodePage(uint32_t id) { return TableOf(id) != nullptr; }

std::string CodePageList() {
    std::string out;
    for (size_t i = 0; i < kCodePageCount; ++i)
        out += (i ? ", " : "") + std::to_string(kCodePageTables[i].id);
    return out;
}

bool ToCodePage(const std::string& utf8, uint32_t id, std::string* out, std::string* problem) {
    const CodePageTable* table = TableOf(id);
    if (!table) {
        *problem = "code page " + std::to_string(id) + " is not one the simulator knows";
        return false;
    }
    out->clear();
    out->reserve(utf8.size());
    bool ascii = true;
    for (char c : utf8) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii) {
        *out = utf8;
        return true;
    }
    const auto& reverse = ReverseOf(*table);
    for (size_t at = 0; at < utf8.size();) {
        uint32_t c = 0;
        size_t start = at;
        if (!NextUtf8(utf8, &at, &c)) {
            *problem = "not valid UTF-8 (byte " + std::to_string(start) + ")";
            return false;
        }
        if (c < 0x80) {
            *out += static_cast<char>(c);
            continue;
        }
        auto it = reverse.find(c);
        if (it == reverse.end()) {
            char name[16];
            snprintf(name, sizeof name, "U+%04X", c);
            *problem = std::string("the character '") + utf8.substr(start, at - start) + "' (" +
                       name + ") has no place in code page " + std::to_string(id);
            return false;
        }
        *out += static_cast<char>(it->second);
    }
    return true;
}

std::string FromCodePage(const std::string& bytes, uint32_t id) {
    const CodePageTable* table = TableOf(id);
    std::string out;
    out.reserve(bytes.size());
    for (unsigned char b : bytes) {
        if (b < 0x80)
            out += static_cast<char>(b);
        else
            AppendUtf8(out, table ? table->high[b - 0x80] : b);
    }
    return out;
}

std::string Visible(const std::string& bytes, uint32_t id) {
    std::string out;
    out.reserve(bytes.size());
    AppendVisible(out, bytes, id);
    return out;
}

void AppendVisible(std::string& out, const std::string& bytes, uint32_t id) {
    // Printable ASCII, the usual case, goes in one piece.
    size_t plain = 0;
    while (plain < bytes.size()) {
        unsigned char c = static_cast<unsigned char>(bytes[plain]);
        if (c < 0x20 || c >= 0x7F) break;
        ++plain;
    }
    if (plain == bytes.size()) {
        out += bytes;
        return;
    }
    const CodePageTable* table = id == 1252 ? Table1252() : TableOf(id);
    char hex[8];
    for (size_t at = 0; at < bytes.size(); ++at) {
        unsigned char b = static_cast<unsigned char>(bytes[at]);
        if (b >= 0x20 && b < 0x7F) {
            out += static_cast<char>(b);
            continue;
        }
        uint32_t c = b < 0x80 ? b : table ? table->high[b - 0x80] : b;
        if (id == kUtf8 && b >= 0x80) {
            size_t next = at;
            if (NextUtf8(bytes, &next, &c) && c >= 0xA0) {
                out.append(bytes, at, next - at);
            } else {
                // A byte that is no UTF-8, or the two of a C1 control.
                if (next == at) ++next;
                for (size_t i = at; i < next; ++i) {
                    snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(bytes[i]));
                    out += hex;
                }
            }
            at = next - 1;
            continue;
        }
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else if (c == 0)
            out += "\\0";
        else if (c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0)) {
            snprintf(hex, sizeof hex, "\\x%02X", b);
            out += hex;
        } else {
            AppendUtf8(out, c);
        }
    }
}

}  // namespace sim
