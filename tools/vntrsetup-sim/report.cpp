#include "tools/vntrsetup-sim/report.h"

#include <cstdio>
#include <sstream>

using sim::json;

std::string Visible(const sim::Bytes& bytes) {
    std::string out;
    char hex[8];
    for (unsigned char c : bytes) {
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\\')
            out += "\\";
        else if (c < 0x20 || (c >= 0x7F && c < 0xA0)) {
            snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else if (c >= 0xA0) {
            out += sim::Text(sim::Bytes(1, static_cast<char>(c)));
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string VisibleText(const json& text) {
    if (text.is_null()) return "(none)";
    return "\"" + Visible(sim::BytesOf(text.get<std::string>())) + "\"";
}

static std::string Hex32(uint32_t v) {
    char text[16];
    snprintf(text, sizeof text, "0x%x", v);
    return text;
}

std::string DescribeBox(const json& e) {
    std::ostringstream s;
    s << "box [" << e.value("buttons", "?") << "]";
    if (e.value("owner", "NULL") != "NULL") s << " owner " << e.value("owner", "");
    if (e.value("style", 0u) != 0 && e.value("style", 0u) != 4) s << " style " << Hex32(e["style"]);
    s << "\n        title:  " << VisibleText(e["title"]);
    s << "\n        text:   " << VisibleText(e["text"]);
    // A box still waiting for its answer (on the terminal) has none yet.
    if (e.contains("answer"))
        s << "\n        answer: "
          << (e["answer"].is_null() ? "(none left)" : e["answer"].get<std::string>());
    return s.str();
}

std::string DescribeEvent(const json& e) {
    std::string type = e.value("type", "");
    std::ostringstream s;
    auto text = [&](const char* key) { return VisibleText(e.contains(key) ? e[key] : json()); };
    if (type == "box") return DescribeBox(e);
    if (type == "stdout") return "stdout  " + text("text");
    if (type == "fault")
        s << "fault   " << e["call"].get<std::string>() << " call " << e["n"]
          << " fails with error " << e["error"];
    else if (type == "open")
        s << "open    " << text("path") << " (" << e.value("mode", "")
          << "): " << (e.value("result", false) ? "opened" : "not opened");
    else if (type == "chdir")
        s << "chdir   " << text("path");
    else if (type == "mkdir")
        s << "mkdir   " << text("path");
    else if (type == "copy")
        s << "copy    " << text("from") << " -> " << text("to") << " (" << e["bytes"] << " bytes"
          << (e.value("overwrote", false) ? ", replaced the file there" : "") << ")";
    else if (type == "copy_failed")
        s << "copy    " << text("from") << " -> " << text("to") << " failed, error " << e["error"];
    else if (type == "reg_set")
        s << "regset  " << text("key") << " " << text("name") << " type " << e["value_type"] << ", "
          << e["size"] << " bytes declared: " << text("data") << " [" << e.value("hex", "") << "]";
    else if (type == "reg_delete") {
        s << "regdel  " << text("key");
        if (e["removed"].size() > 1) s << " and its " << e["removed"].size() - 1 << " subkeys";
    } else if (type == "reg_delete_refused")
        s << "regdel  " << text("key") << " refused (it has subkeys), error " << e["error"];
    else if (type == "load") {
        s << "load    " << text("name");
        if (e.contains("path")) s << " -> " << text("path");
        if (e.value("planted", false)) s << "  PLANTED LIBRARY LOADED";
        if (e["result"].is_null()) s << ": failed, error " << e.value("error", 0);
    } else if (type == "unload")
        s << "unload  " << (e.contains("path") ? text("path") : e.value("handle", ""))
          << (e.value("result", false) ? "" : ": failed");
    else if (type == "call") {
        s << "call    " << e["call"].get<std::string>();
        if (e["call"] == "SetupDiGetClassDevsA")
            s << "(" << e["class"].get<std::string>() << ", "
              << (e["enumerator"].is_null() ? std::string("NULL") : text("enumerator")) << ", "
              << e["parent"].get<std::string>() << ", " << Hex32(e["flags"]) << ") -> "
              << e["result"].get<std::string>();
        else if (e["call"] == "SetupDiEnumDeviceInfo")
            s << "(index " << e["index"] << ") -> " << (e["result"].get<bool>() ? "TRUE" : "FALSE");
        else if (e["call"] == "SetupDiGetDeviceRegistryPropertyA")
            s << "(device " << e["device"] << ", buffer " << e["size"] << " bytes) -> "
              << (e["result"].get<bool>() ? "TRUE" : "FALSE");
        else
            s << "(" << e.value("set", "") << ") -> "
              << (e["result"].get<bool>() ? "TRUE" : "FALSE");
        if (e.contains("required")) s << ", size " << e["required"];
        if (e.contains("error")) s << ", error " << e["error"];
    } else if (type == "install") {
        s << "install UpdateDriverForPlugAndPlayDevicesA(" << e["parent"].get<std::string>() << ", "
          << text("hardware_id") << ", " << text("inf") << ", " << Hex32(e["flags"]) << ", "
          << (e["reboot_flag_given"].get<bool>() ? "&reboot" : "NULL") << ") -> "
          << (e["result"].get<bool>() ? "TRUE" : "FALSE");
        if (e.contains("error")) s << ", error " << Hex32(e["error"]);
        if (e.value("reboot", false)) s << ", reboot needed";
    } else if (type == "reboot")
        s << "reboot  ExitWindowsEx(" << Hex32(e["flags"]) << ", " << e["reserved"] << ")";
    else if (type == "bad_free")
        s << "free    LocalFree of a block that is not allocated: " << e.value("block", "");
    else if (type == "unexpected_call")
        s << "call    " << e["call"].get<std::string>() << " was called (never expected)";
    else
        s << type << " " << e.dump();
    return s.str();
}

void PrintReport(std::ostream& out, const sim::Machine& m, const sim::Outcome& o,
                 const std::vector<std::string>& warnings) {
    char locale[16];
    snprintf(locale, sizeof locale, "0x%04x", m.locale);
    out << "machine: " << m.name << " (" << m.source << ")\n";
    out << "  platform " << m.os.platform << ", version " << m.os.major << "." << m.os.minor
        << ", build number " << m.os.build_number << " (low word " << (m.os.build_number & 0xFFFF)
        << "); current directory " << m.current_dir << "; Windows directory " << m.windows_dir
        << "; locale " << locale << "\n\n";

    out << "events:\n";
    int n = 0;
    for (const auto& e : o.events) out << "  " << ++n << "\t" << DescribeEvent(e) << "\n";
    if (o.events.empty()) out << "  (none)\n";

    out << "\ntrace (standard output, as written):\n";
    sim::Bytes trace = o.Stdout();
    if (trace.empty()) out << "  (nothing)\n";
    std::string line;
    for (char c : trace) {
        line += c;
        if (c == '\n') {
            out << "  " << Visible(line) << "\n";
            line.clear();
        }
    }
    if (!line.empty()) out << "  " << Visible(line) << "\n";

    out << "\nchanges:\n";
    auto changes = o.Changes();
    for (const auto& c : changes) out << "  " << DescribeEvent(c) << "\n";
    if (changes.empty()) out << "  (none)\n";

    if (!o.summary.is_null()) {
        const json& left = o.summary["allocations_left"];
        if (!left.empty())
            out << "\nmemory still allocated at the end: " << left.size() << " blocks\n";
        if (!o.summary["modules_loaded"].empty())
            out << "libraries still loaded at the end: " << o.summary["modules_loaded"].dump()
                << "\n";
    }
    for (const auto& w : warnings) out << "\nwarning: " << w << "\n";
    if (o.status == "ok")
        out << "\nexit code: " << o.exit_code << "\n";
    else
        out << "\nrun " << o.status << ": " << o.message << "\n";
}
