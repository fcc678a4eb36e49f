#include "tools/vntrsetup-sim/report.h"

#include <cstdio>
#include <cstring>

#include "host/sim/codepage.h"

using sim::Event;
using sim::Field;

namespace {

std::string Hex32(int64_t v) {
    char text[24];
    snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(v & 0xFFFFFFFFll));
    return text;
}

// Numbers that read better in hexadecimal.
bool HexKey(const std::string& key) {
    static const char* const keys[] = {"flags",      "type",     "error",    "code",
                                       "message_id", "language", "property", "locale"};
    std::string last = key.substr(key.rfind('.') == std::string::npos ? 0 : key.rfind('.') + 1);
    for (const char* k : keys)
        if (last == k) return true;
    return false;
}

std::string Value(const Field& f, uint32_t cp) {
    switch (f.kind) {
        case Field::kNull:
            return "NULL";
        case Field::kBool:
            return f.number ? "TRUE" : "FALSE";
        case Field::kNumber:
            return HexKey(f.key) ? Hex32(f.number) : std::to_string(f.number);
        case Field::kBytes: {
            // Handles, pointers and words of the simulator's own are shown bare.
            if (f.bytes.rfind("0x", 0) == 0 || f.bytes == "NULL" || f.key == "call" ||
                f.key == "buttons" || f.key == "answer" || f.key == "args.class" ||
                f.key == "result")
                return f.bytes;
            return "\"" + sim::Visible(f.bytes, cp) + "\"";
        }
        case Field::kList: {
            std::string out = "[";
            for (size_t i = 0; i < f.list.size(); ++i)
                out += (i ? ", \"" : "\"") + sim::Visible(f.list[i], cp) + "\"";
            return out + "]";
        }
    }
    return "";
}

}  // namespace

std::string DescribeBox(const Event& e, uint32_t cp) {
    std::string s = "box [" + e.GetStr("buttons", "?") + "]";
    if (e.GetStr("args.owner", "NULL") != "NULL") s += " owner " + e.GetStr("args.owner");
    int64_t type = e.GetNum("args.type");
    if (type != 0 && type != 4) s += " type " + Hex32(type);
    auto text = [&](const char* key) {
        return e.IsNull(key) ? std::string("(none)")
                             : "\"" + sim::Visible(e.GetStr(key), cp) + "\"";
    };
    s += "\n        title:  " + text("args.caption");
    s += "\n        text:   " + text("args.text");
    // A box still waiting for its answer (on the terminal) has none yet.
    if (e.Has("answer"))
        s += "\n        answer: " +
             (e.IsNull("answer") ? std::string("(none left)") : e.GetStr("answer"));
    else if (e.Has("error"))
        s += "\n        failed: error " + std::to_string(e.GetNum("error"));
    return s;
}

// "Call(arg, arg, ...) -> result" and whatever else the event holds.
std::string DescribeEvent(const Event& e, uint32_t cp) {
    const std::string& type = e.type();
    if (type == "box") return DescribeBox(e, cp);
    if (type == "stdout") return "stdout  \"" + sim::Visible(e.GetStr("text"), cp) + "\"";
    if (type == "fault")
        return "fault   " + e.GetStr("call") + " call " + std::to_string(e.GetNum("n")) +
               " fails with error " + std::to_string(e.GetNum("error"));
    if (type == "bad_free")
        return "finding LocalFree of a block that is not allocated: " + e.GetStr("block");
    if (type == "unexpected_call")
        return "finding " + e.GetStr("call") + " was called (never expected)";
    std::string s = e.GetStr("call", type) + "(";
    bool first = true;
    for (const Field& f : e.fields())
        if (f.key.rfind("args.", 0) == 0) {
            s += (first ? "" : ", ") + Value(f, cp);
            first = false;
        }
    s += ")";
    if (const Field* r = e.Get("result")) s += " -> " + Value(*r, cp);
    for (const Field& f : e.fields()) {
        if (f.key == "call" || f.key == "result" || f.key.rfind("args.", 0) == 0) continue;
        s += ", " + f.key + " " + Value(f, cp);
    }
    if (type == "load" && e.GetFlag("planted")) s += "  PLANTED LIBRARY LOADED";
    return s;
}

void PrintReport(std::ostream& out, const sim::Machine& m, const sim::Outcome& o) {
    char locale[16];
    snprintf(locale, sizeof locale, "0x%04x", m.locale);
    uint32_t cp = m.codepage;
    out << "machine: " << m.name << " (" << m.source << ")\n";
    out << "  platform " << m.os.platform << ", version " << m.os.major << "." << m.os.minor
        << ", build number " << m.os.build_number << " (low word " << (m.os.build_number & 0xFFFF)
        << "); current directory " << sim::Visible(m.current_dir, cp) << "; Windows directory "
        << sim::Visible(m.windows_dir, cp) << "; locale " << locale << "; code page " << cp
        << "\n\n";

    out << "events:\n";
    std::string line;
    size_t n = 0;
    for (const auto& e : o.events) {
        line = "  ";
        line += std::to_string(++n);
        line += '\t';
        line += DescribeEvent(e, cp);
        line += '\n';
        out << line;
    }
    if (o.events.empty()) out << "  (none)\n";

    out << "\ntrace (standard output, as written):\n";
    sim::Bytes trace = o.Stdout();
    if (trace.empty()) out << "  (nothing)\n";
    for (size_t start = 0; start < trace.size();) {
        size_t end = trace.find('\n', start);
        end = end == std::string::npos ? trace.size() : end + 1;
        out << "  " << sim::Visible(trace.substr(start, end - start), cp) << "\n";
        start = end;
    }

    out << "\nchanges:\n";
    auto changes = o.ChangeEvents();
    for (const sim::Event* c : changes) out << "  " << sim::ChangeLine(*c, cp) << "\n";
    if (changes.empty()) out << "  (none)\n";

    if (!o.summary.is_null()) {
        const sim::json& left = o.summary["allocations_left"];
        if (!left.empty())
            out << "\nmemory still allocated at the end: " << left.size() << " blocks\n";
        if (!o.summary["modules_loaded"].empty())
            out << "libraries still loaded at the end: " << o.summary["modules_loaded"].dump()
                << "\n";
    }
    if (o.status == "ok") {
        out << "\noutcome: " << o.Result() << "\n";
        out << "exit code: " << o.exit_code << "\n";
    } else {
        out << "\nrun " << o.status << ": " << o.message << "\n";
    }
}
