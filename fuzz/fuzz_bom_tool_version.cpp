// bom_tool_version: any bytes as a BOM. The version goes into the certificate as text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/base/text.h"
#include "core/evidence/sbom_binding.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto version =
      certwright::bom_tool_version(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!certwright::is_valid_utf8(version)) std::abort();
  return 0;
}
