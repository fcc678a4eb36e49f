// The single-byte ANSI code pages the simulated machine can have.
#ifndef VNTR_SIM_CODEPAGE_TABLES_H
#define VNTR_SIM_CODEPAGE_TABLES_H

#include <cstddef>
#include <cstdint>

namespace sim {

struct CodePageTable {
    uint32_t id;
    uint16_t high[128];  // the character of each byte from 0x80
};

extern const CodePageTable kCodePageTables[];
extern const size_t kCodePageCount;

}  // namespace sim

#endif
