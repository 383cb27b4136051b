#ifndef EFIS_SHARED_CRC_H
#define EFIS_SHARED_CRC_H

#include <cstdint>

// Word-wise CRC-32 (poly 0x04C11DB7, init 0xFFFFFFFF, no reflection, no final
// XOR), each word fed most significant byte first. Does not change the data.
uint32_t EFIS_crc(uint32_t* data, uint32_t words);

#endif
