// The certificate reader on hostile certificate text: it must refuse or read without crashing,
// and what it reads must encode to a text that it reads back to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/base/text.h"
#include "core/record/certificate_encoding.h"
#include "core/record/certificate_reader.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto certificate = certwright::read_certificate(text);
  if (!certificate) {
    // Refusals are messages for a terminal: one line of valid UTF-8.
    const std::string& message = certificate.error().message;
    require(certwright::is_valid_utf8(message) && message.find('\n') == std::string::npos);
    return 0;
  }
  const std::string pretty = certwright::encode_pretty(*certificate);
  const auto again = certwright::read_certificate(pretty);
  require(again.has_value());
  require(certwright::encode_pretty(*again) == pretty);
  require(certwright::encode_compact(*again) == certwright::encode_compact(*certificate));
  return 0;
}
