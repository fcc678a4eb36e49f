// Texts between the simulator's own world (UTF-8: command lines, machine
// files, reports) and the machine's (bytes in its ANSI code page).
#ifndef VNTR_SIM_CODEPAGE_H
#define VNTR_SIM_CODEPAGE_H

#include <cstdint>
#include <string>

namespace sim {

bool IsCodePage(uint32_t id);
// "874, 1250, 1251, ..." for messages.
std::string CodePageList();

// UTF-8 text as bytes of the code page. False, with *problem naming the
// character (or the bad UTF-8), when the text cannot be written there.
bool ToCodePage(const std::string& utf8, uint32_t id, std::string* out, std::string* problem);
// Bytes of the code page as UTF-8.
std::string FromCodePage(const std::string& bytes, uint32_t id);
// The same for a human reader: control characters made visible (\r, \n,
// \t, \0, \xNN), everything else in UTF-8. Every text that comes from a
// machine file, a host path or the command line goes through this before it
// reaches a terminal, so that none can move the cursor, clear the screen or
// start a line of its own. With kUtf8 the bytes are read as UTF-8 (the
// simulator's own messages, which quote such texts, and host paths); a byte
// that is not part of a UTF-8 character is shown as \xNN.
constexpr uint32_t kUtf8 = 65001;
std::string Visible(const std::string& bytes, uint32_t id);
void AppendVisible(std::string& out, const std::string& bytes, uint32_t id);

}  // namespace sim

#endif
