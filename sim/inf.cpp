#include "sim/inf.h"

#include <algorithm>
#include <cstdlib>
#include <tuple>

#include "host/host.h"
#include "sim/codepage.h"

namespace sim {

namespace {

// Windows' limits (General Syntax Rules for INF Files, INF Strings Section):
// a field before and a string after substitution hold 4096 characters with
// the terminating NUL, a section name 255, and a [Strings] value 512 with
// the NUL on Windows 2000 and XP.
constexpr size_t kMaxField = 4095;
constexpr size_t kMaxSectionName = 255;
constexpr size_t kMaxNtString = 511;
// The problems kept of one file; a hostile file may have one on every line.
constexpr size_t kMaxProblems = 200;
// The sections, entries and values read of one file: a hostile file of
// short lines would otherwise cost memory many times its size. An INF of
// 10,000 models and 100,000 lines holds about 300,000.
constexpr size_t kMaxItems = 1000000;
// The sections of one file, of which each costs far more than an entry. An
// INF has a few hundred.
constexpr size_t kMaxSections = 100000;
// ERROR_CANCELLED: the user closed Windows' prompt for a file it needs.
constexpr uint32_t kErrorCancelled = 1223;

std::string Trim(const std::string& s) {
    size_t begin = s.find_first_not_of(" \t");
    if (begin == std::string::npos) return "";
    size_t end = s.find_last_not_of(" \t");
    return s.substr(begin, end - begin + 1);
}

std::string Hex(uint32_t value, int digits) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (int i = digits - 1; i >= 0; --i) out += kDigits[(value >> (4 * i)) & 0xF];
    return out;
}

// A text of the file quoted in a problem: visible, and cut after 80 bytes.
std::string Shown(const std::string& s, uint32_t codepage) {
    return s.size() <= 80 ? Visible(s, codepage) : Visible(s.substr(0, 80), codepage) + "...";
}

bool StartsNoCase(const std::string& s, const std::string& prefix) {
    return s.size() >= prefix.size() && EqualNoCase(s.substr(0, prefix.size()), prefix);
}

// Steps through a text of the code page by characters: a lead byte and its
// trail byte are one character, so a trail byte (which may be the byte of
// '\', '=' or ']') is never read as one of the INF's own characters.
class Chars {
   public:
    Chars(const std::string& s, uint32_t codepage) : s_(s), codepage_(codepage) {}
    size_t Next(size_t at) const {
        bool pair = at + 1 < s_.size() && IsLeadByte(codepage_, static_cast<unsigned char>(s_[at]));
        return at + (pair ? 2 : 1);
    }
    // The offset of the next `c` from `at` (a character boundary), or npos.
    size_t Find(char c, size_t at) const {
        for (; at < s_.size(); at = Next(at))
            if (s_[at] == c) return at;
        return std::string::npos;
    }

   private:
    const std::string& s_;
    uint32_t codepage_;
};

}  // namespace

std::string InfProblem::Describe() const {
    return file + (line ? ":" + std::to_string(line) : "") + ": " + text;
}

InfTarget TargetOf(const Machine& m) {
    InfTarget t;
    t.nt = m.os.platform == 2;
    t.major = m.os.major;
    t.minor = m.os.minor;
    return t;
}

// Reads the file's lines into sections, then substitutes strings. One
// parser per file; it writes into the Inf it is given.
class Inf::Parser {
   public:
    Parser(Inf& inf, uint32_t codepage, uint32_t locale)
        : inf_(inf), codepage_(codepage), locale_(locale) {}

    void Problem(size_t line, const std::string& text, bool error = true) {
        if (inf_.problems_.size() == kMaxProblems) {
            inf_.problems_.push_back(
                {inf_.file_, 0, "more problems than these; the rest are not listed", true});
        }
        if (inf_.problems_.size() > kMaxProblems) return;
        inf_.problems_.push_back({inf_.file_, line, text, error});
    }

    // The file's text in the code page: a UTF-16 LE file with its byte-order
    // mark converted; nullopt when the file cannot be read as text at all.
    std::optional<std::string> Decode(const Bytes& data, bool nt) {
        if (data.size() > kMaxFileSize) {
            Problem(0, "a file of " + std::to_string(data.size()) +
                           " bytes; the simulator reads INF files of at most " +
                           std::to_string(kMaxFileSize) + " bytes");
            return std::nullopt;
        }
        if (data.size() < 2 || data[0] != '\xFF' || data[1] != '\xFE') return data;
        if (!nt) {
            Problem(
                0,
                "a UTF-16 file (it begins with a byte-order mark), which Windows 9x does not read");
            return std::nullopt;
        }
        if (data.size() % 2) {
            Problem(0, "a UTF-16 file of an odd number of bytes");
            return std::nullopt;
        }
        std::u16string chars;
        chars.reserve(data.size() / 2 - 1);
        for (size_t i = 2; i + 1 < data.size(); i += 2)
            chars.push_back(static_cast<char16_t>(static_cast<unsigned char>(data[i]) |
                                                  static_cast<unsigned char>(data[i + 1]) << 8));
        bool defaulted = false;
        std::string text = FromUtf16(chars, codepage_, '?', &defaulted);
        if (defaulted)
            Problem(0,
                    "characters code page " + std::to_string(codepage_) +
                        " has no code for are read as '?'",
                    false);
        return text;
    }

    void ReadLines(const std::string& text) {
        size_t end_of_text = std::min(text.find('\x1A'), text.size());  // Ctrl-Z ends the file
        std::string logical;
        size_t logical_line = 0, number = 0;
        for (size_t at = 0; at < end_of_text && items_ <= kMaxItems;) {
            size_t nl = std::min(text.find('\n', at), end_of_text);
            std::string physical = text.substr(at, nl - at);
            at = nl + 1;
            ++number;
            if (!physical.empty() && physical.back() == '\r') physical.pop_back();
            if (!IsText(physical, number)) physical.clear();
            bool continues = false;
            std::string content = Content(physical, number, &continues);
            if (logical.empty() && !logical_line) logical_line = number;
            logical += content;
            if (continues) continue;
            Logical(logical, logical_line);
            logical.clear();
            logical_line = 0;
        }
        if (logical_line) Logical(logical, logical_line);
    }

    void Finish() {
        ChooseStrings();
        for (Section& section : inf_.sections_) {
            if (IsStringsName(section.name)) continue;
            for (Entry& e : section.entries) {
                if (e.has_key) e.key = Cook(e.key, e.line);
                for (std::string& f : e.fields) f = Cook(f, e.line);
            }
            if (StartsNoCase(section.name, "SourceDisks")) {
                auto& keys = inf_.keys_[&section - inf_.sections_.data()];
                for (size_t i = 0; i < section.entries.size(); ++i)
                    if (section.entries[i].has_key) keys.emplace(Upper(section.entries[i].key), i);
            }
        }
        CheckVersion();
    }

   private:
    // Whether the physical line is text in the code page: every byte a
    // character there, no control character but the tab.
    bool IsText(const std::string& line, size_t number) {
        // Most lines are printable ASCII, which every code page holds.
        if (std::all_of(line.begin(), line.end(),
                        [](char c) { return (c >= 0x20 && c < 0x7F) || c == '\t'; }))
            return true;
        std::u16string chars;
        bool ok = ToUtf16(line, codepage_, true, &chars);
        for (char16_t c : chars)
            if (c < 0x20 && c != '\t') ok = false;
        if (!ok)
            Problem(number, "bytes that are not text in code page " + std::to_string(codepage_) +
                                ": " + Shown(line, codepage_));
        return ok;
    }

    // The line without its comment; *continues when it ends in a '\'
    // outside quotes, which joins the next line to it (the '\' removed).
    std::string Content(const std::string& line, size_t number, bool* continues) {
        Chars chars(line, codepage_);
        bool quoted = false;
        size_t end = line.size(), last = std::string::npos;  // the last character outside blanks
        for (size_t at = 0; at < line.size(); at = chars.Next(at)) {
            char c = line[at];
            if (c == '"') quoted = !quoted;
            if (!quoted && c == ';') {
                end = at;
                break;
            }
            if (!quoted && c == '%') {
                // A %strkey% token: a ';' in it is no comment.
                size_t close = chars.Find('%', chars.Next(at));
                if (close != std::string::npos) {
                    last = close;
                    at = close;
                    continue;
                }
            }
            if (c != ' ' && c != '\t') last = at;
        }
        if (quoted) Problem(number, "a quoted string that the line does not close");
        *continues = !quoted && last != std::string::npos && line[last] == '\\' && last < end;
        if (*continues) return line.substr(0, last);
        return line.substr(0, end);
    }

    static bool IsStringsName(const std::string& name) {
        return EqualNoCase(name, "Strings") || StartsNoCase(name, "Strings.");
    }

    void Logical(const std::string& line, size_t number) {
        std::string text = Trim(line);
        if (text.empty()) return;
        if (!Count(1, number)) return;
        if (text[0] == '[') return Header(text, number);
        if (!current_)
            return Problem(number, "a line outside any section; Windows expects a [section] first");
        Entry e;
        e.line = number;
        Split(text, IsStringsName(current_->name), kMaxItems - items_ + 1, &e);
        if (!Count(e.fields.size(), number)) return;
        for (const std::string& f : e.fields)
            if (f.size() > kMaxField)
                Problem(number, "a field of " + std::to_string(f.size()) +
                                    " characters; Windows reads fields of at most 4095");
        current_->entries.push_back(std::move(e));
    }

    // Counts items read; false, with an error, once there are too many.
    bool Count(size_t items, size_t number) {
        items_ += items;
        if (items_ <= kMaxItems) return true;
        Problem(number, "more than " + std::to_string(kMaxItems) +
                            " sections, entries and values; the simulator reads no further");
        return false;
    }

    void Header(const std::string& text, size_t number) {
        size_t close = Chars(text, codepage_).Find(']', 1);
        if (close == std::string::npos) {
            current_ = nullptr;
            return Problem(number, "a section name without its closing ']'");
        }
        std::string name = Trim(text.substr(1, close - 1));
        if (name.size() > kMaxSectionName) {
            current_ = nullptr;
            return Problem(number, "a section name of " + std::to_string(name.size()) +
                                       " characters; Windows holds at most 255");
        }
        if (inf_.sections_.size() == kMaxSections && !inf_.index_.count(Upper(name))) {
            current_ = nullptr;
            items_ = kMaxItems + 1;  // nothing more is read
            return Problem(number, "more than " + std::to_string(kMaxSections) +
                                       " sections; the simulator reads no further");
        }
        auto [it, fresh] = inf_.index_.emplace(Upper(name), inf_.sections_.size());
        if (fresh) {
            inf_.sections_.push_back({name, number, {}});
        } else {
            const Section& first = inf_.sections_[it->second];
            Problem(number,
                    "section [" + Shown(name, codepage_) + "] is named again (first at line " +
                        std::to_string(first.line) + "); Windows merges the two",
                    false);
        }
        current_ = &inf_.sections_[it->second];
    }

    // Splits an entry at its first '=' and its commas outside quotes and
    // %strkey% tokens. A [Strings] value is one field, commas and all. At
    // most `limit` fields are read.
    void Split(const std::string& text, bool whole_value, size_t limit, Entry* e) {
        Chars chars(text, codepage_);
        bool quoted = false;
        size_t start = 0;
        for (size_t at = 0; at < text.size(); at = chars.Next(at)) {
            char c = text[at];
            if (c == '"') quoted = !quoted;
            if (quoted) continue;
            if (c == '%') {
                size_t close = chars.Find('%', chars.Next(at));
                if (close != std::string::npos) at = close;
            } else if (c == '=' && !e->has_key && e->fields.empty()) {
                e->has_key = true;
                e->key = Trim(text.substr(0, at));
                start = at + 1;
            } else if (c == ',' && !(whole_value && e->has_key)) {
                e->fields.push_back(Trim(text.substr(start, at - start)));
                start = at + 1;
                if (e->fields.size() >= limit) return;
            }
        }
        e->fields.push_back(Trim(text.substr(start)));
    }

    // The [Strings] section for the locale (INF Strings Section): the exact
    // language, then its neutral sublanguage, then any of its sublanguages,
    // then the undecorated one.
    void ChooseStrings() {
        uint32_t language = locale_ & 0xFFFF, primary = language & 0x3FF;
        const Section* chosen = nullptr;
        int best = 0;
        for (const Section& s : inf_.sections_) {
            if (!IsStringsName(s.name)) continue;
            int score = 1;
            if (s.name.size() > 8) {
                char* end = nullptr;
                std::string digits = s.name.substr(8);
                uint32_t id = static_cast<uint32_t>(strtoul(digits.c_str(), &end, 16));
                bool number = !digits.empty() && *end == '\0';
                score = !number                   ? 0
                        : id == language          ? 4
                        : id == primary           ? 3
                        : (id & 0x3FF) == primary ? 2
                                                  : 0;
            }
            if (score > best) best = score, chosen = &s;
        }
        if (!chosen) return;
        for (const Entry& e : chosen->entries) {
            std::string value = Cook(e.fields.empty() ? "" : e.fields[0], e.line, false);
            if (value.size() > kMaxNtString)
                Problem(e.line,
                        "a string of " + std::to_string(value.size()) +
                            " characters; Windows 2000 and XP hold 511 of it",
                        false);
            auto [it, fresh] =
                strings_.emplace(Upper(Cook(e.key, e.line, false)), std::move(value));
            if (!fresh)
                Problem(e.line,
                        "string key " + Shown(e.key, codepage_) +
                            " is defined again; the first is used",
                        false);
        }
    }

    // A field as Windows uses it: quotes removed ("" inside quotes is a
    // quote), %strkey% replaced from [Strings], %% a percent sign. A number
    // between percent signs (%12%) is a directory id, kept as written. A
    // [Strings] key or value is read without `substitute`: quotes only.
    std::string Cook(const std::string& raw, size_t line, bool substitute = true) {
        if (raw.find_first_of(substitute ? "\"%" : "\"") == std::string::npos) return raw;
        std::string out;
        Chars chars(raw, codepage_);
        bool quoted = false;
        for (size_t at = 0; at < raw.size();) {
            size_t next = chars.Next(at);
            char c = raw[at];
            if (c == '"') {
                if (quoted && next < raw.size() && raw[next] == '"') {
                    out += '"';
                    next += 1;
                } else {
                    quoted = !quoted;
                }
            } else if (c == '%' && substitute) {
                next = Token(raw, next, line, &out);
            } else {
                out.append(raw, at, next - at);
            }
            at = next;
        }
        if (substitute && out.size() > kMaxField)
            Problem(line, "a string of " + std::to_string(out.size()) +
                              " characters after substitution; Windows holds at most 4095");
        return out;
    }

    // The token after the '%' at from - 1; returns where the text goes on.
    size_t Token(const std::string& raw, size_t from, size_t line, std::string* out) {
        size_t close = Chars(raw, codepage_).Find('%', from);
        if (close == std::string::npos) {
            *out += '%';
            return from;
        }
        std::string key = raw.substr(from, close - from);
        if (key.empty()) {
            *out += '%';
        } else if (auto it = strings_.find(Upper(key)); it != strings_.end()) {
            *out += it->second;
        } else if (key.find_first_not_of("0123456789") == std::string::npos) {
            *out += "%" + key + "%";
        } else {
            Problem(line, "string key %" + Shown(key, codepage_) +
                              "% is in no [Strings] section read here");
            *out += "%" + key + "%";
        }
        return close + 1;
    }

    void CheckVersion() {
        const Section* version = inf_.Find("Version");
        if (!version) {
            inf_.wrong_style_ = true;
            return Problem(0, "no [Version] section");
        }
        const Entry* signature = inf_.VersionEntry("Signature");
        if (!signature) {
            inf_.wrong_style_ = true;
            return Problem(version->line, "[Version] has no Signature");
        }
        std::string value = signature->fields.empty() ? "" : signature->fields[0];
        static const char* const kKnown[] = {"$Windows NT$", "$Chicago$", "$Windows 95$"};
        for (const char* known : kKnown)
            if (EqualNoCase(value, known)) return;
        inf_.wrong_style_ = true;
        Problem(signature->line,
                "signature \"" + Shown(value, codepage_) +
                    "\" is none Windows accepts ($Windows NT$, $Chicago$, $Windows 95$)");
    }

    Inf& inf_;
    uint32_t codepage_, locale_;
    Section* current_ = nullptr;
    size_t items_ = 0;
    std::unordered_map<std::string, std::string> strings_;  // Upper(key) -> value
};

Inf Inf::Read(const Bytes& data, const std::string& file, uint32_t codepage, uint32_t locale,
              bool nt) {
    Inf inf;
    inf.file_ = file;
    Parser parser(inf, codepage, locale);
    std::optional<std::string> text = parser.Decode(data, nt);
    if (!text) return inf;
    parser.ReadLines(*text);
    parser.Finish();
    return inf;
}

bool Inf::Parsed() const { return FirstError() == nullptr; }

const InfProblem* Inf::FirstError() const {
    for (const InfProblem& p : problems_)
        if (p.error) return &p;
    return nullptr;
}

const Inf::Section* Inf::Find(const std::string& name) const {
    auto it = index_.find(Upper(name));
    return it == index_.end() ? nullptr : &sections_[it->second];
}

const Inf::Section* Inf::FindFirst(const std::vector<std::string>& names) const {
    for (const std::string& name : names)
        if (const Section* s = Find(name)) return s;
    return nullptr;
}

const Inf::Entry* Inf::VersionEntry(const std::string& key) const {
    const Section* version = Find("Version");
    if (!version) return nullptr;
    for (const Entry& e : version->entries)
        if (e.has_key && EqualNoCase(e.key, key)) return &e;
    return nullptr;
}

std::string Inf::Version(const std::string& key) const {
    const Entry* e = VersionEntry(key);
    if (!e) return "";
    std::string value;
    for (size_t i = 0; i < e->fields.size(); ++i) value += (i ? "," : "") + e->fields[i];
    return value;
}

bool Inf::ReadBy(const InfTarget& target) const {
    if (wrong_style_) return false;
    std::string signature = Version("Signature");
    if (EqualNoCase(signature, "$Chicago$")) return true;
    return EqualNoCase(signature, target.nt ? "$Windows NT$" : "$Windows 95$");
}

std::optional<InfNamed> Inf::Catalog(const InfTarget& target) const {
    std::vector<std::string> keys = {"CatalogFile"};
    if (target.nt) keys = {"CatalogFile.NTx86", "CatalogFile.NT", "CatalogFile"};
    for (const std::string& key : keys)
        if (const Entry* e = VersionEntry(key))
            return InfNamed{e->fields.empty() ? "" : e->fields[0], e->line};
    return std::nullopt;
}

namespace {

// How well a TargetOSVersion decoration (INF Manufacturer Section:
// nt[Architecture][.[OSMajorVersion][.[OSMinorVersion][.[ProductType][.SuiteMask]]]])
// fits the target: nullopt when it does not apply; else a key, larger for
// a closer fit (the higher version first, then product type or suite
// given, then the architecture given).
using Fit = std::tuple<uint32_t, uint32_t, int, int>;
std::optional<Fit> DecorationFit(const std::string& decoration, const InfTarget& target) {
    std::vector<std::string> parts;
    for (size_t start = 0;;) {
        size_t dot = decoration.find('.', start);
        parts.push_back(decoration.substr(start, dot == std::string::npos ? dot : dot - start));
        if (dot == std::string::npos || parts.size() > 5) break;
        start = dot + 1;
    }
    if (parts.size() > 5 || !StartsNoCase(parts[0], "NT")) return std::nullopt;
    std::string arch = parts[0].substr(2);
    if (!arch.empty() && !EqualNoCase(arch, "x86")) return std::nullopt;
    auto number = [&](size_t i, uint32_t* value) {
        if (i >= parts.size() || parts[i].empty()) return false;
        char* end = nullptr;
        *value = static_cast<uint32_t>(strtoul(parts[i].c_str(), &end, 0));
        return true;
    };
    uint32_t major = 0, minor = 0, type = 0, suite = 0;
    number(1, &major);
    number(2, &minor);
    if (std::make_pair(major, minor) > std::make_pair(target.major, target.minor))
        return std::nullopt;
    bool typed = number(3, &type), suited = number(4, &suite);
    if (typed && type != target.product_type) return std::nullopt;
    if (suited && (target.suite_mask & suite) != suite) return std::nullopt;
    return Fit{major, minor, typed || suited, !arch.empty()};
}

}  // namespace

// Windows 2000 and the 9x family read the undecorated models section;
// TargetOSVersion decorations came with XP, which takes the closest fitting
// one and the undecorated section when none fits.
std::string Inf::ModelsSectionFor(const Entry& manufacturer, const InfTarget& target) const {
    const std::vector<std::string>& f = manufacturer.fields;
    std::string base = f.empty() ? "" : f[0];
    if (!target.nt || std::make_pair(target.major, target.minor) < std::make_pair(5u, 1u))
        return base;
    std::optional<Fit> best;
    std::string chosen = base;
    for (size_t i = 1; i < f.size(); ++i) {
        std::optional<Fit> fit = DecorationFit(f[i], target);
        if (fit && (!best || *fit > *best)) {
            best = fit;
            chosen = base + "." + f[i];
        }
    }
    return chosen;
}

std::vector<InfNamed> Inf::ModelsSections(const InfTarget& target) const {
    std::vector<InfNamed> out;
    if (const Section* m = Find("Manufacturer"))
        for (const Entry& e : m->entries)
            if (!e.fields.empty() && !e.fields[0].empty())
                out.push_back({ModelsSectionFor(e, target), e.line});
    return out;
}

namespace {

// The device's IDs by upper-case text: their list (0 hardware, 1
// compatible) and position.
struct DeviceIdIndex {
    std::unordered_map<std::string, std::pair<int, uint32_t>> ids;
    DeviceIdIndex(const std::vector<std::string>& hardware,
                  const std::vector<std::string>& compatible) {
        for (size_t i = 0; i < hardware.size(); ++i)
            ids.emplace(Upper(hardware[i]), std::make_pair(0, i));
        for (size_t i = 0; i < compatible.size(); ++i)
            ids.emplace(Upper(compatible[i]), std::make_pair(1, i));
    }
    // The identifier score of a match with an INF ID (How Windows Ranks
    // Drivers: hardware-hardware 0x0000, hardware-compatible 0x1000,
    // compatible-hardware 0x2000, compatible-compatible 0x3000, plus the
    // device ID's position), or nullopt.
    std::optional<uint32_t> Score(const std::string& inf_id, bool inf_compatible) const {
        auto it = ids.find(Upper(inf_id));
        if (it == ids.end()) return std::nullopt;
        uint32_t type = (it->second.first ? 0x2000u : 0u) + (inf_compatible ? 0x1000u : 0u);
        return type + std::min<uint32_t>(it->second.second, 0xFFF);
    }
};

}  // namespace

std::optional<InfModel> Inf::Choose(const std::vector<std::string>& hardware_ids,
                                    const std::vector<std::string>& compatible_ids,
                                    const InfTarget& target) const {
    DeviceIdIndex device(hardware_ids, compatible_ids);
    std::optional<InfModel> best;
    const Section* manufacturers = Find("Manufacturer");
    if (!manufacturers) return best;
    for (const Entry& m : manufacturers->entries) {
        if (m.fields.empty()) continue;
        std::string name = ModelsSectionFor(m, target);
        const Section* models = Find(name);
        if (!models) continue;
        for (const Entry& e : models->entries) {
            for (size_t i = 1; i < e.fields.size(); ++i) {
                if (e.fields[i].empty()) continue;
                std::optional<uint32_t> score = device.Score(e.fields[i], i > 1);
                if (!score || (best && best->rank <= *score)) continue;
                best = InfModel{m.has_key ? m.key : m.fields[0],
                                name,
                                e.key,
                                e.fields[0],
                                e.fields[i],
                                e.line,
                                *score};
            }
        }
    }
    return best;
}

std::vector<InfNamed> Inf::Copies(const InfModel& model, const InfTarget& target) const {
    std::vector<std::string> names = {model.install};
    if (target.nt) names = {model.install + ".NTx86", model.install + ".NT", model.install};
    std::vector<InfNamed> out;
    const Section* install = FindFirst(names);
    if (!install) return out;
    for (const Entry& e : install->entries) {
        if (!e.has_key || !EqualNoCase(e.key, "CopyFiles")) continue;
        for (const std::string& f : e.fields) {
            if (f.empty()) continue;
            if (f[0] == '@') {
                out.push_back({f.substr(1), e.line});
                continue;
            }
            const Section* list = Find(f);
            if (!list) continue;
            // destination-file-name[,source-file-name[,temporary-file-name[,flag]]]
            for (const Entry& file : list->entries) {
                const std::string& source = file.fields.size() > 1 && !file.fields[1].empty()
                                                ? file.fields[1]
                                                : file.fields[0];
                if (!file.has_key && !source.empty()) out.push_back({source, file.line});
            }
        }
    }
    return out;
}

const Inf::Entry* Inf::KeyIn(const std::vector<std::string>& sections,
                             const std::string& key) const {
    for (const std::string& name : sections) {
        auto section = index_.find(Upper(name));
        if (section == index_.end()) continue;
        auto keys = keys_.find(section->second);
        if (keys == keys_.end()) continue;
        auto it = keys->second.find(Upper(key));
        if (it != keys->second.end()) return &sections_[section->second].entries[it->second];
    }
    return nullptr;
}

InfNamed Inf::SourceFolder(const std::string& file, const InfTarget& target) const {
    auto decorated = [&](const std::string& base) {
        return target.nt ? std::vector<std::string>{base + ".x86", base}
                         : std::vector<std::string>{base};
    };
    auto strip = [](std::string path) {
        path.erase(0, path.find_first_not_of('\\'));
        while (!path.empty() && path.back() == '\\') path.pop_back();
        return path;
    };
    // filename=diskid[,[subdir][,size]]; diskid=description[,[tagfile][,unused,path]]
    const Entry* e = KeyIn(decorated("SourceDisksFiles"), file);
    if (!e) return {"", 0};
    const Entry* disk =
        e->fields.empty() ? nullptr : KeyIn(decorated("SourceDisksNames"), e->fields[0]);
    std::string path = disk && disk->fields.size() > 3 ? strip(disk->fields[3]) : "";
    std::string subdir = e->fields.size() > 1 ? strip(e->fields[1]) : "";
    return {path + (!path.empty() && !subdir.empty() ? "\\" : "") + subdir, e->line};
}

std::vector<std::string> PciCompatibleIds(const std::vector<std::string>& hardware_ids) {
    std::string ven, dev, rev, cc;
    for (const std::string& id : hardware_ids) {
        if (!StartsNoCase(id, "PCI\\")) continue;
        for (size_t start = 4; start <= id.size();) {
            size_t amp = std::min(id.find('&', start), id.size());
            std::string part = id.substr(start, amp - start);
            if (StartsNoCase(part, "VEN_") && ven.empty()) ven = part;
            if (StartsNoCase(part, "DEV_") && dev.empty()) dev = part;
            if (StartsNoCase(part, "REV_") && rev.empty()) rev = part;
            if (StartsNoCase(part, "CC_") && part.size() > cc.size()) cc = part;
            start = amp + 1;
        }
    }
    // The forms of Identifiers for PCI Devices, most specific first.
    std::vector<std::string> forms;
    if (!ven.empty() && !dev.empty()) {
        if (!rev.empty()) forms.push_back("PCI\\" + ven + "&" + dev + "&" + rev);
        forms.push_back("PCI\\" + ven + "&" + dev);
    }
    std::string cc4 = cc.size() > 7 ? cc.substr(0, 7) : "";
    if (!ven.empty()) {
        if (!cc.empty()) forms.push_back("PCI\\" + ven + "&" + cc);
        if (!cc4.empty()) forms.push_back("PCI\\" + ven + "&" + cc4);
        forms.push_back("PCI\\" + ven);
    }
    if (!cc.empty()) forms.push_back("PCI\\" + cc);
    if (!cc4.empty()) forms.push_back("PCI\\" + cc4);
    std::vector<std::string> out;
    for (const std::string& f : forms) {
        bool listed = false;
        for (const std::string& id : hardware_ids) listed = listed || EqualNoCase(id, f);
        if (!listed) out.push_back(f);
    }
    return out;
}

DeviceIds PciIdsOfEnumKey(const std::string& key_name) {
    DeviceIds ids;
    ids.hardware.push_back("PCI\\" + key_name);
    size_t subsys = Upper(key_name).find("&SUBSYS_");
    if (subsys != std::string::npos) {
        size_t end = key_name.find('&', subsys + 1);
        if (end != std::string::npos) ids.hardware.push_back("PCI\\" + key_name.substr(0, end));
    }
    ids.compatible = PciCompatibleIds(ids.hardware);
    return ids;
}

std::vector<std::string> HardwareIdsOf(const Device& device) {
    std::vector<std::string> out;
    if (!device.hardware_ids) return out;
    const Bytes& ids = *device.hardware_ids;
    for (size_t at = 0; at < ids.size() && ids[at];) {
        size_t end = std::min(ids.find('\0', at), ids.size());
        out.push_back(ids.substr(at, end - at));
        at = end + 1;
    }
    return out;
}

bool ListsHardwareId(const Device& device, const std::string& hardware_id) {
    if (!device.present) return false;
    for (const std::string& id : HardwareIdsOf(device))
        if (EqualNoCase(id, hardware_id)) return true;
    return false;
}

namespace {

std::string Shown(const Machine& m, const std::string& s) { return Visible(s, m.codepage); }

// The INF at `path` on `m` read as `target` reads it; nullopt with
// *prediction set when it cannot be opened or was not captured.
std::optional<Inf> OpenInf(const Machine& m, const std::string& path, const InfTarget& target,
                           UpdatePrediction* prediction) {
    const FileSystem::Node* node = path.empty() ? nullptr : m.files.Find(path);
    if (!node || node->dir || node->open_error) {
        prediction->kind = UpdatePrediction::kFails;
        prediction->error = !node       ? ERROR_FILE_NOT_FOUND
                            : node->dir ? ERROR_ACCESS_DENIED
                                        : node->open_error;
        prediction->why = !node       ? "no file " + Shown(m, path)
                          : node->dir ? Shown(m, path) + " is a folder"
                                      : Shown(m, path) + " cannot be opened";
        return std::nullopt;
    }
    if (node->data.placeholder()) {
        prediction->kind = UpdatePrediction::kUnpredictable;
        prediction->why = Shown(m, path) + " is known only by its size and CRC (INF not captured)";
        return std::nullopt;
    }
    return Inf::Read(node->data.Read(), Shown(m, path), m.codepage, m.locale, target.nt);
}

void Fail(UpdatePrediction* p, uint32_t error, std::string why) {
    p->kind = UpdatePrediction::kFails;
    p->error = error;
    p->why = std::move(why);
}

// Whether the folder holds a file of that name (a plain name: one with a
// backslash names no file of the folder itself).
bool Present(const FileSystem::Node* folder, const std::string& name) {
    if (!folder || !folder->dir || FindBackslash(name) != std::string::npos) return false;
    auto child = folder->children.find(Upper(name));
    return child != folder->children.end() && !child->second->dir;
}

// The first file the model copies that is not in the package (the INF's
// folder and the [SourceDisksFiles] folders below it), if any. Each folder
// is looked up once: an INF may copy many files.
std::optional<std::string> MissingFile(const Machine& m, const Inf& inf,
                                       const std::string& inf_path, const InfModel& model,
                                       const InfTarget& target) {
    std::string root = FileSystem::Parent(inf_path);
    std::unordered_map<std::string, const FileSystem::Node*> folders;
    for (const InfNamed& copy : inf.Copies(model, target)) {
        std::string sub = inf.SourceFolder(copy.name, target).name;
        auto [it, fresh] = folders.emplace(sub, nullptr);
        std::string folder = sub.empty() ? root : FileSystem::Absolute(sub, root);
        if (fresh && !folder.empty() && PathWithin(folder, root)) it->second = m.files.Find(folder);
        if (Present(it->second, copy.name)) continue;
        std::string shown = folder.empty() ? sub + "\\" + copy.name : folder + "\\" + copy.name;
        return Shown(m, inf_path) + ":" + std::to_string(copy.line) + " copies " +
               Shown(m, copy.name) + ", which is not in the package (" + Shown(m, shown) + ")";
    }
    return std::nullopt;
}

std::string IdList(const Machine& m, const std::vector<std::string>& ids) {
    std::string out;
    for (const std::string& id : ids) out += (out.empty() ? "" : ", ") + Shown(m, id);
    return out;
}

std::string RankText(const InfModel& model) {
    return std::string(model.rank >= 0x2000 ? "compatible ID" : "hardware ID") + ", rank 0x" +
           Hex(model.rank, 4);
}

}  // namespace

UpdatePrediction PredictUpdate(const Machine& m, const std::string& path,
                               const std::string& hardware_id) {
    TextCodePageScope scope(m.codepage);
    UpdatePrediction p;
    InfTarget target = TargetOf(m);
    std::optional<Inf> inf = OpenInf(m, path, target, &p);
    if (!inf) return p;
    p.problems = inf->Problems();
    if (const InfProblem* error = inf->FirstError()) {
        Fail(&p, inf->WrongStyle() ? kErrorWrongInfStyle : kErrorGeneralSyntax, error->Describe());
        return p;
    }
    if (!inf->ReadBy(target)) {
        Fail(&p, kErrorWrongInfStyle,
             Shown(m, path) + ": signature \"" + Shown(m, inf->Version("Signature")) +
                 "\" is not one Windows NT reads");
        return p;
    }
    std::vector<std::string> tried;
    for (const Device& d : m.devices) {
        if (!ListsHardwareId(d, hardware_id)) continue;
        std::vector<std::string> hardware = HardwareIdsOf(d);
        std::vector<std::string> compatible = PciCompatibleIds(hardware);
        if (std::optional<InfModel> model = inf->Choose(hardware, compatible, target)) {
            if (std::optional<std::string> missing = MissingFile(m, *inf, path, *model, target)) {
                Fail(&p, kErrorCancelled,
                     *missing + ": Windows asks for it; the prediction takes Cancel");
                return p;
            }
            p.why = Shown(m, model->id) + " (" + RankText(*model) + ") at " + Shown(m, path) + ":" +
                    std::to_string(model->line) + ", model " + Shown(m, model->description);
            p.model = std::move(model);
            return p;
        }
        tried = hardware;
        tried.insert(tried.end(), compatible.begin(), compatible.end());
    }
    if (tried.empty()) {
        Fail(&p, kErrorNoSuchDevinst,
             "no present device has the hardware ID " + Shown(m, hardware_id));
        return p;
    }
    std::string sections;
    for (const InfNamed& s : inf->ModelsSections(target))
        sections += (sections.empty() ? "" : ", ") + Shown(m, s.name) + " (line " +
                    std::to_string(s.line) + ")";
    Fail(&p, kErrorNoCompatDrivers,
         "no model of " + Shown(m, path) + " for Windows " + std::to_string(target.major) + "." +
             std::to_string(target.minor) + " (models sections: " +
             (sections.empty() ? "none" : sections) + ") lists any of " + IdList(m, tried));
    return p;
}

namespace {

// The folders Windows 9x searches for a driver: the INF directory, then
// each folder of OtherDevicePath, each once.
std::vector<std::string> SearchFolders(const Machine& m) {
    std::vector<std::string> out = {FileSystem::Absolute(m.windows_dir + "\\INF", "C:\\")};
    RegKey* key = FindKeyPath(m.hklm.get(), "SOFTWARE\\Microsoft\\Windows\\CurrentVersion");
    RegValue* other = key ? key->Value("OtherDevicePath") : nullptr;
    if (other && !other->error) {
        std::string text = other->data.substr(0, other->data.find('\0'));
        for (size_t start = 0; start <= text.size();) {
            size_t end = std::min(text.find(';', start), text.size());
            std::string folder =
                FileSystem::Absolute(Trim(text.substr(start, end - start)), "C:\\");
            bool seen = folder.empty();
            for (const std::string& f : out) seen = seen || EqualNoCase(f, folder);
            if (!seen) out.push_back(folder);
            start = end + 1;
        }
    }
    return out;
}

bool IsInfName(const std::string& name) {
    return name.size() > 4 && EqualNoCase(name.substr(name.size() - 4), ".INF");
}

}  // namespace

namespace {

// The INF files of the folders Windows 9x searches, each read once for every
// device the run deleted: 100,000 deleted keys read the package's INF once.
struct RestartSearch {
    explicit RestartSearch(const Machine& after) : target(TargetOf(after)) {
        for (const std::string& folder : SearchFolders(after)) {
            const FileSystem::Node* dir = after.files.Find(folder);
            if (!dir || !dir->dir) continue;
            for (const auto& child : dir->children) {
                const FileSystem::Node& file = *child.second;
                if (file.dir || file.open_error || !IsInfName(file.name)) continue;
                std::string path = FileSystem::PathOf(&file);
                if (file.data.placeholder()) {
                    not_captured.push_back(path);
                    continue;
                }
                Inf inf = Inf::Read(file.data.Read(), path, after.codepage, after.locale, false);
                if (inf.Parsed() && inf.ReadBy(target)) infs.emplace_back(path, std::move(inf));
            }
        }
    }
    InfTarget target;
    std::vector<std::pair<std::string, Inf>> infs;  // those Windows reads, by path
    std::vector<std::string> not_captured;
};

RestartPrediction PredictRestart(const Machine& after, const RestartSearch& search,
                                 const std::string& key_name) {
    RestartPrediction r;
    DeviceIds ids = PciIdsOfEnumKey(key_name);
    r.device = ids.hardware[0];
    r.not_captured = search.not_captured;
    std::optional<InfModel> best;
    const std::string* best_path = nullptr;
    for (const auto& [path, inf] : search.infs) {
        std::optional<InfModel> model = inf.Choose(ids.hardware, ids.compatible, search.target);
        if (model && (!best || model->rank < best->rank)) {
            best = std::move(model);
            best_path = &path;
        }
    }
    if (best) {
        r.inf = *best_path;
        r.model = best->description;
        r.why = Shown(after, best->id) + " (" + RankText(*best) + ") at " +
                Shown(after, *best_path) + ":" + std::to_string(best->line);
    } else {
        r.why = "no INF lists " + IdList(after, ids.hardware) +
                (ids.compatible.empty() ? "" : " or " + IdList(after, ids.compatible)) +
                ": Windows asks for a driver";
    }
    if (!r.not_captured.empty())
        r.why += " (" + std::to_string(r.not_captured.size()) +
                 " INF files not captured could change this)";
    return r;
}

}  // namespace

void PredictRestarts(const Machine& after, const std::vector<std::string>& key_names,
                     const std::function<void(const RestartPrediction&)>& each) {
    TextCodePageScope scope(after.codepage);
    if (key_names.empty()) return;
    RestartSearch search(after);
    for (const std::string& key : key_names) each(PredictRestart(after, search, key));
}

}  // namespace sim
