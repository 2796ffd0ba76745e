#include "checks/sha256.h"

#include "platform/text.h"

#include <algorithm>
#include <cstring>

#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
#define USQZ_SHA_EXTENSIONS 1
#include <cpuid.h>
#include <immintrin.h>
#else
#define USQZ_SHA_EXTENSIONS 0
#endif

namespace usqz {

namespace {

constexpr std::uint32_t kRounds[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr std::uint32_t rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

#if USQZ_SHA_EXTENSIONS
// The processor's SHA extensions (x86 and x64 since about 2017): several
// times the portable rounds' speed, which an executable of hundreds of
// megabytes is read at. The state goes in and out in the standard order.
__attribute__((target("sha,sse4.1"))) void blocksWithExtensions(std::uint32_t* state, const unsigned char* data,
                                                                std::size_t blocks) {
  const __m128i order = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  __m128i tmp = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0xB1);
  __m128i state1 = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4)), 0x1B);
  __m128i state0 = _mm_alignr_epi8(tmp, state1, 8);  // ABEF
  state1 = _mm_blend_epi16(state1, tmp, 0xF0);       // CDGH
  for (; blocks != 0; --blocks, data += 64) {
    const __m128i savedAbef = state0;
    const __m128i savedCdgh = state1;
    __m128i w[4];
    for (int i = 0; i < 4; ++i) {
      w[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)), order);
    }
#pragma GCC unroll 16
    for (int group = 0; group < 16; ++group) {
      __m128i& current = w[group & 3];
      __m128i message =
          _mm_add_epi32(current, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kRounds + 4 * group)));
      state1 = _mm_sha256rnds2_epu32(state1, state0, message);
      if (group >= 3 && group <= 14) {
        __m128i& next = w[(group + 1) & 3];
        next = _mm_sha256msg2_epu32(_mm_add_epi32(next, _mm_alignr_epi8(current, w[(group + 3) & 3], 4)), current);
      }
      message = _mm_shuffle_epi32(message, 0x0E);
      state0 = _mm_sha256rnds2_epu32(state0, state1, message);
      if (group >= 1 && group <= 12) {
        __m128i& previous = w[(group + 3) & 3];
        previous = _mm_sha256msg1_epu32(previous, current);
      }
    }
    state0 = _mm_add_epi32(state0, savedAbef);
    state1 = _mm_add_epi32(state1, savedCdgh);
  }
  tmp = _mm_shuffle_epi32(state0, 0x1B);          // FEBA
  state1 = _mm_shuffle_epi32(state1, 0xB1);       // DCHG
  state0 = _mm_blend_epi16(tmp, state1, 0xF0);    // DCBA
  state1 = _mm_alignr_epi8(state1, tmp, 8);       // HGFE
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), state0);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), state1);
}

bool processorHasShaExtensions() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
  const bool ssse3 = (c & (1u << 9)) != 0, sse41 = (c & (1u << 19)) != 0;
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
  return ssse3 && sse41 && (b & (1u << 29)) != 0;
}
#endif

bool& extensionsWanted() {
  static bool wanted = true;
  return wanted;
}

}  // namespace

void Sha256::useProcessorExtensions(bool use) { extensionsWanted() = use; }

bool Sha256::processorExtensionsInUse() {
#if USQZ_SHA_EXTENSIONS
  static const bool present = processorHasShaExtensions();
  return present && extensionsWanted();
#else
  return false;
#endif
}

Sha256::Sha256()
    : state_{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19} {}

void Sha256::block(const unsigned char* data) {
#if USQZ_SHA_EXTENSIONS
  if (processorExtensionsInUse()) {
    blocksWithExtensions(state_.data(), data, 1);
    return;
  }
#endif
  std::uint32_t w[64];
  for (int i = 0; i < 16; ++i) {
    w[i] = (std::uint32_t{data[4 * i]} << 24) | (std::uint32_t{data[4 * i + 1]} << 16) |
           (std::uint32_t{data[4 * i + 2]} << 8) | std::uint32_t{data[4 * i + 3]};
  }
  for (int i = 16; i < 64; ++i) {
    const auto s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
    const auto s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  auto [a, b, c, d, e, f, g, h] = state_;
  for (int i = 0; i < 64; ++i) {
    const auto t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + kRounds[i] + w[i];
    const auto t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  const std::uint32_t next[8] = {a, b, c, d, e, f, g, h};
  for (int i = 0; i < 8; ++i) state_[static_cast<std::size_t>(i)] += next[i];
}

void Sha256::update(std::string_view bytes) {
  totalBytes_ += bytes.size();
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t size = bytes.size();
  if (pendingSize_ != 0) {
    const auto take = std::min(size, pending_.size() - pendingSize_);
    std::memcpy(pending_.data() + pendingSize_, data, take);
    pendingSize_ += take;
    data += take;
    size -= take;
    if (pendingSize_ < pending_.size()) return;
    block(pending_.data());
    pendingSize_ = 0;
  }
#if USQZ_SHA_EXTENSIONS
  if (size >= 64 && processorExtensionsInUse()) {
    blocksWithExtensions(state_.data(), data, size / 64);
    data += size / 64 * 64;
    size %= 64;
  }
#endif
  for (; size >= 64; data += 64, size -= 64) block(data);
  if (size != 0) std::memcpy(pending_.data(), data, size);
  pendingSize_ = size;
}

std::u16string Sha256::finishHex() {
  const std::uint64_t bits = totalBytes_ * 8;
  const unsigned char one = 0x80;
  update(std::string_view(reinterpret_cast<const char*>(&one), 1));
  const char zero[64] = {};
  update(std::string_view(zero, (pendingSize_ <= 56 ? 56 : 120) - pendingSize_));
  unsigned char length[8];
  for (int i = 0; i < 8; ++i) length[i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
  update(std::string_view(reinterpret_cast<const char*>(length), 8));
  std::u16string hex;
  for (const auto word : state_) hex += toHex(word, 8, false);
  return hex;
}

}  // namespace usqz
