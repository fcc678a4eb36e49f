// Fuzz target: the message-file reader. The input is the whole content of
// MultiLang\0409.dat. The program's table must hold exactly what a plain
// reference reader of the same bytes gives: text mode (CR LF reads as LF, a
// lone CR stays, Ctrl-Z ends the file), pieces of at most 255 bytes that end
// after a line feed, each cut at its first NUL, five entries at most, the
// rest absent. Each entry is a block of exactly its length plus the NUL, and
// the release leaves nothing allocated.
//
// The table is reset by every load, so the program runs in this process.
#include <string>
#include <vector>

#include "common/messages.h"
#include "sim/runtime.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

const char kFile[] = "C:\\VNTR\\MultiLang\\0409.dat";

// What the table should hold for `raw`: one string per entry read.
std::vector<std::string> ReferenceEntries(const std::string& raw) {
    std::string text;
    for (size_t i = 0; i < raw.size(); ++i) {
        char c = raw[i];
        if (c == '\x1a') break;
        if (c == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
        text += c;
    }
    std::vector<std::string> entries;
    size_t at = 0;
    while (entries.size() < MESSAGE_COUNT && at < text.size()) {
        size_t end = at;
        while (end < text.size() && end - at < 255) {
            if (text[end++] == '\n') break;
        }
        std::string piece = text.substr(at, end - at);
        entries.push_back(piece.substr(0, piece.find('\0')));
        at = end;
    }
    return entries;
}

const sim::Machine& Template() {
    static const sim::Machine m = [] {
        sim::Machine t;
        t.name = "message file";
        t.current_dir = "C:\\VNTR";
        t.files.MakeDirs("C:\\VNTR\\MultiLang");
        return t;
    }();
    return m;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string raw(reinterpret_cast<const char*>(data), size);
    sim::Machine m = Template();
    m.files.PutFile(kFile, raw);
    sim::RunOptions options;
    options.record_calls = false;

    sim::Session session(m, options);
    sim::Runtime& rt = session.runtime();
    LoadMessages();

    std::vector<std::string> expected = ReferenceEntries(raw);
    for (int i = 0; i < MESSAGE_COUNT; ++i) {
        const char* entry = MessageText(i);
        std::string where = "entry " + std::to_string(i);
        if (i >= static_cast<int>(expected.size())) {
            fuzz::Check(entry == nullptr, where + " should be absent");
            continue;
        }
        fuzz::Check(entry != nullptr, where + " is absent");
        auto block = rt.allocations.find(const_cast<char*>(entry));
        fuzz::Check(block != rt.allocations.end(), where + " is not a block of its own");
        fuzz::Check(block->second.size <= 256,
                    where + " is a block of " + std::to_string(block->second.size) + " bytes");
        fuzz::Check(memchr(entry, '\0', block->second.size) != nullptr,
                    where + " is not terminated within its block");
        fuzz::Check(std::string(entry) == expected[i], where + " differs from the file");
        fuzz::Check(block->second.size == expected[i].size() + 1,
                    where + " is not a block of its length plus the NUL");
    }
    fuzz::Check(rt.allocations.size() == expected.size(),
                "blocks other than the entries are allocated");
    fuzz::Check(rt.open_files == 0, "the message file was left open");

    ReleaseMessages();
    fuzz::Check(rt.allocations.empty(), "the release left blocks allocated");
    for (const auto& e : rt.events)
        fuzz::Check(e.type() != "bad_free", "a block was freed that was not allocated");
    return 0;
}
