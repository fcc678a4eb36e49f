// Windows locale identifiers, as people read and write them.
#ifndef VNTR_SIM_LOCALES_H
#define VNTR_SIM_LOCALES_H

#include <cstdint>
#include <string>

namespace sim {

// "0x0407": how every human-readable output shows a locale identifier (the
// message files are named by the same four hexadecimal digits).
std::string LocaleText(uint32_t lcid);

// The language and country of a locale Windows 98 to XP ship with, such as
// "German, Germany"; nullptr for any other identifier.
const char* LocaleName(uint32_t lcid);

}  // namespace sim

#endif  // VNTR_SIM_LOCALES_H
