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
// \t, \0, \xNN), everything else in UTF-8.
std::string Visible(const std::string& bytes, uint32_t id);
void AppendVisible(std::string& out, const std::string& bytes, uint32_t id);

}  // namespace sim

#endif
