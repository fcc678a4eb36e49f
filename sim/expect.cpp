#include "sim/expect.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <dtl/dtl.hpp>
#include <unordered_map>

#include "sim/codepage.h"
#include "sim/package.h"

namespace sim {

Observed Observe(const Machine& machine, const Outcome& outcome) {
    Observed seen;
    seen.codepage = machine.codepage;
    seen.status = outcome.status;
    seen.outcome = outcome.Result();
    seen.finished = outcome.status == "ok";
    if (!seen.finished)
        seen.outcome = "(none: " + outcome.status + ")";
    else if (seen.outcome.empty())
        seen.outcome = "(none: " + outcome.verdict.unknown + ")";
    for (size_t i = 0; i < outcome.events.size(); ++i) {
        if (outcome.events.TypeAt(i) != Row(Call::MessageBoxA).event) continue;
        Event e = outcome.events[i];
        seen.boxes.push_back(e.IsNull("args.text") ? std::nullopt
                                                   : std::optional<Bytes>(e.GetStr("args.text")));
    }
    for (const Event& e : outcome.ChangeEvents()) seen.changes.push_back(ChangeBytes(e));
    for (const RestartPrediction& p : outcome.after_restart)
        seen.after_restart.push_back(AfterRestartBytes(p));
    Bytes out = outcome.Stdout();
    for (size_t start = 0; start < out.size();) {
        size_t end = out.find("\r\n", start);
        if (end == std::string::npos) end = out.size();
        seen.trace.push_back(out.substr(start, end - start));
        start = end + 2;
    }
    return seen;
}

// A TOML literal string when the text allows one, a basic string otherwise.
// C1 controls (U+0080 to U+009F, which some terminals obey) are escaped too.
static std::string Toml(const std::string& s) {
    auto c1 = [&](size_t i) {
        unsigned char next = i + 1 < s.size() ? static_cast<unsigned char>(s[i + 1]) : 0;
        return static_cast<unsigned char>(s[i]) == 0xC2 && next >= 0x80 && next < 0xA0;
    };
    if (s.find('\'') == std::string::npos && s.find('\n') == std::string::npos) {
        bool plain = true;
        for (size_t i = 0; i < s.size(); ++i) {
            unsigned char c = static_cast<unsigned char>(s[i]);
            plain = plain && c >= 0x20 && c != 0x7F && !c1(i);
        }
        if (plain) return "'" + s + "'";
    }
    std::string out = "\"";
    for (size_t i = 0; i < s.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c1(i)) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\u%04X", static_cast<unsigned char>(s[++i]));
            out += hex;
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\u%04X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// One text of the table: a string when the bytes are characters of the
// code page that read back as the same bytes, else their exact bytes.
static std::string TomlText(const Bytes& bytes, uint32_t codepage) {
    std::string utf8 = FromCodePage(bytes, codepage), back, problem;
    if (ToCodePage(utf8, codepage, &back, &problem) && back == bytes) return Toml(utf8);
    std::string hex = "{ hex = \"";
    for (unsigned char c : bytes) {
        char digits[4];
        snprintf(digits, sizeof digits, "%02x", c);
        hex += digits;
    }
    return hex + "\" }";
}

namespace {

// Which lines of two sequences of line numbers are not in the other: the
// shortest edit script, from libdtl (Wu, Manber and Myers' O(NP) algorithm).
struct EditScript {
    EditScript(const std::vector<int>& a, const std::vector<int>& b)
        : deleted(a.size()), inserted(b.size()) {
        dtl::Diff<int> diff(a, b);
        diff.compose();
        // The script in order: a deletion takes the next line of a, an
        // addition the next of b, a common line one of each.
        size_t x = 0, y = 0;
        for (const auto& step : diff.getSes().getSequence()) {
            if (step.second.type == dtl::SES_DELETE)
                deleted[x++] = true;
            else if (step.second.type == dtl::SES_ADD)
                inserted[y++] = true;
            else
                ++x, ++y;
        }
    }
    std::vector<bool> deleted;   // of a: not in b
    std::vector<bool> inserted;  // of b: not in a
};

using Item = std::optional<Bytes>;

// As the table writes it: the difference shows what to write there, and
// two items that look alike but differ in their bytes never show alike.
std::string Shown(const Item& item, uint32_t codepage) {
    return item ? TomlText(*item, codepage) : "{ absent = true }";
}

// The lines that show how `got` differs from `want`: each change with three
// equal lines around it ("      "), equal stretches between cut to
// "      ..."; in a change the expected lines first ("    - "), then the
// run's ("    + "), each side cut after kSide lines with a line that says how
// many more there are, so that both sides show however long the change.
std::vector<std::string> Diff(const std::vector<Item>& want, const std::vector<Item>& got,
                              uint32_t codepage) {
    const size_t kContext = 3, kSide = 20;
    std::unordered_map<std::string, int> ids;
    auto number = [&](const std::vector<Item>& items) {
        std::vector<int> out;
        out.reserve(items.size());
        for (const Item& item : items)
            out.push_back(
                ids.emplace(item ? "T" + *item : "A", static_cast<int>(ids.size())).first->second);
        return out;
    };
    std::vector<int> a = number(want), b = number(got);
    EditScript script(a, b);

    std::vector<std::string> out;
    size_t i = 0, j = 0, n = a.size(), m = b.size();
    auto changed = [&](size_t x, size_t y) {
        return (x < n && script.deleted[x]) || (y < m && script.inserted[y]);
    };
    size_t shown_to = 0;  // expected lines before this one have been shown or cut
    while (i < n || j < m) {
        if (!changed(i, j)) {
            ++i, ++j;
            continue;
        }
        // Context before the change, and the cut since the last one.
        size_t from = i >= kContext ? i - kContext : 0;
        if (from < shown_to) from = shown_to;
        if (from > shown_to) out.push_back("      ...");
        for (size_t k = from; k < i; ++k) out.push_back("      " + Shown(want[k], codepage));
        // The change: its expected lines, then the run's.
        size_t del = i, ins = j;
        while (del < n && script.deleted[del]) ++del;
        while (ins < m && script.inserted[ins]) ++ins;
        for (size_t k = i; k < del && k < i + kSide; ++k)
            out.push_back("    - " + Shown(want[k], codepage));
        if (del - i > kSide)
            out.push_back("    - ... " + std::to_string(del - i - kSide) + " more expected lines");
        for (size_t k = j; k < ins && k < j + kSide; ++k)
            out.push_back("    + " + Shown(got[k], codepage));
        if (ins - j > kSide)
            out.push_back("    + ... " + std::to_string(ins - j - kSide) +
                          " more lines of the run");
        i = del, j = ins;
        // Context after it, up to the next change.
        size_t k = 0;
        while (k < kContext && i < n && j < m && !changed(i, j)) {
            out.push_back("      " + Shown(want[i], codepage));
            ++i, ++j, ++k;
        }
        shown_to = i;
    }
    if (shown_to < n) out.push_back("      ...");
    return out;
}

std::vector<Item> Items(const std::vector<Bytes>& texts) {
    return std::vector<Item>(texts.begin(), texts.end());
}

}  // namespace

std::vector<std::string> Differences(const Expectation& expect, const Observed& seen) {
    std::vector<std::string> out;
    if (expect.outcome && *expect.outcome != seen.outcome)
        out.push_back("outcome: expected " + *expect.outcome + ", got " + seen.outcome);
    auto list = [&](const char* what, const std::optional<std::vector<Item>>& want,
                    const std::vector<Item>& got) {
        if (!want || *want == got) return;
        out.push_back(std::string(what) + " differ (- expected, + got):");
        // A long difference is cut after 2,000 lines.
        std::vector<std::string> diff = Diff(*want, got, seen.codepage);
        if (diff.size() > 2000) {
            size_t more = diff.size() - 2000;
            diff.resize(2000);
            diff.push_back("    ... " + std::to_string(more) + " more lines of differences");
        }
        out.insert(out.end(), diff.begin(), diff.end());
    };
    list("boxes", expect.boxes, seen.boxes);
    if (expect.changes) list("changes", Items(*expect.changes), Items(seen.changes));
    if (expect.trace) list("trace lines", Items(*expect.trace), Items(seen.trace));
    if (expect.after_restart)
        list("after-restart lines", Items(*expect.after_restart), Items(seen.after_restart));
    return out;
}

std::string ExpectTable(const Observed& seen) {
    if (!seen.finished) return "";
    // A finished run whose outcome cannot be told gets none in the table,
    // which would not load, but a comment that says why.
    std::string out = seen.outcome.compare(0, 6, "(none:") == 0
                          ? "[expect]\n# outcome " + seen.outcome + "\n"
                          : "[expect]\noutcome = \"" + seen.outcome + "\"\n";
    auto list = [&](const char* key, const std::vector<Item>& items) {
        out += std::string(key) + " = [";
        if (items.empty()) {
            out += "]\n";
            return;
        }
        out += "\n";
        for (const Item& item : items)
            out += "    " + (item ? TomlText(*item, seen.codepage) : "{ absent = true }") + ",\n";
        out += "]\n";
    };
    list("boxes", seen.boxes);
    list("changes", Items(seen.changes));
    if (!seen.trace.empty()) list("trace", Items(seen.trace));
    if (!seen.after_restart.empty()) list("after_restart", Items(seen.after_restart));
    return out;
}

}  // namespace sim
