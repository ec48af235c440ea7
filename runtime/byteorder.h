// Fixed-width integers read from and written to byte buffers in a given
// byte order, at any alignment: the one kernel the hashes, digests,
// checksums, codecs and image readers share.
#pragma once
#include <bit>
#include <cstdint>
#include <cstring>

namespace vel {

namespace byteorder_detail {

template <class U>
inline U swap_to(U v, std::endian order) {
  if (order == std::endian::native) return v;
  if constexpr (sizeof(U) == 2) return U(__builtin_bswap16(v));
  else if constexpr (sizeof(U) == 4) return __builtin_bswap32(v);
  else return __builtin_bswap64(v);
}

template <class U>
inline U load(const uint8_t* p, std::endian order) {
  U v;
  std::memcpy(&v, p, sizeof v);
  return swap_to(v, order);
}

template <class U>
inline void store(uint8_t* p, U v, std::endian order) {
  v = swap_to(v, order);
  std::memcpy(p, &v, sizeof v);
}

}  // namespace byteorder_detail

inline uint16_t load_le16(const uint8_t* p) { return byteorder_detail::load<uint16_t>(p, std::endian::little); }
inline uint32_t load_le32(const uint8_t* p) { return byteorder_detail::load<uint32_t>(p, std::endian::little); }
inline uint64_t load_le64(const uint8_t* p) { return byteorder_detail::load<uint64_t>(p, std::endian::little); }
inline uint16_t load_be16(const uint8_t* p) { return byteorder_detail::load<uint16_t>(p, std::endian::big); }
inline uint32_t load_be32(const uint8_t* p) { return byteorder_detail::load<uint32_t>(p, std::endian::big); }
inline uint64_t load_be64(const uint8_t* p) { return byteorder_detail::load<uint64_t>(p, std::endian::big); }

inline void store_le32(uint8_t* p, uint32_t v) { byteorder_detail::store(p, v, std::endian::little); }
inline void store_le64(uint8_t* p, uint64_t v) { byteorder_detail::store(p, v, std::endian::little); }
inline void store_be32(uint8_t* p, uint32_t v) { byteorder_detail::store(p, v, std::endian::big); }
inline void store_be64(uint8_t* p, uint64_t v) { byteorder_detail::store(p, v, std::endian::big); }

}  // namespace vel
