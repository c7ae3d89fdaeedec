// The parsed options of `certwright-verify`.
#pragma once

#include <array>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace certwright {

// Paths are native byte strings, unconverted; text fields are valid UTF-8.
struct VerifyArgs {
  std::string certificate;
  std::vector<std::string> public_keys;
  std::vector<std::string> public_key_files;
  bool integrity_only = false;
  std::optional<std::string> signer_subject;
  std::optional<std::string> signer_identity_provider;
  bool require_operator_key = false;
  bool allow_ephemeral = false;
  bool require_corpus_binding = false;
  bool require_sbom_binding = false;
  bool require_posture_binding = false;
  std::optional<std::string> run_dir;
  std::vector<std::string> business_docs;
  std::optional<std::string> corpus_attestation;
  std::optional<std::string> sbom_dir;
  std::optional<std::string> attestation;  // a bundle or envelope for `certificate`
  std::string format = "text";
  bool quiet = false;
};

// The public key that `text` holds (44 characters of strict Base64 holding 32 bytes, white space
// around it ignored); why it holds none otherwise.
std::expected<std::array<unsigned char, 32>, std::string> parse_public_key(std::string_view text);

// The usage error in options that parse one by one but not together, or none.
std::optional<std::string> check_verify_args(const VerifyArgs& args);

}  // namespace certwright
