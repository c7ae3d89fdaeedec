// parse_seed: any bytes as the Base64 text of a seed.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/base/base64.h"
#include "core/base/text.h"
#include "core/seal/signing_key.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto seed = certwright::parse_seed(text);
  if (seed) {
    // Decoding is strict, so a seed accepted must be the one canonical spelling of its bytes.
    if (certwright::base64_encode(seed->bytes()) != certwright::trim_white_space(text))
      std::abort();
  } else if (seed.error().find('\n') != std::string::npos ||
             !certwright::is_valid_utf8(seed.error())) {
    std::abort();
  }
  return 0;
}
