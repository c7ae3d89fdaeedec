// The parsed options of `build-certificate`.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace certwright {

// Paths are native byte strings, unconverted; text fields are valid UTF-8.
struct BuildCertificateArgs {
  std::string run_dir;
  std::string adapter = "unknown";
  std::optional<std::string> requirements_hash;
  std::vector<std::string> business_docs;
  std::optional<std::string> out;
  std::optional<std::string> repo_root;
  bool tenant_mode = false;
  std::optional<std::string> signer_subject;
  std::optional<std::string> signer_identity_provider;
  std::optional<std::string> signer_session_id;
  std::optional<std::string> stage_ids;
  bool require_operator_key = false;
  std::optional<std::string> corpus_attestation;
  bool require_corpus_binding = false;
  std::optional<std::string> sbom_dir;
  bool require_sbom_binding = false;
};

}  // namespace certwright
