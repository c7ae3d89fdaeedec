#include "core/seal/ed25519_point.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

namespace certwright {
namespace {

std::array<unsigned char, 32> from_hex(std::string_view hex) {
  std::array<unsigned char, 32> bytes{};
  for (std::size_t i = 0; i < bytes.size(); ++i)
    bytes[i] =
        static_cast<unsigned char>(std::stoi(std::string(hex.substr(2 * i, 2)), nullptr, 16));
  return bytes;
}

TEST(Ed25519Point, RefusesSmallOrderAndNonCanonicalKeys) {
  struct Case {
    std::string_view hex;
    std::string_view refused;  // a word of the reason, or empty when the key is sound
  };
  const Case cases[] = {
      // The eight points of small order (with x's sign where x is not 0).
      {"0000000000000000000000000000000000000000000000000000000000000000", "small order"},
      {"0000000000000000000000000000000000000000000000000000000000000080", "small order"},
      {"0100000000000000000000000000000000000000000000000000000000000000", "small order"},
      {"ecffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", "small order"},
      {"26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc05", "small order"},
      {"26e8958fc2b227b045c3f489f2ef98f0d5dfac05d3c63339b13802886d53fc85", "small order"},
      {"c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac037a", "small order"},
      {"c7176a703d4dd84fba3c0b760d10670f2a2053fa2c39ccc64ec7fd7792ac03fa", "small order"},
      // x = 0 with the sign bit set: the identity and p - 1 spelled otherwise.
      {"0100000000000000000000000000000000000000000000000000000000000080", "small order"},
      // y = p and y = p + 1 (0 and 1 again), and the largest y: not canonical.
      {"edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", "canonical"},
      {"eeffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f", "canonical"},
      {"ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff", "canonical"},
      // RFC 8032 test 1's key, and 2 (a y below p whose point is not small).
      {"d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", ""},
      {"0200000000000000000000000000000000000000000000000000000000000000", ""},
  };
  for (const Case& c : cases) {
    const auto reason = weak_public_key_reason(from_hex(c.hex));
    if (c.refused.empty()) {
      EXPECT_FALSE(reason) << c.hex << ": " << *reason;
    } else {
      ASSERT_TRUE(reason) << c.hex;
      EXPECT_NE(reason->find(c.refused), std::string::npos) << c.hex << ": " << *reason;
    }
  }
}

}  // namespace
}  // namespace certwright
