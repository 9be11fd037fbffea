#include "mapi/util/sha256.h"

#include <algorithm>
#include <cstring>

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define VARNOLT_SHA_EXTENSIONS 1
#include <cpuid.h>
#include <immintrin.h>
#else
#define VARNOLT_SHA_EXTENSIONS 0
#endif

namespace varnolt::mapi {

namespace {
constexpr std::uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr std::uint32_t rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void portableBlock(std::uint32_t* state, const std::uint8_t* p) {
  std::uint32_t w[64];
  for (int i = 0; i < 16; ++i)
    w[i] = (std::uint32_t{p[4 * i]} << 24) | (std::uint32_t{p[4 * i + 1]} << 16) |
           (std::uint32_t{p[4 * i + 2]} << 8) | std::uint32_t{p[4 * i + 3]};
  for (int i = 16; i < 64; ++i) {
    std::uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
    std::uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4], f = state[5], g = state[6], h = state[7];
  for (int i = 0; i < 64; ++i) {
    std::uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + kRound[i] + w[i];
    std::uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
  state[5] += f;
  state[6] += g;
  state[7] += h;
}

#if VARNOLT_SHA_EXTENSIONS
// The same compression with the processor's SHA extensions (the state is
// kept as ABEF and CDGH, as the round instructions take it).
__attribute__((target("sha,sse4.1"))) void hardwareBlocks(std::uint32_t* state, const std::uint8_t* data,
                                                          std::size_t blocks) {
  const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
  __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
  dcba = _mm_shuffle_epi32(dcba, 0xB1);                 // CDAB
  hgfe = _mm_shuffle_epi32(hgfe, 0x1B);                 // EFGH
  __m128i abef = _mm_alignr_epi8(dcba, hgfe, 8);        // ABEF
  __m128i cdgh = _mm_blend_epi16(hgfe, dcba, 0xF0);     // CDGH
  for (; blocks > 0; --blocks, data += 64) {
    const __m128i abefBefore = abef;
    const __m128i cdghBefore = cdgh;
    __m128i w[4];
    for (int i = 0; i < 4; ++i)
      w[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)), byteSwap);
    for (int i = 0; i < 16; ++i) {
      if (i >= 4) {
        // w[t] = s1(w[t-2]) + w[t-7] + s0(w[t-15]) + w[t-16], four at a time.
        __m128i next = _mm_sha256msg1_epu32(w[i & 3], w[(i + 1) & 3]);
        next = _mm_add_epi32(next, _mm_alignr_epi8(w[(i + 3) & 3], w[(i + 2) & 3], 4));
        w[i & 3] = _mm_sha256msg2_epu32(next, w[(i + 3) & 3]);
      }
      __m128i k = _mm_add_epi32(w[i & 3], _mm_loadu_si128(reinterpret_cast<const __m128i*>(kRound + 4 * i)));
      cdgh = _mm_sha256rnds2_epu32(cdgh, abef, k);
      k = _mm_shuffle_epi32(k, 0x0E);
      abef = _mm_sha256rnds2_epu32(abef, cdgh, k);
    }
    abef = _mm_add_epi32(abef, abefBefore);
    cdgh = _mm_add_epi32(cdgh, cdghBefore);
  }
  const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));  // DCBA
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));  // HGFE
}

bool processorHasSha() {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) || !(ebx & (1u << 29))) return false;
  // SSSE3 and SSE4.1 for the shuffles and blends.
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
  return (ecx & (1u << 9)) && (ecx & (1u << 19));
}
#endif
}  // namespace

namespace detail {

bool sha256Hardware() {
#if VARNOLT_SHA_EXTENSIONS
  static const bool has = processorHasSha();
  return has;
#else
  return false;
#endif
}

void sha256Blocks(std::uint32_t* state, const std::uint8_t* data, std::size_t blocks, bool allowHardware) {
#if VARNOLT_SHA_EXTENSIONS
  if (allowHardware && sha256Hardware()) {
    hardwareBlocks(state, data, blocks);
    return;
  }
#else
  (void)allowHardware;
#endif
  for (; blocks > 0; --blocks, data += 64) portableBlock(state, data);
}

}  // namespace detail


Sha256::Sha256()
    : h_{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19} {}

void Sha256::update(const void* data, std::size_t size) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  total_ += size;
  if (used_ > 0) {
    std::size_t take = std::min(size, buf_.size() - used_);
    std::memcpy(buf_.data() + used_, p, take);
    used_ += take;
    p += take;
    size -= take;
    if (used_ < buf_.size()) return;
    detail::sha256Blocks(h_.data(), buf_.data(), 1);
    used_ = 0;
  }
  const std::size_t blocks = size / 64;
  detail::sha256Blocks(h_.data(), p, blocks);
  p += blocks * 64;
  size -= blocks * 64;
  if (size > 0) {
    std::memcpy(buf_.data(), p, size);
    used_ = size;
  }
}

std::array<std::uint8_t, 32> Sha256::finish() {
  std::uint64_t bits = total_ * 8;
  std::uint8_t pad[72] = {0x80};
  std::size_t padLen = (used_ < 56) ? 56 - used_ : 120 - used_;
  for (int i = 0; i < 8; ++i) pad[padLen + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
  update(pad, padLen + 8);
  std::array<std::uint8_t, 32> out{};
  for (int i = 0; i < 8; ++i)
    for (int j = 0; j < 4; ++j) out[static_cast<std::size_t>(4 * i + j)] = static_cast<std::uint8_t>(h_[static_cast<std::size_t>(i)] >> (24 - 8 * j));
  return out;
}

std::string Sha256::finishHex() {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (auto b : finish()) {
    s += digits[b >> 4];
    s += digits[b & 15];
  }
  return s;
}

std::string sha256Hex(const void* data, std::size_t size) {
  Sha256 h;
  h.update(data, size);
  return h.finishHex();
}

}  // namespace varnolt::mapi
