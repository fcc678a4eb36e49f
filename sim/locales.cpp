#include "sim/locales.h"

#include <cstdio>

namespace sim {

namespace {

struct Locale {
    uint32_t id;
    const char* name;
};

// The system locales of the Windows versions the program runs on: enough to
// name a locale and to tell a likely slip (a decimal identifier) from an
// unusual choice.
const Locale kLocales[] = {
    {0x0401, "Arabic, Saudi Arabia"},   {0x0402, "Bulgarian, Bulgaria"},
    {0x0403, "Catalan, Spain"},         {0x0404, "Chinese, Taiwan"},
    {0x0405, "Czech, Czech Republic"},  {0x0406, "Danish, Denmark"},
    {0x0407, "German, Germany"},        {0x0408, "Greek, Greece"},
    {0x0409, "English, United States"}, {0x040a, "Spanish, Spain (traditional sort)"},
    {0x040b, "Finnish, Finland"},       {0x040c, "French, France"},
    {0x040d, "Hebrew, Israel"},         {0x040e, "Hungarian, Hungary"},
    {0x040f, "Icelandic, Iceland"},     {0x0410, "Italian, Italy"},
    {0x0411, "Japanese, Japan"},        {0x0412, "Korean, Korea"},
    {0x0413, "Dutch, Netherlands"},     {0x0414, "Norwegian (Bokmal), Norway"},
    {0x0415, "Polish, Poland"},         {0x0416, "Portuguese, Brazil"},
    {0x0418, "Romanian, Romania"},      {0x0419, "Russian, Russia"},
    {0x041a, "Croatian, Croatia"},      {0x041b, "Slovak, Slovakia"},
    {0x041d, "Swedish, Sweden"},        {0x041e, "Thai, Thailand"},
    {0x041f, "Turkish, Turkey"},        {0x0422, "Ukrainian, Ukraine"},
    {0x0424, "Slovenian, Slovenia"},    {0x0425, "Estonian, Estonia"},
    {0x0426, "Latvian, Latvia"},        {0x0427, "Lithuanian, Lithuania"},
    {0x042a, "Vietnamese, Vietnam"},    {0x0804, "Chinese, China"},
    {0x0807, "German, Switzerland"},    {0x0809, "English, United Kingdom"},
    {0x080a, "Spanish, Mexico"},        {0x080c, "French, Belgium"},
    {0x0810, "Italian, Switzerland"},   {0x0813, "Dutch, Belgium"},
    {0x0816, "Portuguese, Portugal"},   {0x0c07, "German, Austria"},
    {0x0c09, "English, Australia"},     {0x0c0a, "Spanish, Spain"},
    {0x0c0c, "French, Canada"},         {0x1009, "English, Canada"},
    {0x100c, "French, Switzerland"},
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

}  // namespace sim
