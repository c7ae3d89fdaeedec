#include "core/base/environment.h"

#include <cstdlib>

#include "core/base/text.h"

namespace certwright {

std::optional<std::string_view> unicode_variable(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || !is_valid_utf8(value)) return std::nullopt;
  return std::string_view(value);
}

}  // namespace certwright
