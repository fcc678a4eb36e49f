// Windows locale identifiers, as people read and write them.
#ifndef VNTR_SIM_LOCALES_H
#define VNTR_SIM_LOCALES_H

#include <cstdint>
#include <string>

namespace sim {

// The highest locale identifier: a language in the low 16 bits and a sort
// order in the 4 above; the bits above those are reserved. 0 is no locale.
constexpr uint32_t kMaxLocale = 0xFFFFF;

// "0x0407": how every human-readable output shows a locale identifier (the
// message files are named by the same four hexadecimal digits).
std::string LocaleText(uint32_t lcid);

// The language and country of a locale Windows 98 to XP ship with, such as
// "German, Germany"; nullptr for any other identifier.
const char* LocaleName(uint32_t lcid);

// The ANSI code page Windows gives a system default locale: 932 for 0x0411
// (Japanese), 936 for 0x0804 and 0x1004 (Chinese, Simplified), 950 for the
// other Chinese locales, 949 for Korean, 874 for Thai, 1250 for the Central
// European languages, 1251 for the Cyrillic ones, 1253 Greek, 1254 Turkish
// (and Azeri and Uzbek in Latin letters), 1255 Hebrew, 1256 Arabic, Farsi and
// Urdu, 1257 the Baltic languages, 1258 Vietnamese; 1252 for every other
// locale (the Western European ones, and those Windows has no ANSI code
// page for).
uint32_t AnsiCodePageOf(uint32_t locale);

// The Unix locale that gives a system default locale under Wine (which
// takes it, and its ANSI code page, from LC_CTYPE): `name` such as "ja_JP",
// and `locale`, the identifier Wine then reports. That is `lcid` itself
// (its sort order aside) where a Unix locale gives it; else the nearest one
// that does: the same language with the same code page, or "en_US".
struct UnixLocale {
    const char* name;
    uint32_t locale;
};
UnixLocale UnixLocaleOf(uint32_t lcid);

}  // namespace sim

#endif  // VNTR_SIM_LOCALES_H
