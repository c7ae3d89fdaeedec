// The corpus attestation bound into a certificate by hash.
#pragma once

#include <optional>
#include <string>

#include "core/record/certificate.h"

namespace certwright {

// The binding of the attestation named by `option` (its bytes opened as they are), else by
// ZEM_CORPUS_ATTESTATION_PATH; none, silently, with neither, and none after a warning when it
// cannot be read (past 32 MiB it is "File too large") or parsed.
std::optional<CorpusBinding> resolve_corpus_binding(const std::optional<std::string>& option);

}  // namespace certwright
