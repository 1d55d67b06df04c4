// Big-endian access to font data, byte by byte: no alignment is assumed and
// the host's byte order plays no part.
#ifndef NAMESMITH_BYTE_ORDER_H_
#define NAMESMITH_BYTE_ORDER_H_

#include <cstdint>

inline uint16_t LoadU16(const uint8_t* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

inline uint32_t LoadU32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

inline void StoreU16(uint8_t* p, uint16_t value) {
  p[0] = static_cast<uint8_t>(value >> 8);
  p[1] = static_cast<uint8_t>(value);
}

/// True when `count` bytes starting at `offset` lie inside `size` bytes.
/// The sum is formed in 64 bits, so no 32-bit offset or count can wrap it.
inline bool Fits(uint64_t offset, uint64_t count, uint64_t size) {
  return offset + count <= size;
}

#endif  // NAMESMITH_BYTE_ORDER_H_
