#include "cli/verify_args.h"

#include <algorithm>
#include <array>
#include <charconv>

#include "core/base/date_time.h"
#include "core/base/text.h"
#include "core/seal/public_key.h"
#include "core/verify/release_policy.h"

namespace certwright {

namespace {

// The usage error of the outputs beside the report, or none.
std::optional<std::string> check_output_args(const VerifyArgs& args) {
  if (args.vsa && (!args.vsa_key_file || !args.verifier_id))
    return "'--vsa <FILE>' needs '--vsa-key-file <SEED>' and '--verifier-id <URI>'";
  if (!args.vsa && (args.vsa_key_file || args.resource_uri))
    return "'--vsa-key-file' and '--resource-uri' describe the summary: give '--vsa <FILE>'";
  if (!args.vsa && args.verifier_id)
    return "'--verifier-id' names the verifier of '--vsa' or '--vsa-check'";
  return std::nullopt;
}

// The usage error of `--vsa-check`, which reads a summary in place of certificates.
std::optional<std::string> check_vsa_check_args(const VerifyArgs& args) {
  if (!args.certificate.empty() || !args.more_certificates.empty() || args.files_from)
    return "'--vsa-check <FILE>' reads a summary, not certificates: give no CERTIFICATE";
  if (!args.vsa_key || !args.subject)
    return "'--vsa-check <FILE>' needs '--vsa-key <KEY>' and '--subject <FILE>'";
  if (const auto key = parse_public_key(*args.vsa_key); !key)
    return "invalid value '" + single_line(*args.vsa_key) +
           "' for '--vsa-key <KEY>': " + key.error();
  if (args.max_age && !parse_duration_seconds(*args.max_age))
    return "invalid value '" + single_line(*args.max_age) +
           "' for '--max-age <DURATION>': expected a whole number and s, m, h or d (90m, 24h, 7d)";
  return std::nullopt;
}

}  // namespace

bool verify_needs_no_certificate(const VerifyArgs& args) {
  return args.policy_schema || args.vsa_check.has_value();
}

bool verify_positional_optional(const VerifyArgs& args) {
  return verify_needs_no_certificate(args) || args.files_from.has_value();
}

std::size_t required_timestamps(const VerifyArgs& args) {
  if (!args.require_timestamp) return 0;
  if (args.require_timestamp->empty()) return 1;
  std::size_t count = 0;
  const std::string& text = *args.require_timestamp;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), count);
  if (error != std::errc() || end != text.data() + text.size() || count > 100) return 0;
  return count;
}

std::optional<std::string> check_verify_args(const VerifyArgs& args) {
  if (args.policy_schema) return std::nullopt;
  if (args.vsa_check) return check_vsa_check_args(args);
  if (args.vsa_key || args.subject)
    return "'--vsa-key' and '--subject' belong to '--vsa-check <FILE>'";
  if (const auto fault = check_output_args(args)) return fault;
  if (args.format != "text" && args.format != "json" && args.format != "jsonl")
    return "invalid value '" + single_line(args.format) +
           "' for '--format <FORMAT>': expected 'text', 'json' or 'jsonl'";
  if (args.format == "jsonl" &&
      (args.report || args.junit || args.markdown || args.html || args.vsa))
    return "'--format jsonl' writes each report as its verdict is taken and keeps none: "
           "'--report', '--junit', '--markdown', '--html' and '--vsa' need them all (give "
           "'--format json')";
  if (args.null_separated && !args.files_from) return "'--null' needs '--files-from'";
  const bool has_keys =
      !args.public_keys.empty() || !args.public_key_files.empty() || !args.allowed_signers.empty();
  if (args.integrity_only && has_keys)
    return "'--integrity-only' trusts no key and cannot be used with '--public-key', "
           "'--public-key-file' or '--allowed-signers'";
  // A policy file may state the trust; that is checked once it is read.
  if (!args.integrity_only && !has_keys && !args.policy)
    return "trust must be stated: give the trusted keys with '--public-key', "
           "'--public-key-file' or '--allowed-signers', or '--integrity-only' to check integrity "
           "alone";
  if (args.max_age && !parse_duration_seconds(*args.max_age))
    return "invalid value '" + single_line(*args.max_age) +
           "' for '--max-age <DURATION>': expected a whole number and s, m, h or d (90m, 24h, 7d)";
  const bool several = !args.more_certificates.empty();
  if (several &&
      (args.run_dir || !args.business_docs.empty() || args.corpus_attestation || args.sbom_dir))
    return "'--run-dir', '--business-docs', '--corpus-attestation' and '--sbom-dir' describe one "
           "run: give one certificate with them";
  if (several && args.attestation)
    return "'--attestation <FILE>' is the bundle of one certificate: give one certificate with it";
  const auto is_stdin = [](const std::string& path) { return path == "-"; };
  if ((is_stdin(args.certificate) ? 1 : 0) +
          std::ranges::count_if(args.more_certificates, is_stdin) +
          (args.files_from == "-" ? 1 : 0) >
      1)
    return "standard input ('-') can be read only once";
  if (args.require_full_coverage && !args.run_dir)
    return "'--require-full-coverage' needs '--run-dir'";
  if (args.allow_ephemeral && args.require_operator_key)
    return "'--allow-ephemeral' cannot be used with '--require-operator-key'";
  for (const std::string& key : args.public_keys)
    if (const auto parsed = parse_public_key(key); !parsed)
      return "invalid value '" + single_line(key) + "' for '--public-key <KEY>': " + parsed.error();
  for (const std::string& key : args.platform_keys)
    if (const auto parsed = parse_public_key(key); !parsed)
      return "invalid value '" + single_line(key) +
             "' for '--platform-key <KEY>': " + parsed.error();
  if (args.require_countersign && args.platform_keys.empty() && args.platform_key_files.empty())
    return "'--require-countersign' needs the trusted platform keys: give '--platform-key' or "
           "'--platform-keys'";
  if (args.require_timestamp && !args.require_timestamp->empty() && required_timestamps(args) == 0)
    return "invalid value '" + single_line(*args.require_timestamp) +
           "' for '--require-timestamp[=<N>]': expected a whole number from 1 to 100";
  if (args.require_timestamp && args.tsa_certs.empty())
    return "'--require-timestamp' needs the trusted timestamp authorities: give '--tsa-certs'";
  if (args.at && !parse_time_text(*args.at))
    return "invalid value '" + single_line(*args.at) +
           "' for '--at <TIME>': expected an RFC 3339 date-time or YYYYMMDD[HHMM[SS]]Z";
  return std::nullopt;
}

}  // namespace certwright
