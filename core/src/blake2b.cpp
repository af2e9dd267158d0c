// BLAKE2b (RFC 7693), unkeyed, with a 32-byte digest: the checksum of every
// file of a saved index, which `b2sum -l 256` and Python's hashlib also
// compute, so a user can check a file with neither morvel nor Python.
#include "morvel/index_format.hpp"

#include <cstring>

namespace morvel {
namespace {

constexpr std::uint64_t initial[8] = {
    0x6a09e667f3bcc908ULL, 0xbb67ae8584caa73bULL, 0x3c6ef372fe94f82bULL,
    0xa54ff53a5f1d36f1ULL, 0x510e527fade682d1ULL, 0x9b05688c2b3e6c1fULL,
    0x1f83d9abfb41bd6bULL, 0x5be0cd19137e2179ULL};

constexpr std::uint8_t schedule[12][16] = {
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
    {14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3},
    {11, 8, 12, 0, 5, 2, 15, 13, 10, 14, 3, 6, 7, 1, 9, 4},
    {7, 9, 3, 1, 13, 12, 11, 14, 2, 6, 5, 10, 4, 0, 15, 8},
    {9, 0, 5, 7, 2, 4, 10, 15, 14, 1, 11, 12, 6, 8, 3, 13},
    {2, 12, 6, 10, 0, 11, 8, 3, 4, 13, 7, 5, 15, 14, 1, 9},
    {12, 5, 1, 15, 14, 13, 4, 10, 0, 7, 6, 3, 9, 2, 8, 11},
    {13, 11, 7, 14, 12, 1, 3, 9, 5, 0, 15, 4, 8, 6, 2, 10},
    {6, 15, 14, 9, 11, 3, 0, 8, 12, 2, 13, 7, 1, 4, 10, 5},
    {10, 2, 8, 4, 7, 6, 1, 5, 15, 11, 9, 14, 3, 12, 13, 0},
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
    {14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3}};

constexpr std::size_t block_size = 128;
constexpr std::size_t digest_size = 32;

std::uint64_t rotate_right(std::uint64_t value, int bits) noexcept {
  return (value >> bits) | (value << (64 - bits));
}

// Words are little-endian whatever the host.
std::uint64_t load_little(const std::uint8_t *bytes) noexcept {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i)
    value = (value << 8) | bytes[i];
  return value;
}

void mix(std::uint64_t *v, int a, int b, int c, int d, std::uint64_t x,
         std::uint64_t y) noexcept {
  v[a] = v[a] + v[b] + x;
  v[d] = rotate_right(v[d] ^ v[a], 32);
  v[c] = v[c] + v[d];
  v[b] = rotate_right(v[b] ^ v[c], 24);
  v[a] = v[a] + v[b] + y;
  v[d] = rotate_right(v[d] ^ v[a], 16);
  v[c] = v[c] + v[d];
  v[b] = rotate_right(v[b] ^ v[c], 63);
}

} // namespace

Blake2b256::Blake2b256() noexcept {
  std::memcpy(state_, initial, sizeof state_);
  // The parameter block: digest length, no key, fanout and depth 1.
  state_[0] ^= 0x01010000ULL ^ digest_size;
}

void Blake2b256::compress(const std::uint8_t *block, bool last) noexcept {
  std::uint64_t m[16];
  for (int i = 0; i < 16; ++i)
    m[i] = load_little(block + 8 * i);
  std::uint64_t v[16];
  for (int i = 0; i < 8; ++i) {
    v[i] = state_[i];
    v[i + 8] = initial[i];
  }
  v[12] ^= counter_[0];
  v[13] ^= counter_[1];
  if (last)
    v[14] = ~v[14];
  for (const auto &s : schedule) {
    mix(v, 0, 4, 8, 12, m[s[0]], m[s[1]]);
    mix(v, 1, 5, 9, 13, m[s[2]], m[s[3]]);
    mix(v, 2, 6, 10, 14, m[s[4]], m[s[5]]);
    mix(v, 3, 7, 11, 15, m[s[6]], m[s[7]]);
    mix(v, 0, 5, 10, 15, m[s[8]], m[s[9]]);
    mix(v, 1, 6, 11, 12, m[s[10]], m[s[11]]);
    mix(v, 2, 7, 8, 13, m[s[12]], m[s[13]]);
    mix(v, 3, 4, 9, 14, m[s[14]], m[s[15]]);
  }
  for (int i = 0; i < 8; ++i)
    state_[i] ^= v[i] ^ v[i + 8];
}

void Blake2b256::update(const void *data, std::size_t size) noexcept {
  const auto *bytes = static_cast<const std::uint8_t *>(data);
  // The last block is compressed differently, so a full block waits in
  // block_ until more bytes show it was not the last.
  while (size > 0) {
    if (filled_ == block_size) {
      counter_[0] += block_size;
      counter_[1] += counter_[0] < block_size ? 1 : 0;
      compress(block_, false);
      filled_ = 0;
    }
    const std::size_t taken =
        size < block_size - filled_ ? size : block_size - filled_;
    std::memcpy(block_ + filled_, bytes, taken);
    filled_ += taken;
    bytes += taken;
    size -= taken;
  }
}

std::string Blake2b256::hex_digest() {
  counter_[0] += filled_;
  counter_[1] += counter_[0] < filled_ ? 1 : 0;
  std::memset(block_ + filled_, 0, block_size - filled_);
  compress(block_, true);
  constexpr char digits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < digest_size; ++i) {
    const auto byte = static_cast<unsigned>(state_[i / 8] >> (8 * (i % 8)));
    text += digits[(byte >> 4) & 15];
    text += digits[byte & 15];
  }
  return text;
}

std::string blake2b_256(const void *data, std::size_t size) {
  Blake2b256 hash;
  hash.update(data, size);
  return hash.hex_digest();
}

} // namespace morvel
