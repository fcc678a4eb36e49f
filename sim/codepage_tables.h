// The ANSI code pages the simulated machine can have, made by the build
// (scripts/mkcodepages.py) from the C library's iconv.
#ifndef VNTR_SIM_CODEPAGE_TABLES_H
#define VNTR_SIM_CODEPAGE_TABLES_H

#include <cstddef>
#include <cstdint>

namespace sim {

// The first byte that can follow a lead byte in a double-byte code page:
// the rows of `pairs` below start there.
constexpr unsigned kFirstTrail = 0x40;
constexpr unsigned kTrailCount = 0x100 - kFirstTrail;

struct CodePageTable {
    uint32_t id;
    // The character of each byte from 0x80 that stands alone; 0 for a lead
    // byte.
    const uint16_t* high;
    // Null for a single-byte code page. Otherwise, for each byte from 0x80:
    // 0, or 1 + the row of `pairs` that the lead byte begins.
    const uint8_t* leads;
    // Rows of kTrailCount characters, one for each trail byte from
    // kFirstTrail; 0 where the pair stands for no character.
    const uint16_t* pairs;
    // Pairs that stand for a character whose code is another pair (cp932's
    // NEC and IBM rows), ending with 0.
    const uint16_t* alternates;
};

extern const CodePageTable kCodePageTables[];
extern const size_t kCodePageCount;

// Pairs of a character above U+007F and its upper case, in the order of the
// first, for the characters of the tables above.
extern const uint16_t kUpperCase[][2];
extern const size_t kUpperCaseCount;

}  // namespace sim

#endif
