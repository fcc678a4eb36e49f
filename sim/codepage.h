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
// Bytes of the code page as UTF-8; a byte that stands for no character
// there (a lead byte without a trail byte it pairs with) reads as U+FFFD.
std::string FromCodePage(const std::string& bytes, uint32_t id);
// Bytes of the code page as UTF-16, as Windows' MultiByteToWideChar gives
// them. A byte that stands for no character: false when `strict`, else the
// character of the same number. Characters above U+FFFF never come out.
bool ToUtf16(const std::string& bytes, uint32_t id, bool strict, std::u16string* out);
// UTF-16 as bytes of the code page, as Windows' WideCharToMultiByte gives
// them: a character without a code there is written as `fallback`, and
// *defaulted is set.
std::string FromUtf16(const std::u16string& chars, uint32_t id, char fallback, bool* defaulted);
// The text with its letters upper-cased, as Windows does it when it
// compares names without regard to case. `nt`: as Windows NT does, by each
// character's Unicode upper case, written with the code page's own code for
// it (so that the two codes cp932 has for one character fold alike). Else
// as Windows 95 to ME do, by the code page: a single byte is upper-cased
// where its upper case has a byte of its own, a double-byte character is
// kept. ASCII letters fold either way; a byte that stands for no character
// is kept.
std::string UpperCase(const std::string& bytes, uint32_t id, bool nt);
// Whether the byte begins a two-byte character in the code page (never in a
// single-byte one).
bool IsLeadByte(uint32_t id, unsigned char byte);
// The same for a human reader: control characters and bytes that stand for
// no character made visible (\r, \n, \t, \0, \xNN), everything else in
// UTF-8. Every text that comes from a
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
