// The corpus attestation: any bytes as its JSON file. An attestation that parses always has a
// canonical text and so a hash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/evidence/corpus_attestation.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto attestation = certwright::parse_corpus_attestation(text);
  if (attestation && !certwright::attestation_hash(*attestation)) std::abort();
  return 0;
}
