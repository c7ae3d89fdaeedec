// Base64 with the standard alphabet and "=" padding (RFC 4648 section 4), decoded strictly.
#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <string>
#include <string_view>

namespace certwright {

// The padded encoding of `bytes`; cannot fail.
std::string base64_encode(std::span<const unsigned char> bytes);
// The same, appended to `out` in place (no second copy of a large encoding).
void base64_append(std::string& out, std::span<const unsigned char> bytes);
// The padded encoding of the `size` bytes at `bytes`, written to the base64_encoded_size(size)
// characters at `out`. The two may overlap when `out` does not start before `bytes`: a payload
// can be encoded where it lies, in a buffer with room for the longer text.
void base64_encode_to(const unsigned char* bytes, std::size_t size, char* out);

// The length of the padded encoding of `size` bytes.
constexpr std::size_t base64_encoded_size(std::size_t size) {
  return (size + 2) / 3 * 4;
}

// An upper bound on the number of bytes `text` decodes to (used to size the output).
std::size_t base64_decoded_size(std::string_view text);

// Decodes `text` into `out` (at least base64_decoded_size(text) bytes) and returns the number
// of bytes written, or the decoder's description: "Invalid symbol {byte}, offset {offset}.",
// "Invalid input length: {n}", "Invalid last symbol {byte}, offset {offset}." or
// "Invalid padding" ("output buffer too small" when `out` is under that size). Canonical
// padding and zero spare bits are required. `out` may hold partial output on failure; the
// caller wipes it.
std::expected<std::size_t, std::string> base64_decode(std::string_view text,
                                                      std::span<unsigned char> out);

// Base64url (RFC 4648 section 5) without padding, as JOSE (RFC 7515) writes its segments.
std::string base64url_encode(std::span<const unsigned char> bytes);

// The bytes of unpadded Base64url `text`, decoded strictly: "=", "+", "/" and any other symbol
// outside the URL-safe alphabet, a length that leaves one spare symbol, and non-zero spare bits
// are refused, so each byte string has exactly one text. The error names the fault.
std::expected<std::string, std::string> base64url_decode(std::string_view text);

}  // namespace certwright
