#include "core/store/sql_database.h"

#include <optional>

namespace certwright {

std::int64_t integer_of(const SqlValue& value) {
  const auto* integer = std::get_if<std::int64_t>(&value);
  return integer ? *integer : 0;
}

const std::string& bytes_of(const SqlValue& value) {
  static const std::string empty;
  const auto* bytes = std::get_if<std::string>(&value);
  return bytes ? *bytes : empty;
}

std::optional<std::string> optional_bytes_of(const SqlValue& value) {
  const auto* bytes = std::get_if<std::string>(&value);
  if (!bytes) return std::nullopt;
  return *bytes;
}

}  // namespace certwright
