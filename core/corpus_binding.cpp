#include "core/corpus_binding.h"

namespace certwright {

std::optional<CorpusBinding> resolve_corpus_binding(const std::optional<std::string>&) {
  return std::nullopt;
}

}  // namespace certwright
