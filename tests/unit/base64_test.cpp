#include "core/base/base64.h"

#include <gtest/gtest.h>

#include <vector>

namespace certwright {
namespace {

std::span<const unsigned char> bytes_of(std::string_view text) {
  return {reinterpret_cast<const unsigned char*>(text.data()), text.size()};
}

std::expected<std::string, std::string> decode(std::string_view text) {
  std::vector<unsigned char> out(base64_decoded_size(text));
  const auto length = base64_decode(text, out);
  if (!length) return std::unexpected(length.error());
  return std::string(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(*length));
}

TEST(Base64, EncodesAndDecodesTheRfcVectors) {
  struct Case {
    std::string_view bytes;
    std::string_view text;
  };
  const Case cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(base64_encode(bytes_of(c.bytes)), c.text);
    EXPECT_EQ(decode(c.text), std::string(c.bytes)) << c.text;
  }
}

TEST(Base64, RoundTripsEveryByteValueAtEveryTailLength) {
  std::vector<unsigned char> bytes(259);
  for (std::size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = static_cast<unsigned char>(255 - i * 7);
  for (std::size_t length : {256u, 257u, 258u, 259u}) {
    const std::span<const unsigned char> input(bytes.data(), length);
    const std::string text = base64_encode(input);
    ASSERT_EQ(text.size() % 4, 0u);
    const auto decoded = decode(text);
    ASSERT_TRUE(decoded) << decoded.error();
    EXPECT_EQ(*decoded, std::string(input.begin(), input.end()));
  }
}

TEST(Base64, EncodesInPlaceIntoALongerBuffer) {
  for (std::size_t length = 0; length <= 7; ++length) {
    std::string buffer(base64_encoded_size(length), '\0');
    for (std::size_t i = 0; i < length; ++i)
      buffer[i] = static_cast<char>(0xF0 + i);
    const std::string expected = base64_encode(bytes_of(std::string_view(buffer.data(), length)));
    base64_encode_to(reinterpret_cast<const unsigned char*>(buffer.data()), length, buffer.data());
    EXPECT_EQ(buffer, expected) << length;
  }
  // Appending past the capacity, by less than the capacity again, gives the encoding's size.
  std::string grown(100, 'x');
  grown.shrink_to_fit();
  base64_append(grown, bytes_of(std::string(30, 'a')));
  EXPECT_EQ(grown.size(), 100 + base64_encoded_size(30));
}

TEST(Base64, DescribesEachMalformedInput) {
  struct Case {
    std::string_view text;
    std::string_view description;
  };
  const Case cases[] = {
      // Missing padding.
      {"Zm8", "Invalid padding"},
      {"Zg=", "Invalid padding"},
      {"Zg", "Invalid padding"},
      // A length of 4k+1 whose last character is a data symbol.
      {"Z", "Invalid input length: 1"},
      {"Zm9vY", "Invalid input length: 5"},
      // ... and whose last character is not: that character is named instead.
      {"Zm9v\n", "Invalid symbol 10, offset 4."},
      {"Z-9v-", "Invalid symbol 45, offset 4."},
      // Characters outside the standard alphabet.
      {"Zm-v", "Invalid symbol 45, offset 2."},
      {"Zm_v", "Invalid symbol 95, offset 2."},
      {"Zm9v\nZm8=", "Invalid symbol 10, offset 4."},
      {"Zm 9v", "Invalid symbol 32, offset 2."},
      {"Zm9vZm\xC3\xA9", "Invalid symbol 195, offset 6."},
      // "=" anywhere but at the end, or too many of them.
      {"Zg==Zg==", "Invalid symbol 61, offset 2."},
      {"Zg=a", "Invalid symbol 61, offset 2."},
      {"Zm9vZ===", "Invalid symbol 61, offset 5."},
      {"Zm9v====", "Invalid symbol 61, offset 4."},
      {"=", "Invalid symbol 61, offset 0."},
      {"Zm8==", "Invalid symbol 61, offset 3."},
      {"Zg===", "Invalid symbol 61, offset 2."},
      {"Zm9vYg===", "Invalid symbol 61, offset 6."},
      // Non-zero spare bits in the last data symbol.
      {"Zh==", "Invalid last symbol 104, offset 1."},
      {"Zm9=", "Invalid last symbol 57, offset 2."},
      {"Zm9vZm9=", "Invalid last symbol 57, offset 6."},
  };
  for (const auto& c : cases) {
    const auto decoded = decode(c.text);
    ASSERT_FALSE(decoded) << c.text;
    EXPECT_EQ(decoded.error(), c.description) << c.text;
  }
}

TEST(Base64Url, EncodesUnpaddedAndDecodesOnlyItsOwnText) {
  const std::string all_bytes = [] {
    std::string bytes;
    for (int value = 0; value < 256; ++value)
      bytes.push_back(static_cast<char>(value));
    return bytes;
  }();
  for (std::size_t length = 0; length <= 6; ++length) {
    const std::string bytes = all_bytes.substr(250 - length, length);
    const std::string text = base64url_encode(bytes_of(bytes));
    EXPECT_EQ(text.find_first_of("+/="), std::string::npos) << text;
    EXPECT_EQ(base64url_decode(text), bytes) << text;
  }
  EXPECT_EQ(base64url_encode(bytes_of("\xfb\xff")), "-_8");

  struct Case {
    std::string_view text;
    std::string_view description;
  };
  const Case cases[] = {
      {"Zg==", "Invalid symbol 61, offset 2."},  // padding
      {"-_8=", "Invalid symbol 61, offset 3."},
      {"+_8", "Invalid symbol 43, offset 0."},  // the standard alphabet's symbols
      {"-/8", "Invalid symbol 47, offset 1."},
      {"Zh", "Invalid last symbol 104, offset 1."},  // spare bits set: another text's bytes
      {"Zm9vY", "Invalid input length: 5"},
      {"Zm 9", "Invalid symbol 32, offset 2."},
  };
  for (const auto& c : cases) {
    const auto decoded = base64url_decode(c.text);
    ASSERT_FALSE(decoded) << c.text;
    EXPECT_EQ(decoded.error(), c.description) << c.text;
  }
}

}  // namespace
}  // namespace certwright
