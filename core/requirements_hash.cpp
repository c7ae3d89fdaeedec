#include "core/requirements_hash.h"

namespace certwright {

std::expected<std::string, DocumentReadError> hash_business_docs(const std::vector<std::string>&) {
  return std::string();
}
std::expected<std::string, DocumentReadError> resolve_requirements_hash(
    const std::vector<std::string>&, const std::optional<std::string>& requirements_hash) {
  return requirements_hash.value_or("");
}

}  // namespace certwright
