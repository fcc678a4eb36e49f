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

const char* LocaleName(uint32_t lcid) {
    for (const Locale& l : kLocales)
        if (l.id == lcid) return l.name;
    return nullptr;
}

}  // namespace sim
