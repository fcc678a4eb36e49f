// CRC-32 as zip and PNG compute it: polynomial 0xEDB88320 (bits reflected),
// all ones before and after. The capture program sums the package files
// with it, and the simulator compares those sums with its example package;
// both take it from here.
#ifndef VNTR_CRC32_H
#define VNTR_CRC32_H

#include <stddef.h>

// The CRC of `size` more bytes after bytes whose CRC was `crc` (0 before the
// first byte). Bit by bit: the package files are small, and a table would
// cost the capture program 1 KB.
static inline unsigned int Crc32(unsigned int crc, const void* data, size_t size) {
    const unsigned char* p = (const unsigned char*)data;
    crc = ~crc;
    while (size--) {
        crc ^= *p++;
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

#endif  // VNTR_CRC32_H
