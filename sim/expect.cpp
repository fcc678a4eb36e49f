#include "sim/expect.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <dtl/dtl.hpp>
#include <sstream>
#include <string_view>

#include "sim/codepage.h"
#include "sim/package.h"

namespace sim {

TextList TextList::Split(Bytes text, std::string_view separator) {
    TextList out;
    for (size_t start = 0; start < text.size();) {
        size_t end = std::min(text.find(separator, start), text.size());
        out.spans_.emplace_back(Offset(start), Offset(end - start));
        start = end + separator.size();
    }
    out.text_ = std::move(text);
    return out;
}

bool TextList::operator==(const TextList& other) const {
    if (size() != other.size()) return false;
    for (size_t i = 0; i < size(); ++i)
        if ((*this)[i] != other[i]) return false;
    return true;
}

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
    outcome.EachOf(Row(Call::MessageBoxA).event, [&](const Event& e) {
        seen.boxes.push_back(e.IsNull("args.text") ? std::nullopt
                                                   : std::optional<Bytes>(e.GetStr("args.text")));
    });
    outcome.EachChange([&](const Event& e) { seen.changes.push_back(ChangeBytes(e)); });
    outcome.EachRestart(
        [&](const RestartPrediction& p) { seen.after_restart.push_back(AfterRestartBytes(p)); });
    seen.trace = TextList::Split(outcome.Stdout(), "\r\n");
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
    return "{ hex = \"" + HexOf(bytes) + "\" }";
}

namespace {

// Which lines of two sequences of line numbers (each 0 or more) are not in
// the other: the shortest edit script, from libdtl (Wu, Manber and Myers'
// O(NP) algorithm).
struct EditScript {
    EditScript(const std::vector<int>& a, const std::vector<int>& b)
        : deleted(a.size()), inserted(b.size()) {
        // A line the other side does not hold is a change in every edit
        // script. Only the lines both hold go to the comparison, as GNU
        // diff does: the script stays as short, and 200,000 changed lines
        // among 400,000 cost nothing.
        int numbers = 0;
        for (int n : a) numbers = std::max(numbers, n + 1);
        for (int n : b) numbers = std::max(numbers, n + 1);
        std::vector<bool> in_a(static_cast<size_t>(numbers)), in_b(in_a);
        for (int n : a) in_a[static_cast<size_t>(n)] = true;
        for (int n : b) in_b[static_cast<size_t>(n)] = true;
        std::vector<uint32_t> from_a = Shared(a, in_b, deleted), from_b = Shared(b, in_a, inserted);
        std::vector<int> a_shared(from_a.size()), b_shared(from_b.size());
        for (size_t i = 0; i < from_a.size(); ++i) a_shared[i] = a[from_a[i]];
        for (size_t i = 0; i < from_b.size(); ++i) b_shared[i] = b[from_b[i]];
        if (a_shared == b_shared) return;
        dtl::Diff<int> diff(a_shared, b_shared);
        diff.compose();
        // The script in order: a deletion takes the next line of a, an
        // addition the next of b, a common line one of each.
        size_t x = 0, y = 0;
        for (const auto& step : diff.getSes().getSequence()) {
            if (step.second.type == dtl::SES_DELETE)
                deleted[from_a[x++]] = true;
            else if (step.second.type == dtl::SES_ADD)
                inserted[from_b[y++]] = true;
            else
                ++x, ++y;
        }
    }
    // The positions of the lines of `lines` that `other` holds; the others
    // are marked in `changed`.
    static std::vector<uint32_t> Shared(const std::vector<int>& lines,
                                        const std::vector<bool>& other,
                                        std::vector<bool>& changed) {
        std::vector<uint32_t> out;
        for (size_t i = 0; i < lines.size(); ++i) {
            if (other[static_cast<size_t>(lines[i])])
                out.push_back(static_cast<uint32_t>(i));
            else
                changed[i] = true;
        }
        return out;
    }
    std::vector<bool> deleted;   // of a: not in b
    std::vector<bool> inserted;  // of b: not in a
};

using Item = std::optional<Bytes>;

// The text of an item, or none for a box without one.
using Text = std::optional<std::string_view>;
Text TextOf(const Item& item) { return item ? Text(*item) : std::nullopt; }
Text TextOf(std::string_view text) { return text; }

// As the table writes it: the difference shows what to write there, and
// two items that look alike but differ in their bytes never show alike.
std::string Shown(Text text, uint32_t codepage) {
    return text ? TomlText(Bytes(*text), codepage) : "{ absent = true }";
}

// The lines of a difference up to a limit; beyond it they are only counted,
// never made.
struct Lines {
    explicit Lines(size_t limit) : limit(limit) {}
    // Whether the next line is to be made and added.
    bool Room() {
        if (text.size() < limit) return true;
        ++more;
        return false;
    }
    std::vector<std::string> text;
    size_t limit;
    size_t more = 0;
};

// Each item as a number, equal items alike, a box without text 0. The
// numbers are slots of a table that holds, for each distinct text, where
// it was first seen, in 4 bytes: no text is copied, and 600,000 distinct
// lines take 8 MB, not an object each.
template <typename List>
std::pair<std::vector<int>, std::vector<int>> Numbered(const List& want, const List& got) {
    size_t slots = 2;
    while (slots < 2 * (want.size() + got.size())) slots *= 2;
    std::vector<uint32_t> first(slots);  // 1 + position (want's items, then got's); 0 free
    auto text_at = [&](size_t position) {
        return *TextOf(position < want.size() ? want[position] : got[position - want.size()]);
    };
    auto number = [&](const List& items, size_t base) {
        std::vector<int> out;
        out.reserve(items.size());
        for (size_t i = 0; i < items.size(); ++i) {
            Text text = TextOf(items[i]);
            if (!text) {
                out.push_back(0);
                continue;
            }
            size_t slot = std::hash<std::string_view>()(*text) & (slots - 1);
            while (first[slot] && text_at(first[slot] - 1) != *text)
                slot = (slot + 1) & (slots - 1);
            if (!first[slot]) first[slot] = static_cast<uint32_t>(base + i + 1);
            out.push_back(static_cast<int>(slot) + 1);
        }
        return out;
    };
    std::vector<int> a = number(want, 0);
    return {std::move(a), number(got, want.size())};
}

// The lines that show how `got` differs from `want`: each change with three
// equal lines around it ("      "), equal stretches between cut to
// "      ..."; in a change the expected lines first ("    - "), then the
// run's ("    + "), each side cut after kSide lines with a line that says how
// many more there are, so that both sides show however long the change.
template <typename List>
void Diff(const List& want, const List& got, uint32_t codepage, Lines& out) {
    const size_t kContext = 3, kSide = 20;
    EditScript script = [&] {
        auto [a, b] = Numbered(want, got);
        return EditScript(a, b);
    }();
    auto add = [&](const char* prefix, Text text) {
        if (out.Room()) out.text.push_back(prefix + Shown(text, codepage));
    };
    auto note = [&](std::string line) {
        if (out.Room()) out.text.push_back(std::move(line));
    };
    size_t i = 0, j = 0, n = want.size(), m = got.size();
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
        if (from > shown_to) note("      ...");
        for (size_t k = from; k < i; ++k) add("      ", TextOf(want[k]));
        // The change: its expected lines, then the run's.
        size_t del = i, ins = j;
        while (del < n && script.deleted[del]) ++del;
        while (ins < m && script.inserted[ins]) ++ins;
        for (size_t k = i; k < del && k < i + kSide; ++k) add("    - ", TextOf(want[k]));
        if (del - i > kSide)
            note("    - ... " + std::to_string(del - i - kSide) + " more expected lines");
        for (size_t k = j; k < ins && k < j + kSide; ++k) add("    + ", TextOf(got[k]));
        if (ins - j > kSide)
            note("    + ... " + std::to_string(ins - j - kSide) + " more lines of the run");
        i = del, j = ins;
        // Context after it, up to the next change.
        size_t k = 0;
        while (k < kContext && i < n && j < m && !changed(i, j)) {
            add("      ", TextOf(want[i]));
            ++i, ++j, ++k;
        }
        shown_to = i;
    }
    if (shown_to < n) note("      ...");
}

}  // namespace

std::vector<std::string> Differences(const Expectation& expect, const Observed& seen) {
    std::vector<std::string> out;
    if (expect.outcome && *expect.outcome != seen.outcome)
        out.push_back("outcome: expected " + *expect.outcome + ", got " + seen.outcome);
    auto list = [&](const char* what, const auto& want, const auto& got) {
        if (!want || *want == got) return;
        out.push_back(std::string(what) + " differ (- expected, + got):");
        // A long difference is cut after 2,000 lines.
        Lines diff(2000);
        Diff(*want, got, seen.codepage, diff);
        out.insert(out.end(), std::make_move_iterator(diff.text.begin()),
                   std::make_move_iterator(diff.text.end()));
        if (diff.more)
            out.push_back("    ... " + std::to_string(diff.more) + " more lines of differences");
    };
    list("boxes", expect.boxes, seen.boxes);
    list("changes", expect.changes, seen.changes);
    list("trace lines", expect.trace, seen.trace);
    list("after-restart lines", expect.after_restart, seen.after_restart);
    return out;
}

void WriteExpectTable(std::ostream& out, const Observed& seen) {
    if (!seen.finished) return;
    // A finished run whose outcome cannot be told gets none in the table,
    // which would not load, but a comment that says why.
    out << (seen.outcome.compare(0, 6, "(none:") == 0
                ? "[expect]\n# outcome " + seen.outcome + "\n"
                : "[expect]\noutcome = \"" + seen.outcome + "\"\n");
    // Each item goes out as it is made: a trace of 400,000 lines is never
    // held as one text.
    auto list = [&](const char* key, const auto& items) {
        out << key << " = [";
        if (items.empty()) {
            out << "]\n";
            return;
        }
        out << "\n";
        for (const auto& item : items) out << "    " << Shown(TextOf(item), seen.codepage) << ",\n";
        out << "]\n";
    };
    list("boxes", seen.boxes);
    list("changes", seen.changes);
    if (!seen.trace.empty()) list("trace", seen.trace);
    if (!seen.after_restart.empty()) list("after_restart", seen.after_restart);
}

std::string ExpectTable(const Observed& seen) {
    std::ostringstream out;
    WriteExpectTable(out, seen);
    return out.str();
}

}  // namespace sim
