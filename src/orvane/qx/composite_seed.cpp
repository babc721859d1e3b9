// The seed of a projection: the first four bytes, big-endian, of the SHA-1
// digest (FIPS 180-4) of its key text "name:in_dim:out_dim".
//
// The digest is computed here rather than through hashlib because it is
// needed on every projecting call, and one short message costs well under a
// microsecond this way.
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace orvane_composite {
namespace {

inline std::uint32_t rotl(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

void compress(std::uint32_t h[5], const unsigned char block[64]) {
    std::uint32_t w[80];
    for (int t = 0; t < 16; ++t)
        w[t] = (std::uint32_t{block[4 * t]} << 24) | (std::uint32_t{block[4 * t + 1]} << 16) |
               (std::uint32_t{block[4 * t + 2]} << 8) | std::uint32_t{block[4 * t + 3]};
    for (int t = 16; t < 80; ++t) w[t] = rotl(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);
    std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
    // Rounds 0-19, 20-39, 40-59 and 60-79 each have their constant and their
    // function of b, c, d: choice, parity, majority, parity.
    constexpr std::uint32_t k[4] = {0x5a827999u, 0x6ed9eba1u, 0x8f1bbcdcu, 0xca62c1d6u};
    for (int t = 0; t < 80; ++t) {
        const int r = t / 20;
        const std::uint32_t f = r == 0 ? (b & c) | (~b & d) : r == 2 ? (b & c) | (b & d) | (c & d) : b ^ c ^ d;
        const std::uint32_t tmp = rotl(a, 5) + f + e + k[r] + w[t];
        e = d;
        d = c;
        c = rotl(b, 30);
        b = a;
        a = tmp;
    }
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
}

}  // namespace

std::uint32_t sha1_prefix32(const unsigned char* data, std::size_t len) {
    std::uint32_t h[5] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u, 0xc3d2e1f0u};
    std::size_t done = 0;
    for (; len - done >= 64; done += 64) compress(h, data + done);
    // Final block(s): the rest, a 1 bit, zeros, then the bit length.
    unsigned char tail[128] = {};
    const std::size_t rest = len - done;
    std::memcpy(tail, data + done, rest);
    tail[rest] = 0x80;
    const std::size_t tail_len = rest + 9 <= 64 ? 64 : 128;
    const std::uint64_t bits = static_cast<std::uint64_t>(len) * 8u;
    for (int i = 0; i < 8; ++i) tail[tail_len - 1 - i] = static_cast<unsigned char>(bits >> (8 * i));
    compress(h, tail);
    if (tail_len == 128) compress(h, tail + 64);
    return h[0];
}

}  // namespace orvane_composite
