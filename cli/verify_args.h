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
  std::vector<std::string> more_certificates;  // after the first; "-" is standard input
  std::optional<std::string> files_from;  // more certificates, one a line ("-": standard input)
  bool null_separated = false;            // the list's names end in NUL, not a line feed
  std::vector<std::string> public_keys;
  std::vector<std::string> public_key_files;
  std::vector<std::string> allowed_signers;
  std::vector<std::string> platform_keys;       // each a key, known by its fingerprint
  std::vector<std::string> platform_key_files;  // lines "KID KEY [window]"
  std::vector<std::string> revoked_keys;        // revocation files
  bool require_countersign = false;
  std::vector<std::string> tsa_certs;            // PEM: trusted timestamp authorities
  std::optional<std::string> require_timestamp;  // "" for one token, else how many
  std::optional<std::string> at;                 // the time judged at, in place of now
  bool integrity_only = false;
  std::optional<std::string> signer_subject;
  std::optional<std::string> signer_identity_provider;
  bool require_operator_key = false;
  bool allow_ephemeral = false;
  bool require_corpus_binding = false;
  bool require_sbom_binding = false;
  bool require_posture_binding = false;
  std::vector<std::string> required_stages;
  bool forbid_skipped = false;
  std::optional<std::string> pipeline_run_id;
  std::optional<std::string> signer_session_id;
  std::optional<std::string> max_age;
  std::vector<std::string> artifacts;
  std::optional<std::string> run_dir;
  std::vector<std::string> business_docs;
  std::optional<std::string> corpus_attestation;
  std::optional<std::string> sbom_dir;
  bool require_full_coverage = false;
  std::optional<std::string> attestation;  // a bundle or envelope for `certificate`
  std::string format = "text";
  std::optional<std::string> report;
  bool quiet = false;
  bool forbid_other_stages = false;   // no stage recorded but the required ones
  std::optional<std::string> policy;  // the gate's policy file
  bool policy_schema = false;         // print the policy file's schema
  std::optional<std::string> junit;
  std::optional<std::string> markdown;
  std::optional<std::string> html;
  std::optional<std::string> vsa;  // a signed verification summary
  std::optional<std::string> vsa_key_file;
  std::optional<std::string> verifier_id;
  std::optional<std::string> resource_uri;
  std::optional<std::string> vsa_check;  // a summary to check, in place of certificates
  std::optional<std::string> vsa_key;
  std::optional<std::string> subject;
};

// How many timestamp tokens --require-timestamp asks for: 0 without it, 1 for a bare
// --require-timestamp, else its value (checked by check_verify_args).
std::size_t required_timestamps(const VerifyArgs& args);

// The usage error in options that parse one by one but not together, or none.
std::optional<std::string> check_verify_args(const VerifyArgs& args);

// True when the options ask for no certificate: the policy schema, or a summary to check.
bool verify_needs_no_certificate(const VerifyArgs& args);

// True when CERTIFICATE may be left out: no certificate is asked for, or a `--files-from` list
// names them.
bool verify_positional_optional(const VerifyArgs& args);

}  // namespace certwright
