#include "sim/codepage.h"

#include <algorithm>
#include <cstdio>
#include <unordered_map>
#include <unordered_set>

#include "sim/codepage_tables.h"

namespace sim {

namespace {

const CodePageTable* TableOf(uint32_t id) {
    for (size_t i = 0; i < kCodePageCount; ++i)
        if (kCodePageTables[i].id == id) return &kCodePageTables[i];
    return nullptr;
}

bool IsLead(const CodePageTable& table, unsigned char b) {
    return table.leads && b >= 0x80 && table.leads[b - 0x80];
}

// The character of the pair lead, trail; 0 when it stands for none.
uint32_t PairChar(const CodePageTable& table, unsigned char lead, unsigned char trail) {
    if (trail < kFirstTrail) return 0;
    return table.pairs[(table.leads[lead - 0x80] - 1) * kTrailCount + (trail - kFirstTrail)];
}

// The code of each character above U+007F, per code page, made on first
// use: a byte, or a lead byte and a trail byte (lead << 8 | trail).
const std::unordered_map<uint32_t, uint16_t>& ReverseOf(const CodePageTable& table) {
    static std::unordered_map<uint32_t, std::unordered_map<uint32_t, uint16_t>> cache;
    auto& reverse = cache[table.id];
    if (!reverse.empty()) return reverse;
    std::unordered_set<uint16_t> alternates;
    for (const uint16_t* a = table.alternates; a && *a; ++a) alternates.insert(*a);
    for (unsigned b = 0x80; b < 0x100; ++b) {
        unsigned char lead = static_cast<unsigned char>(b);
        if (!IsLead(table, lead)) {
            reverse[table.high[b - 0x80]] = static_cast<uint16_t>(b);
            continue;
        }
        for (unsigned t = kFirstTrail; t < 0x100; ++t) {
            uint16_t code = static_cast<uint16_t>(b << 8 | t);
            uint32_t c = PairChar(table, lead, static_cast<unsigned char>(t));
            if (c && !alternates.count(code)) reverse.emplace(c, code);
        }
    }
    // An alternate is written only for a character no other pair stands for.
    for (uint16_t code : alternates)
        reverse.emplace(PairChar(table, static_cast<unsigned char>(code >> 8),
                                 static_cast<unsigned char>(code & 0xFF)),
                        code);
    return reverse;
}

// The character at bytes[*at] and how many bytes it takes; 0 bytes for a
// byte that stands for no character here (a lead byte without its trail,
// or a pair that means nothing).
uint32_t CharAt(const CodePageTable* table, const std::string& bytes, size_t at, size_t* length) {
    unsigned char b = static_cast<unsigned char>(bytes[at]);
    *length = 1;
    if (b < 0x80) return b;
    if (!table) return b;
    if (!IsLead(*table, b)) return table->high[b - 0x80];
    uint32_t c =
        at + 1 < bytes.size() ? PairChar(*table, b, static_cast<unsigned char>(bytes[at + 1])) : 0;
    *length = c ? 2 : 0;
    return c;
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
        if (it->second > 0xFF) *out += static_cast<char>(it->second >> 8);
        *out += static_cast<char>(it->second & 0xFF);
    }
    return true;
}

std::string FromCodePage(const std::string& bytes, uint32_t id) {
    const CodePageTable* table = TableOf(id);
    std::string out;
    out.reserve(bytes.size());
    for (size_t at = 0; at < bytes.size();) {
        size_t length;
        uint32_t c = CharAt(table, bytes, at, &length);
        // A byte that stands for nothing here: the replacement character.
        AppendUtf8(out, length ? c : 0xFFFD);
        at += length ? length : 1;
    }
    return out;
}

bool ToUtf16(const std::string& bytes, uint32_t id, bool strict, std::u16string* out) {
    const CodePageTable* table = TableOf(id);
    out->clear();
    for (size_t at = 0; at < bytes.size();) {
        size_t length;
        uint32_t c = CharAt(table, bytes, at, &length);
        if (!length) {
            if (strict) return false;
            c = static_cast<unsigned char>(bytes[at]);
            length = 1;
        }
        out->push_back(static_cast<char16_t>(c));
        at += length;
    }
    return true;
}

std::string FromUtf16(const std::u16string& chars, uint32_t id, char fallback, bool* defaulted) {
    const CodePageTable* table = TableOf(id);
    std::string out;
    for (char16_t c : chars) {
        if (c < 0x80) {
            out += static_cast<char>(c);
            continue;
        }
        uint16_t code = 0;
        if (table) {
            const auto& reverse = ReverseOf(*table);
            auto it = reverse.find(c);
            if (it != reverse.end()) code = it->second;
        }
        if (!code) {
            out += fallback;
            *defaulted = true;
            continue;
        }
        if (code > 0xFF) out += static_cast<char>(code >> 8);
        out += static_cast<char>(code & 0xFF);
    }
    return out;
}

namespace {

// The upper case of a character above U+007F, or the character itself.
uint32_t UpperOf(uint32_t c) {
    const uint16_t(*end)[2] = kUpperCase + kUpperCaseCount;
    auto it = std::lower_bound(kUpperCase, end, c,
                               [](const uint16_t(&pair)[2], uint32_t v) { return pair[0] < v; });
    return it != end && (*it)[0] == c ? (*it)[1] : c;
}

// Appends the code of `c` in the table, single or double byte; false when
// the code page has none.
bool AppendCode(std::string& out, const CodePageTable& table, uint32_t c) {
    const auto& reverse = ReverseOf(table);
    auto it = reverse.find(c);
    if (it == reverse.end()) return false;
    if (it->second > 0xFF) out += static_cast<char>(it->second >> 8);
    out += static_cast<char>(it->second & 0xFF);
    return true;
}

}  // namespace

std::string UpperCase(const std::string& bytes, uint32_t id, bool nt) {
    const CodePageTable* table = id == 1252 ? Table1252() : TableOf(id);
    std::string out;
    out.reserve(bytes.size());
    for (size_t at = 0; at < bytes.size();) {
        unsigned char b = static_cast<unsigned char>(bytes[at]);
        if (b < 0x80 || !table) {
            out += static_cast<char>(b >= 'a' && b <= 'z' ? b - 'a' + 'A' : b);
            ++at;
            continue;
        }
        // A lead byte takes the byte after it (NUL aside) whether or not
        // the pair stands for a character, as the names are stepped through
        // elsewhere (CharLength in machine.h): a trail byte is never folded
        // as a letter of its own.
        bool pair = IsLead(*table, b) && at + 1 < bytes.size() && bytes[at + 1] != '\0';
        size_t length = pair ? 2 : 1;
        uint32_t c = pair ? PairChar(*table, b, static_cast<unsigned char>(bytes[at + 1]))
                     : IsLead(*table, b) ? 0
                                         : table->high[b - 0x80];
        bool folds = !pair || nt;
        if (!(c && folds && AppendCode(out, *table, UpperOf(c)))) out.append(bytes, at, length);
        at += length;
    }
    return out;
}

bool IsLeadByte(uint32_t id, unsigned char byte) {
    const CodePageTable* table = TableOf(id);
    return table && IsLead(*table, byte);
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
    for (size_t at = 0; at < bytes.size();) {
        unsigned char b = static_cast<unsigned char>(bytes[at]);
        if (b >= 0x20 && b < 0x7F) {
            out += static_cast<char>(b);
            ++at;
            continue;
        }
        if (id == kUtf8 && b >= 0x80) {
            size_t next = at;
            uint32_t c = 0;
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
            at = next;
            continue;
        }
        size_t length;
        uint32_t c = CharAt(table, bytes, at, &length);
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else if (length && c == 0)
            out += "\\0";
        else if (!length || c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0)) {
            snprintf(hex, sizeof hex, "\\x%02X", b);
            out += hex;
        } else {
            AppendUtf8(out, c);
        }
        at += length ? length : 1;
    }
}

}  // namespace sim
