// Texts between the simulator's own world (UTF-8: command lines, machine
// files, reports) and the machine's (bytes in its ANSI code page).
#ifndef VNTR_SIM_CODEPAGE_H
#define VNTR_SIM_CODEPAGE_H

#include <cstdint>
#include <string>

namespace sim {

bool IsCodePage(uint32_t id);

// The ANSI code page Windows gives a system default locale: 932 for 0x0411
// (Japanese), 936 for 0x0804 and 0x1004 (Chinese, Simplified), 950 for the
// other Chinese locales, 949 for Korean, 874 for Thai, 1250 for the Central
// European languages, 1251 for the Cyrillic ones, 1253 Greek, 1254 Turkish
// (and Azeri and Uzbek in Latin letters), 1255 Hebrew, 1256 Arabic, Farsi and
// Urdu, 1257 the Baltic languages, 1258 Vietnamese; 1252 for every other
// locale (the Western European ones, and those Windows has no ANSI code
// page for).
uint32_t AnsiCodePageOf(uint32_t locale);
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
// Whether the byte begins a two-byte character in the code page (never in a
// single-byte one).
bool IsLeadByte(uint32_t id, unsigned char byte);
// The same for a human reader: control characters and bytes that stand for
// no character made visible (\r, \n, \t, \0, \xNN), everything else in
// UTF-8.
std::string Visible(const std::string& bytes, uint32_t id);
void AppendVisible(std::string& out, const std::string& bytes, uint32_t id);

}  // namespace sim

#endif
