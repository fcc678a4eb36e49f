#include "sim/locales.h"

#include <cstdio>

namespace sim {

namespace {

struct Locale {
    uint32_t id;
    const char* name;
    // The Unix locale (language_COUNTRY) whose LC_CTYPE gives this system
    // locale under Wine, which maps it to Windows' locale name "ll-CC" and
    // that name's identifier; nullptr where no Unix locale gives it (Spanish
    // with the traditional sort: es_ES is 0x0c0a) or where Wine's choice is
    // not known here (UnixLocaleOf then takes the nearest row that has one).
    const char* unix_name;
};

// The system locales of the Windows versions the program runs on, every
// one AnsiCodePageOf below tells apart among them: enough to name a locale
// and to tell a likely slip (a decimal identifier) from an unusual choice.
const Locale kLocales[] = {
    {0x0401, "Arabic, Saudi Arabia", "ar_SA"},
    {0x0402, "Bulgarian, Bulgaria", "bg_BG"},
    {0x0403, "Catalan, Spain", "ca_ES"},
    {0x0404, "Chinese, Taiwan", "zh_TW"},
    {0x0405, "Czech, Czech Republic", "cs_CZ"},
    {0x0406, "Danish, Denmark", "da_DK"},
    {0x0407, "German, Germany", "de_DE"},
    {0x0408, "Greek, Greece", "el_GR"},
    {0x0409, "English, United States", "en_US"},
    {0x040a, "Spanish, Spain (traditional sort)", nullptr},
    {0x040b, "Finnish, Finland", "fi_FI"},
    {0x040c, "French, France", "fr_FR"},
    {0x040d, "Hebrew, Israel", "he_IL"},
    {0x040e, "Hungarian, Hungary", "hu_HU"},
    {0x040f, "Icelandic, Iceland", "is_IS"},
    {0x0410, "Italian, Italy", "it_IT"},
    {0x0411, "Japanese, Japan", "ja_JP"},
    {0x0412, "Korean, Korea", "ko_KR"},
    {0x0413, "Dutch, Netherlands", "nl_NL"},
    {0x0414, "Norwegian (Bokmal), Norway", "nb_NO"},
    {0x0415, "Polish, Poland", "pl_PL"},
    {0x0416, "Portuguese, Brazil", "pt_BR"},
    {0x0418, "Romanian, Romania", "ro_RO"},
    {0x0419, "Russian, Russia", "ru_RU"},
    {0x041a, "Croatian, Croatia", "hr_HR"},
    {0x041b, "Slovak, Slovakia", "sk_SK"},
    {0x041c, "Albanian, Albania", nullptr},
    {0x041d, "Swedish, Sweden", "sv_SE"},
    {0x041e, "Thai, Thailand", "th_TH"},
    {0x041f, "Turkish, Turkey", "tr_TR"},
    {0x0420, "Urdu, Pakistan", nullptr},
    {0x0422, "Ukrainian, Ukraine", "uk_UA"},
    {0x0423, "Belarusian, Belarus", nullptr},
    {0x0424, "Slovenian, Slovenia", "sl_SI"},
    {0x0425, "Estonian, Estonia", "et_EE"},
    {0x0426, "Latvian, Latvia", "lv_LV"},
    {0x0427, "Lithuanian, Lithuania", "lt_LT"},
    {0x0429, "Farsi, Iran", nullptr},
    {0x042a, "Vietnamese, Vietnam", "vi_VN"},
    {0x042c, "Azeri (Latin), Azerbaijan", nullptr},
    {0x042f, "Macedonian, North Macedonia", nullptr},
    {0x043f, "Kazakh, Kazakhstan", nullptr},
    {0x0440, "Kyrgyz, Kyrgyzstan", nullptr},
    {0x0443, "Uzbek (Latin), Uzbekistan", nullptr},
    {0x0444, "Tatar, Russia", nullptr},
    {0x0450, "Mongolian, Mongolia", nullptr},
    {0x0804, "Chinese, China", "zh_CN"},
    {0x0807, "German, Switzerland", "de_CH"},
    {0x0809, "English, United Kingdom", "en_GB"},
    {0x080a, "Spanish, Mexico", "es_MX"},
    {0x080c, "French, Belgium", "fr_BE"},
    {0x0810, "Italian, Switzerland", "it_CH"},
    {0x0813, "Dutch, Belgium", "nl_BE"},
    {0x0816, "Portuguese, Portugal", "pt_PT"},
    {0x081a, "Serbian (Latin), Serbia", nullptr},
    {0x082c, "Azeri (Cyrillic), Azerbaijan", nullptr},
    {0x0843, "Uzbek (Cyrillic), Uzbekistan", nullptr},
    {0x0c04, "Chinese, Hong Kong", nullptr},
    {0x0c07, "German, Austria", "de_AT"},
    {0x0c09, "English, Australia", "en_AU"},
    {0x0c0a, "Spanish, Spain", "es_ES"},
    {0x0c0c, "French, Canada", "fr_CA"},
    {0x0c1a, "Serbian (Cyrillic), Serbia", nullptr},
    {0x1004, "Chinese, Singapore", nullptr},
    {0x1009, "English, Canada", "en_CA"},
    {0x100c, "French, Switzerland", "fr_CH"},
    {0x1404, "Chinese, Macao", nullptr},
    {0x141a, "Bosnian (Latin), Bosnia and Herzegovina", nullptr},
    {0x201a, "Bosnian (Cyrillic), Bosnia and Herzegovina", nullptr},
};

}  // namespace

std::string LocaleText(uint32_t lcid) {
    char text[16];
    snprintf(text, sizeof text, "0x%04x", static_cast<unsigned>(lcid));
    return text;
}

uint32_t AnsiCodePageOf(uint32_t locale) {
    const uint32_t language = locale & 0xFFFF;
    switch (language & 0x3FF) {  // the primary language
        case 0x04:               // Chinese: Taiwan, Hong Kong and Macao write Traditional
            return language == 0x0804 || language == 0x1004 ? 936 : 950;
        case 0x11:  // Japanese
            return 932;
        case 0x12:  // Korean
            return 949;
        case 0x1E:  // Thai
            return 874;
        case 0x05:  // Czech
        case 0x0E:  // Hungarian
        case 0x15:  // Polish
        case 0x18:  // Romanian
        case 0x1B:  // Slovak
        case 0x1C:  // Albanian
        case 0x24:  // Slovenian
            return 1250;
        case 0x1A:  // Croatian, and Serbian and Bosnian in Latin or Cyrillic letters
            return language == 0x0C1A || language == 0x201A ? 1251 : 1250;
        case 0x02:  // Bulgarian
        case 0x19:  // Russian
        case 0x22:  // Ukrainian
        case 0x23:  // Belarusian
        case 0x2F:  // Macedonian
        case 0x3F:  // Kazakh
        case 0x40:  // Kyrgyz
        case 0x44:  // Tatar
        case 0x50:  // Mongolian
            return 1251;
        case 0x08:  // Greek
            return 1253;
        case 0x1F:  // Turkish
            return 1254;
        case 0x2C:  // Azeri and
        case 0x43:  // Uzbek: Latin letters, or Cyrillic (sublanguage 2)
            return (language >> 10) == 2 ? 1251 : 1254;
        case 0x0D:  // Hebrew
            return 1255;
        case 0x01:  // Arabic
        case 0x20:  // Urdu
        case 0x29:  // Farsi
            return 1256;
        case 0x25:  // Estonian
        case 0x26:  // Latvian
        case 0x27:  // Lithuanian
            return 1257;
        case 0x2A:  // Vietnamese
            return 1258;
    }
    return 1252;
}

const char* LocaleName(uint32_t lcid) {
    for (const Locale& l : kLocales)
        if (l.id == lcid) return l.name;
    return nullptr;
}

UnixLocale UnixLocaleOf(uint32_t lcid) {
    const uint32_t language = lcid & 0xFFFF;
    for (const Locale& l : kLocales)
        if (l.id == language && l.unix_name) return {l.unix_name, l.id};
    // The same language with the same ANSI code page: the same country
    // where the table has it (Spain's modern sort for its traditional one),
    // else the first.
    const char* own = LocaleName(language);
    const std::string country = own ? std::string(own).substr(0, std::string(own).find(" (")) : "";
    const Locale* best = nullptr;
    for (const Locale& l : kLocales)
        if ((l.id & 0x3FF) == (language & 0x3FF) && l.unix_name &&
            AnsiCodePageOf(l.id) == AnsiCodePageOf(lcid) && (!best || country == l.name))
            best = &l;
    if (best) return {best->unix_name, best->id};
    return {"en_US", 0x0409};
}

}  // namespace sim
