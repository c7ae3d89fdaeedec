// The corpus attestation bound into a certificate by hash.
#pragma once

#include <optional>
#include <string>

#include "core/certificate.h"

namespace certwright {

// The binding of the attestation named by `option`, else by ZEM_CORPUS_ATTESTATION_PATH; none,
// silently, with neither, and none after a warning when it cannot be read or parsed.
std::optional<CorpusBinding> resolve_corpus_binding(const std::optional<std::string>& option);

}  // namespace certwright
