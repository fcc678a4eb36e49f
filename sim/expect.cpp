#include "sim/expect.h"

#include <algorithm>

#include "sim/codepage.h"

namespace sim {

Observed Observe(const Machine& machine, const Outcome& outcome) {
    Observed seen;
    seen.outcome = outcome.Result();
    if (seen.outcome.empty()) seen.outcome = "(none: " + outcome.verdict.unknown + ")";
    for (size_t i = 0; i < outcome.events.size(); ++i) {
        if (outcome.events.TypeAt(i) != Row(Call::MessageBoxA).event) continue;
        Event e = outcome.events[i];
        seen.boxes.push_back(e.IsNull("args.text")
                                 ? std::string(kAbsentText)
                                 : FromCodePage(e.GetStr("args.text"), machine.codepage));
    }
    for (const Event& e : outcome.ChangeEvents())
        seen.changes.push_back(ChangeLine(e, machine.codepage));
    Bytes out = outcome.Stdout();
    for (size_t start = 0; start < out.size();) {
        size_t end = out.find("\r\n", start);
        if (end == std::string::npos) {
            seen.trace.push_back(Visible(out.substr(start), machine.codepage));
            break;
        }
        seen.trace.push_back(Visible(out.substr(start, end - start), machine.codepage));
        start = end + 2;
    }
    return seen;
}

static std::string Shown(const std::string& s) {
    return s == kAbsentText ? "(no text)" : "\"" + Visible(s, kUtf8) + "\"";
}

// A line diff: the lines both lists start and end with are passed over
// (three of each are shown around the change), and the stretch between is
// compared by longest common subsequence: "  " kept, "- " expected only,
// "+ " seen only. A stretch too long for that table (its cells grow as the
// product of the two lengths) is shown as its expected lines, then its seen
// ones.
static std::vector<std::string> Diff(const std::vector<std::string>& want,
                                     const std::vector<std::string>& got) {
    const size_t kContext = 3, kMaxCells = size_t{1} << 24;
    size_t n = want.size(), m = got.size();
    size_t head = 0, tail = 0;
    while (head < n && head < m && want[head] == got[head]) ++head;
    while (tail < n - head && tail < m - head && want[n - 1 - tail] == got[m - 1 - tail]) ++tail;
    std::vector<std::string> out;
    if (head > kContext) out.push_back("      ...");
    for (size_t k = head > kContext ? head - kContext : 0; k < head; ++k)
        out.push_back("      " + Shown(want[k]));

    size_t a = n - head - tail, b = m - head - tail;
    const std::string* w = want.data() + head;
    const std::string* g = got.data() + head;
    if ((a + 1) * (b + 1) <= kMaxCells) {
        std::vector<unsigned> lcs((a + 1) * (b + 1), 0);
        auto at = [&](size_t i, size_t j) -> unsigned& { return lcs[i * (b + 1) + j]; };
        for (size_t i = a; i-- > 0;)
            for (size_t j = b; j-- > 0;)
                at(i, j) =
                    w[i] == g[j] ? at(i + 1, j + 1) + 1 : std::max(at(i + 1, j), at(i, j + 1));
        size_t i = 0, j = 0;
        while (i < a || j < b) {
            if (i < a && j < b && w[i] == g[j]) {
                out.push_back("      " + Shown(w[i++]));
                ++j;
            } else if (j < b && (i == a || at(i, j + 1) >= at(i + 1, j))) {
                out.push_back("    + " + Shown(g[j++]));
            } else {
                out.push_back("    - " + Shown(w[i++]));
            }
        }
    } else {
        for (size_t i = 0; i < a; ++i) out.push_back("    - " + Shown(w[i]));
        for (size_t j = 0; j < b; ++j) out.push_back("    + " + Shown(g[j]));
    }

    for (size_t k = n - tail; k < n - tail + std::min(tail, kContext); ++k)
        out.push_back("      " + Shown(want[k]));
    if (tail > kContext) out.push_back("      ...");
    return out;
}

std::vector<std::string> Differences(const Expectation& expect, const Observed& seen) {
    std::vector<std::string> out;
    if (expect.outcome && *expect.outcome != seen.outcome)
        out.push_back("outcome: expected " + *expect.outcome + ", got " + seen.outcome);
    auto list = [&](const char* what, const std::optional<std::vector<std::string>>& want,
                    const std::vector<std::string>& got) {
        if (!want || *want == got) return;
        out.push_back(std::string(what) + " differ (- expected, + got):");
        // Long differences are cut after 2,000 lines.
        std::vector<std::string> diff = Diff(*want, got);
        if (diff.size() > 2000) diff.resize(2000), diff.push_back("    ...");
        out.insert(out.end(), diff.begin(), diff.end());
    };
    list("boxes", expect.boxes, seen.boxes);
    list("changes", expect.changes, seen.changes);
    list("trace lines", expect.trace, seen.trace);
    return out;
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

std::string ExpectTable(const Observed& seen) {
    // A run without an outcome gets none in the table, which would not load,
    // but a comment that says why.
    std::string out = seen.outcome.compare(0, 6, "(none:") == 0
                          ? "[expect]\n# outcome " + seen.outcome + "\n"
                          : "[expect]\noutcome = \"" + seen.outcome + "\"\n";
    auto list = [&](const char* key, const std::vector<std::string>& items) {
        out += std::string(key) + " = [";
        if (items.empty()) {
            out += "]\n";
            return;
        }
        out += "\n";
        for (const auto& item : items)
            out += "    " + (item == kAbsentText ? "{ absent = true }" : Toml(item)) + ",\n";
        out += "]\n";
    };
    list("boxes", seen.boxes);
    list("changes", seen.changes);
    if (!seen.trace.empty()) list("trace", seen.trace);
    return out;
}

}  // namespace sim
