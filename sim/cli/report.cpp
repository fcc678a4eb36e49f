#include "sim/cli/report.h"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <unordered_map>

#include "sim/calls.h"
#include "sim/codepage.h"
#include "sim/locales.h"
#include "sim/package.h"

using sim::Event;
using sim::Field;

namespace {

void AppendHex32(std::string& out, int64_t v) { out += sim::HexText(v & 0xFFFFFFFFll); }

// What the report does with a field, told by its key. Keys are the
// simulator's literals, so what is learnt of one is kept by its address:
// a run of millions of events asks about a few dozen keys.
struct KeyUse {
    bool args = false;    // an argument: "args.flags"
    bool call = false;    // the function's name
    bool result = false;  // its result
    bool hex = false;     // a number that reads better in hexadecimal
    bool bare = false;    // a word of the simulator's own, shown without quotes
};

const KeyUse& Use(const char* key) {
    // The last key seen at each of a few places, before the table.
    struct Recent {
        const char* key = nullptr;
        const KeyUse* use = nullptr;
    };
    static Recent recent[256];
    Recent& seen = recent[(reinterpret_cast<uintptr_t>(key) >> 2) & 255];
    if (seen.key == key) return *seen.use;
    static std::unordered_map<const char*, KeyUse> known;
    auto [it, added] = known.try_emplace(key);
    seen = {key, &it->second};  // elements of the table stay where they are
    if (!added) return it->second;
    KeyUse& use = it->second;
    const char* dot = strrchr(key, '.');
    const char* last = dot ? dot + 1 : key;
    use.args = strncmp(key, "args.", 5) == 0;
    use.call = strcmp(key, "call") == 0;
    use.result = strcmp(key, "result") == 0;
    for (const char* k : {"flags", "type", "value_type", "error", "code", "message_id", "language",
                          "property", "locale"})
        use.hex = use.hex || strcmp(last, k) == 0;
    for (const char* k : {"call", "buttons", "answer", "args.class", "result"})
        use.bare = use.bare || strcmp(key, k) == 0;
    return use;
}

// Words of the simulator's own, and handles, are shown bare; texts of the
// machine in quotes.
bool Bare(const Field& f) {
    return Use(f.key).bare || f.bytes.compare(0, 2, "0x") == 0 || f.bytes == "NULL";
}

void AppendNumber(std::string& out, int64_t v) {
    char text[24];
    auto end = std::to_chars(text, text + sizeof text, v).ptr;
    out.append(text, end);
}

void AppendValue(std::string& out, const Field& f, uint32_t cp) {
    switch (f.kind) {
        case Field::kNull:
            out += "NULL";
            return;
        case Field::kBool:
            out += f.number ? "TRUE" : "FALSE";
            return;
        case Field::kNumber:
            if (Use(f.key).hex)
                AppendHex32(out, f.number);
            else
                AppendNumber(out, f.number);
            return;
        case Field::kBytes:
            if (Bare(f)) {
                sim::AppendVisible(out, f.bytes, cp);
            } else {
                out += '"';
                sim::AppendVisible(out, f.bytes, cp);
                out += '"';
            }
            return;
        case Field::kList: {
            std::vector<sim::Bytes> items = f.Items();
            out += '[';
            for (size_t i = 0; i < items.size(); ++i) {
                out += i ? ", \"" : "\"";
                sim::AppendVisible(out, items[i], cp);
                out += '"';
            }
            out += ']';
            return;
        }
    }
}

void AppendQuoted(std::string& out, const Event& e, const char* key, uint32_t cp) {
    const Field* f = e.Get(key);
    if (!f || f->kind == Field::kNull) {
        out += "(none)";
        return;
    }
    out += '"';
    sim::AppendVisible(out, f->bytes, cp);
    out += '"';
}

// Which text of the program's a box shows: "message 2", or the name of a
// missing setupapi.dll entry point, or a message whose number its absent
// text does not tell.
void AppendMessage(std::string& out, const Event& e) {
    if (!e.Has("message")) return;  // a record from before boxes were told
    if (!e.IsNull("message"))
        out += " message " + std::to_string(e.GetNum("message"));
    else if (e.GetFlag("entry_point"))
        out += " missing entry point";
    else if (e.GetFlag("absent"))
        out += " message unknown";
    else
        out += " not a message of the program";
    if (e.GetFlag("absent")) out += " (no text)";
}

void AppendBox(std::string& out, const Event& e, uint32_t cp) {
    out += "box [" + e.GetStr("buttons", "?") + "]";
    AppendMessage(out, e);
    if (e.GetStr("args.owner", "NULL") != "NULL") out += " owner " + e.GetStr("args.owner");
    int64_t type = e.GetNum("args.type");
    if (type != 0 && type != 4) {
        out += " type ";
        AppendHex32(out, type);
    }
    out += "\n        title:  ";
    AppendQuoted(out, e, "args.caption", cp);
    out += "\n        text:   ";
    AppendQuoted(out, e, "args.text", cp);
    // A box still waiting for its answer (on the terminal) has none yet.
    if (e.Has("answer"))
        out += "\n        answer: " +
               (e.IsNull("answer") ? std::string("(none left)") : e.GetStr("answer"));
    else if (e.Has("error"))
        out += "\n        failed: error " + std::to_string(e.GetNum("error"));
}

// "Call(arg, arg, ...) -> result" and whatever else the event holds.
void AppendEvent(std::string& out, const Event& e, uint32_t cp) {
    const std::string& type = e.type();
    if (type == sim::Row(sim::Call::MessageBoxA).event) return AppendBox(out, e, cp);
    if (type == "stdout") {
        out += "stdout  ";
        AppendQuoted(out, e, "text", cp);
        return;
    }
    if (type == "fault") {
        out += "fault   " + e.GetStr("call") + " call " + std::to_string(e.GetNum("n")) +
               " fails with error " + std::to_string(e.GetNum("error"));
        return;
    }
    if (type == "start") {
        out += "start   WinMain(command line ";
        AppendQuoted(out, e, "command_line", cp);
        out += ", show " + std::to_string(e.GetNum("show")) + ")";
        return;
    }
    if (type == "bad_free") {
        out += "LocalFree of a block that is not allocated: " + e.GetStr("block");
        return;
    }
    if (type == "unexpected_call") {
        out += e.GetStr("call") + "() called: a call the program resolves but never makes";
        return;
    }
    const Field* call = nullptr;
    const Field* result = nullptr;
    for (const Field& f : e.fields()) {
        const KeyUse& use = Use(f.key);
        if (use.call && !call) call = &f;
        if (use.result && !result) result = &f;
    }
    out += call ? call->bytes : type;
    out += '(';
    bool first = true;
    for (const Field& f : e.fields())
        if (Use(f.key).args) {
            if (!first) out += ", ";
            AppendValue(out, f, cp);
            first = false;
        }
    out += ')';
    if (result) {
        out += " -> ";
        if (type == "locale" && result->kind == Field::kNumber)
            out += sim::LocaleText(static_cast<uint32_t>(result->number));
        else
            AppendValue(out, *result, cp);
    }
    for (const Field& f : e.fields()) {
        const KeyUse& use = Use(f.key);
        if (use.call || use.result || use.args) continue;
        out += ", ";
        out += f.key;
        out += ' ';
        AppendValue(out, f, cp);
    }
    if (type == "load" && e.GetFlag("planted")) out += "  PLANTED LIBRARY LOADED";
}

}  // namespace

std::string DescribeBox(const Event& box, uint32_t cp) {
    std::string out;
    AppendBox(out, box, cp);
    return out;
}

std::string DescribeEvent(const Event& e, uint32_t cp) {
    std::string out;
    AppendEvent(out, e, cp);
    return out;
}

namespace {

// The report's text, sent out in pieces of about a megabyte: a run may hold
// millions of events.
struct ReportText {
    std::ostream& out;
    std::string text;
    void Flush() {
        if (text.size() <= (1 << 20)) return;
        out << text;
        text.clear();
    }
};

void AppendEvents(ReportText& r, const sim::Outcome& o, uint32_t cp) {
    r.text += "events:\n";
    sim::Event e;
    for (size_t n = 0; n < o.events.size(); ++n) {
        o.events.DecodeAt(n, &e);
        r.text += "  ";
        AppendNumber(r.text, static_cast<int64_t>(n + 1));
        r.text += '\t';
        AppendEvent(r.text, e, cp);
        r.text += '\n';
        r.Flush();
    }
    if (o.events.empty()) r.text += "  (none)\n";
}

// The program's standard output line by line, however its writes cut them.
void AppendTrace(ReportText& r, const sim::Outcome& o, uint32_t cp) {
    r.text += "\ntrace (standard output, as written):\n";
    sim::Bytes line;
    bool written = false;
    auto end_line = [&] {
        r.text += "  ";
        sim::AppendVisible(r.text, line, cp);
        r.text += '\n';
        line.clear();
        r.Flush();
    };
    sim::Event e;
    for (size_t n = 0; n < o.events.size(); ++n) {
        if (o.events.TypeAt(n) != "stdout") continue;
        o.events.DecodeAt(n, &e);
        const sim::Field* piece = e.Get("text");
        if (!piece || piece->bytes.empty()) continue;
        written = true;
        const sim::Bytes& bytes = piece->bytes;
        for (size_t start = 0; start < bytes.size();) {
            size_t end = bytes.find('\n', start);
            line.append(bytes, start, end == std::string::npos ? end : end + 1 - start);
            if (end == std::string::npos) break;
            end_line();
            start = end + 1;
        }
    }
    if (!line.empty()) end_line();
    if (!written) r.text += "  (nothing)\n";
}

// The changes, then what Windows 9x does at its next start.
void AppendChanges(ReportText& r, const sim::Outcome& o, uint32_t cp) {
    r.text += "\nchanges:\n";
    bool changed = false;
    o.EachChange([&](const sim::Event& c) {
        r.text += "  ";
        r.text += sim::ChangeLine(c, cp);
        r.text += '\n';
        changed = true;
        r.Flush();
    });
    if (!changed) r.text += "  (none)\n";
    if (o.after_restart.empty()) return;
    r.text +=
        "\nafter restart:\n  (predicted from the INF files Windows 9x searches at its next "
        "start; no call of the program)\n";
    o.EachRestart([&](const sim::RestartPrediction& p) {
        r.text += "  " + sim::AfterRestartLine(p, cp) + "\n";
        r.text += "      " + sim::Visible(p.why, sim::kUtf8) + "\n";
        r.Flush();
    });
}

// What the summary says: every host function the program called, in the
// order of the table of host calls, with its library; what it left behind.
void PrintSummary(std::ostream& out, const sim::json& summary) {
    if (summary.is_null()) return;
    if (summary.contains("calls")) {
        out << "\ncalls:\n";
        const sim::json& calls = summary["calls"];
        for (size_t i = 0; i < sim::kHostCallCount; ++i) {
            const sim::HostCall& c = sim::kHostCalls[i];
            if (!calls.contains(c.name)) continue;
            char line[128];
            snprintf(line, sizeof line, "  %-36s %-13s %u\n", c.name, c.library,
                     calls[c.name].get<unsigned>());
            out << line;
        }
    }
    const sim::json& left = summary["allocations_left"];
    if (!left.empty()) out << "\nmemory still allocated at the end: " << left.size() << " blocks\n";
    if (!summary["modules_loaded"].empty())
        out << "libraries still loaded at the end: "
            << sim::Visible(summary["modules_loaded"].dump(), sim::kUtf8) << "\n";
}

}  // namespace

void PrintReport(std::ostream& out, const sim::Machine& m, const sim::Outcome& o) {
    uint32_t cp = m.codepage;
    out << "machine: " << sim::Visible(m.name, sim::kUtf8) << " ("
        << sim::Visible(m.source, sim::kUtf8) << ")\n";
    out << "  platform " << m.os.platform << ", version " << m.os.major << "." << m.os.minor
        << ", build number " << m.os.build_number << " (low word " << (m.os.build_number & 0xFFFF)
        << "); current directory " << sim::Visible(m.current_dir, cp) << "; Windows directory "
        << sim::Visible(m.windows_dir, cp) << "; locale " << sim::LocaleText(m.locale)
        << "; code page " << cp << "\n\n";
    ReportText text{out, ""};
    AppendEvents(text, o, cp);
    AppendTrace(text, o, cp);
    AppendChanges(text, o, cp);
    out << text.text;
    PrintSummary(out, o.summary);
    if (o.status == "ok") {
        if (o.Result().empty())
            out << "\noutcome: none (" << o.verdict.unknown << ")\n";
        else
            out << "\noutcome: " << o.Result() << "\n";
        out << "exit code: " << o.exit_code << "\n";
    } else {
        out << "\nrun " << o.status << ": " << sim::Visible(o.message, sim::kUtf8) << "\n";
    }
}
