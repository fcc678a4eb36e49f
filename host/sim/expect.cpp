#include "host/sim/expect.h"

#include "host/sim/codepage.h"

namespace sim {

Observed Observe(const Machine& machine, const Outcome& outcome) {
    Observed seen;
    seen.outcome = outcome.Result();
    if (seen.outcome.empty()) seen.outcome = "(none: " + outcome.status + ")";
    for (size_t i = 0; i < outcome.events.size(); ++i) {
        if (outcome.events.TypeAt(i) != "box") continue;
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
    return s == kAbsentText ? "(no text)" : "\"" + s + "\"";
}

// A line diff by longest common subsequence: "  " kept, "- " expected only,
// "+ " seen only.
static std::vector<std::string> Diff(const std::vector<std::string>& want,
                                     const std::vector<std::string>& got) {
    size_t n = want.size(), m = got.size();
    std::vector<std::vector<unsigned>> lcs(n + 1, std::vector<unsigned>(m + 1, 0));
    for (size_t i = n; i-- > 0;)
        for (size_t j = m; j-- > 0;)
            lcs[i][j] =
                want[i] == got[j] ? lcs[i + 1][j + 1] + 1 : std::max(lcs[i + 1][j], lcs[i][j + 1]);
    std::vector<std::string> out;
    size_t i = 0, j = 0;
    while (i < n || j < m) {
        if (i < n && j < m && want[i] == got[j]) {
            out.push_back("      " + Shown(want[i++]));
            ++j;
        } else if (j < m && (i == n || lcs[i][j + 1] >= lcs[i + 1][j])) {
            out.push_back("    + " + Shown(got[j++]));
        } else {
            out.push_back("    - " + Shown(want[i++]));
        }
    }
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
        // Large lists are cut to the differing stretch.
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
static std::string Toml(const std::string& s) {
    if (s.find('\'') == std::string::npos && s.find('\n') == std::string::npos) {
        bool plain = true;
        for (unsigned char c : s) plain = plain && (c >= 0x20 && c != 0x7F);
        if (plain) return "'" + s + "'";
    }
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
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
    std::string out = "[expect]\noutcome = \"" + seen.outcome + "\"\n";
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
