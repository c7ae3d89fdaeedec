#include "cli/verify_driver.h"
#include "cli/command_line.h"
#include "cli/error_line.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <expected>
#include <string_view>
#include <vector>

#include "cli/gate_policy_args.h"
#include "cli/name_list.h"
#include "cli/verify_outputs.h"
#include "cli/verify_report.h"
#include "cli/verify_summary.h"
#include "core/base/content_hash.h"
#include "core/base/date_time.h"
#include "core/base/error.h"
#include "core/base/file_read.h"
#include "core/base/memory_pages.h"
#include "core/base/ordered_parallel.h"
#include "core/base/padded_file.h"
#include "core/base/regular_file.h"
#include "core/base/text.h"
#include "core/base/usable_cpus.h"
#include "core/base/warning.h"
#include "core/formats/certificate_envelope.h"
#include "core/formats/timestamp_token.h"
#include "core/record/certificate_reader.h"
#include "core/seal/certificate_file.h"
#include "core/verify/allowed_signers.h"
#include "core/verify/platform_keys.h"
#include "core/verify/release_policy.h"
#include "core/verify/revoked_keys.h"

namespace certwright {
namespace {

// A file beyond these sizes is refused ("File too large"), and no more than that is ever held
// (kMaxCertificateBytes: certificate_reader.h; kMaxAttestationBytes: certificate_envelope.h).
constexpr std::size_t kMaxKeyFileBytes = std::size_t{1} << 20;

// The keys of a key file: one per line (Base64, with or without a label after it) or a PEM
// "PUBLIC KEY" block over several lines; white space around them ignored, blank lines and lines
// starting with "#" skipped. A malformed key, or no key at all, is an error naming the line.
std::expected<void, Error> read_key_file(const std::string& path,
                                         std::vector<PublicKeyBytes>& keys) {
  const std::string shown = "--public-key-file " + lossy_utf8(path);
  const auto content = read_whole_file(path, kMaxKeyFileBytes);
  if (!content) return std::unexpected(Error{shown + ": " + content.error().message()});
  std::size_t found = 0;
  std::size_t line_number = 0;
  for (std::string_view rest = *content; !rest.empty();) {
    std::size_t end = std::min(rest.find('\n'), rest.size());
    std::string_view line = trim_white_space(rest.substr(0, end));
    ++line_number;
    const std::size_t first_line = line_number;
    if (line.starts_with("-----BEGIN")) {  // the block runs to its END line
      const std::size_t block_end = rest.find("-----END");
      const std::size_t after = block_end == std::string_view::npos
                                    ? rest.size()
                                    : std::min(rest.find('\n', block_end), rest.size());
      line = trim_white_space(rest.substr(0, after));
      line_number += static_cast<std::size_t>(std::ranges::count(line, '\n'));
      end = after;
    }
    rest.remove_prefix(std::min(end + 1, rest.size()));
    if (line.empty() || line.front() == '#') continue;
    const auto key = parse_public_key(line);
    if (!key)
      return std::unexpected(
          Error{shown + " line " + std::to_string(first_line) + ": " + key.error()});
    keys.push_back(*key);
    ++found;
  }
  if (found == 0) return std::unexpected(Error{shown + ": no public key in the file"});
  return {};
}

// The entries of a file of key lines (allowed signers, platform keys, revocations), appended to
// `entries`; the error names the option, the file and the line.
template <class Entry>
std::expected<void, Error> read_key_lines_file(
    std::string_view option, const std::string& path,
    std::expected<std::vector<Entry>, std::string> (*parse)(std::string_view),
    std::vector<Entry>& entries) {
  const std::string shown = std::string(option) + " " + lossy_utf8(path);
  const auto content = read_whole_file(path, kMaxKeyFileBytes);
  if (!content) return std::unexpected(Error{shown + ": " + content.error().message()});
  auto parsed = parse(*content);
  if (!parsed) return std::unexpected(Error{shown + " " + parsed.error()});
  entries.insert(entries.end(), parsed->begin(), parsed->end());
  return {};
}

}  // namespace

std::expected<VerificationPolicy, Error> verification_policy_of(const VerifyArgs& args) {
  VerificationPolicy policy;
  // Each --public-key was checked as the command line was read.
  for (const std::string& key : args.public_keys)
    policy.trusted_keys.push_back(parse_public_key(key).value());
  for (const std::string& path : args.public_key_files)
    if (auto read = read_key_file(path, policy.trusted_keys); !read)
      return std::unexpected(read.error());
  for (const std::string& path : args.allowed_signers)
    if (auto read = read_key_lines_file("--allowed-signers", path, parse_allowed_signers,
                                        policy.allowed_signers);
        !read)
      return std::unexpected(read.error());
  for (const std::string& key : args.platform_keys)
    policy.platform_keys.push_back(platform_key_of(parse_public_key(key).value()));
  for (const std::string& path : args.platform_key_files)
    if (auto read =
            read_key_lines_file("--platform-keys", path, parse_platform_keys, policy.platform_keys);
        !read)
      return std::unexpected(read.error());
  for (const std::string& path : args.revoked_keys)
    if (auto read =
            read_key_lines_file("--revoked-keys", path, parse_revoked_keys, policy.revoked_keys);
        !read)
      return std::unexpected(read.error());
  policy.require_countersign = args.require_countersign;
  for (const std::string& path : args.tsa_certs) {
    const std::string shown = "--tsa-certs " + lossy_utf8(path);
    const auto content = read_whole_file(path, kMaxKeyFileBytes);
    if (!content) return std::unexpected(Error{shown + ": " + content.error().message()});
    auto certificates = read_pem_certificates(*content);
    if (!certificates) return std::unexpected(Error{shown + ": " + certificates.error().message});
    policy.tsa_certificates.insert(policy.tsa_certificates.end(), certificates->begin(),
                                   certificates->end());
  }
  policy.required_timestamps = required_timestamps(args);
  for (const std::string& path : args.artifacts) {
    // A file named twice is one query: each check is named for its file.
    if (std::ranges::find(policy.artifacts, lossy_utf8(path), &ArtifactQuery::path) !=
        policy.artifacts.end())
      continue;
    auto hash = hash_file(path);
    if (!hash)
      return std::unexpected(
          Error{"--artifact " + lossy_utf8(path) + " unreadable: " + hash.error().message()});
    policy.artifacts.push_back({lossy_utf8(path), std::move(*hash)});
  }
  policy.required_stages = args.required_stages;
  policy.forbid_skipped = args.forbid_skipped;
  policy.forbid_other_stages = args.forbid_other_stages;
  policy.pipeline_run_id = args.pipeline_run_id;
  policy.signer_session_id = args.signer_session_id;
  if (args.max_age) policy.max_age_seconds = parse_duration_seconds(*args.max_age);
  // --at was checked as the command line was read.
  policy.now = args.at ? *parse_time_text(*args.at) : utc_now();
  policy.require_full_coverage = args.require_full_coverage;
  policy.integrity_only = args.integrity_only;
  // A trusted key proves who sealed the certificate only when the key is an operator's.
  policy.require_operator_key =
      args.require_operator_key || (!args.integrity_only && !args.allow_ephemeral);
  policy.signer_subject = args.signer_subject;
  policy.signer_identity_provider = args.signer_identity_provider;
  policy.require_corpus_binding = args.require_corpus_binding;
  policy.require_sbom_binding = args.require_sbom_binding;
  policy.require_posture_binding = args.require_posture_binding;
  return policy;
}

namespace {

bool is_directory(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// The path's status error, when it names nothing.
std::optional<std::error_code> missing(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) == 0) return std::nullopt;
  return last_system_error();
}

}  // namespace

// The inputs named on the command line. A name that leads nowhere is the caller's mistake and
// stops here; nothing is read: the verification reads them only once the certificate is trusted.
std::expected<DriftInputs, Error> drift_inputs_of(const VerifyArgs& args) {
  DriftInputs inputs;
  if (args.run_dir) {
    if (!is_directory(*args.run_dir))
      return std::unexpected(Error{"run directory " + lossy_utf8(*args.run_dir) +
                                   " does not exist or is not a directory"});
    inputs.run_dir = args.run_dir;
  }
  for (const std::string& document : args.business_docs)
    if (const auto error = missing(document))
      return std::unexpected(Error{"requirement document " + lossy_utf8(document) +
                                   " unreadable: " + error->message()});
  if (args.corpus_attestation)
    if (const auto error = missing(*args.corpus_attestation))
      return std::unexpected(Error{"--corpus-attestation " + lossy_utf8(*args.corpus_attestation) +
                                   ": " + error->message()});
  if (args.sbom_dir && !is_directory(*args.sbom_dir))
    return std::unexpected(Error{"--sbom-dir " + lossy_utf8(*args.sbom_dir) +
                                 " does not exist or is not a directory"});
  inputs.business_docs = args.business_docs;
  inputs.corpus_attestation = args.corpus_attestation;
  inputs.sbom_dir = args.sbom_dir;
  return inputs;
}

namespace {

// The counts of the certificates verified so far and, when an output needs them all at the end
// (the JSON document, JUnit, Markdown, HTML, the signed summary), their reports.
struct Outcome {
  std::size_t verified = 0;
  std::size_t failed = 0;
  std::size_t unreadable = 0;
  std::vector<NamedReport> reports;
};

// A certificate named on the command line, read up to the certificate's cap, or up to the
// attestation's when it proves to be a bundle or envelope in its place (never when it is the
// certificate file beside --attestation). Whether it is one is known only once it is read, so a
// file that is neither is held up to kMaxAttestationBytes before it is refused ("File too
// large"), as much as --attestation may hold.
std::expected<simdjson::padded_string, std::error_code> read_certificate_input(
    const std::string& path, bool beside_attestation) {
  if (beside_attestation) return read_padded_input(path, kMaxCertificateBytes);
  auto file = read_padded_input(path, kMaxAttestationBytes);
  if (file && file->size() > kMaxCertificateBytes && !is_attestation(*file))
    return std::unexpected(std::make_error_code(std::errc::file_too_large));
  return file;
}

// Adds the certificates of the `--files-from` list to those named as arguments and checks the
// options again against them all, so that an option for one certificate refuses a list that
// names several, as it refuses several arguments. A list that leaves nothing to verify is
// refused: no verdict can pass on no certificate.
std::expected<void, Error> add_listed_certificates(VerifyArgs& args) {
  auto paths = files_named(args);
  if (!paths) return std::unexpected(paths.error());
  if (paths->empty())
    return std::unexpected(
        Error{"--files-from " + lossy_utf8(*args.files_from) + ": no certificate named"});
  args.certificate = std::move(paths->front());
  args.more_certificates.assign(std::make_move_iterator(paths->begin() + 1),
                                std::make_move_iterator(paths->end()));
  if (const auto fault = check_verify_args(args)) return std::unexpected(Error{*fault});
  return {};
}

int exit_code_of(const Outcome& outcome) {
  if (outcome.unreadable > 0) return 2;
  return outcome.failed > 0 ? 1 : 0;
}

}  // namespace

int run_verify(VerifyArgs args) {
  if (args.policy_schema) {
    write_fully(STDOUT_FILENO, policy_schema());
    return 0;
  }
  if (args.vsa_check) return run_vsa_check(args);
  if (args.files_from)
    if (const auto listed = add_listed_certificates(args); !listed)
      return refuse(listed.error().message);
  const auto source = apply_policy_file(args);
  if (!source) return refuse(source.error().message);
  if (const auto paths = check_output_paths(args); !paths) return refuse(paths.error().message);
  std::optional<SigningKey> summary_key;
  if (args.vsa) {
    auto key = read_summary_key(*args.vsa_key_file);
    if (!key) return refuse(key.error().message);
    summary_key = std::move(*key);
  }
  // A run directory is walked as the emitter walks it, with the emitter's paging: on 120,000
  // files 4,100 page faults instead of 14,800, and 1.04 times the emitter's time instead of 1.17.
  // (A certificate alone stays at base pages: the heap's huge pages would raise its peak.)
  if (args.run_dir) use_huge_page_heap();
  const auto policy = verification_policy_of(args);
  if (!policy) return refuse(policy.error().message);
  const auto inputs = drift_inputs_of(args);
  if (!inputs) return refuse(inputs.error().message);
  std::optional<simdjson::padded_string> attestation;
  if (args.attestation) {
    auto read = read_padded_file(*args.attestation, kMaxAttestationBytes);
    if (!read)
      return refuse("attestation " + lossy_utf8(*args.attestation) +
                    " unreadable: " + read.error().message());
    attestation = std::move(*read);
  }
  // The summary names its inputs by digest: each certificate, and the bundle beside it.
  std::vector<DigestedName> certificate_digests;
  std::optional<DigestedName> attestation_digest;
  if (args.vsa && attestation)
    attestation_digest = DigestedName{lossy_utf8(*args.attestation), hash_bytes(*attestation)};
  const bool keep_reports =
      args.format == "json" || args.report || args.junit || args.markdown || args.html || args.vsa;
  std::vector<std::string> paths = std::move(args.more_certificates);
  paths.insert(paths.begin(), std::move(args.certificate));
  const bool text = args.format == "text" && !args.quiet;
  // One line each as its verdict is taken; nothing of a certificate is kept after its line.
  const bool lines = args.format == "jsonl" && !args.quiet;
  Outcome outcome;
  // Each certificate is read and verified on any thread; its verdict is printed in argument
  // order. A run directory is walked once per certificate with warnings of its own, so then one
  // certificate at a time.
  const unsigned threads = args.run_dir ? 1 : thread_count();
  std::vector<std::string> file_digests(args.vsa ? paths.size() : 0);
  const auto verify_one = [&](std::size_t index) -> std::expected<VerificationReport, std::string> {
    const std::string& path = paths[index];
    const auto file = read_certificate_input(path, attestation.has_value());
    if (!file) return std::unexpected(file.error().message());
    // A bundle or envelope in place of the certificate, or beside it (--attestation).
    VerificationReport report =
        attestation ? verify_attestation(*attestation, std::string_view(*file), *policy, *inputs)
        : is_attestation(*file) ? verify_attestation(*file, std::nullopt, *policy, *inputs)
                                : verify_certificate(*file, *policy, *inputs);
    if (source->file_policy)
      report.checks.insert(report.checks.begin(),
                           policy_check(*source->file_policy, source->sha256, policy->now));
    // Each index is one thread's alone; the digests are taken in order below.
    if (args.vsa) file_digests[index] = hash_bytes(*file);
    return report;
  };
  const auto take = [&](std::size_t index,
                        std::expected<VerificationReport, std::string>&& verdict) {
    const std::string& path = paths[index];
    NamedReport named{path, VerificationReport{}, std::nullopt};
    if (verdict) {
      if (args.vsa) certificate_digests.push_back({lossy_utf8(path), file_digests[index]});
      ++(verdict->verified() ? outcome.verified : outcome.failed);
      if (text) write_fully(STDOUT_FILENO, text_report(path, *verdict));
      named.report = std::move(*verdict);
    } else {
      print_error("certificate " + lossy_utf8(path) + " unreadable: " + verdict.error());
      ++outcome.unreadable;
      named.error = std::move(verdict.error());
    }
    if (lines) write_fully(STDOUT_FILENO, json_line(named, &*source));
    if (keep_reports) outcome.reports.push_back(std::move(named));
  };
  for_each_in_order(paths.size(), threads, verify_one, take);
  if (lines)
    write_fully(STDOUT_FILENO,
                json_summary_line(outcome.verified, outcome.failed, outcome.unreadable));
  if (text && paths.size() > 1)
    write_fully(STDOUT_FILENO, closing_count(outcome.verified, outcome.failed, outcome.unreadable));
  if (args.format == "json" || args.report) {
    const std::string json = json_document(outcome.reports, &*source);
    if (args.format == "json" && !args.quiet) write_fully(STDOUT_FILENO, json);
    if (args.report) {
      const auto written = write_file_atomically(*args.report, json);
      if (!written)
        return refuse("--report " + lossy_utf8(*args.report) + ": " + written.error().message());
    }
  }
  const RunVerdict verdict{outcome.reports, *source, policy->now};
  auto outputs = render_outputs(args, verdict);
  if (summary_key)
    outputs.push_back(summary_output(args, verdict, *policy, certificate_digests,
                                     attestation_digest, *summary_key));
  if (const auto written = write_outputs(outputs); !written) return refuse(written.error().message);
  return exit_code_of(outcome);
}

int run_verify_command_line(std::span<char*> argv) {
  const std::vector<std::string_view> arguments(argv.begin(), argv.end());
  return run_parsed(parse_verify_command_line(arguments), run_verify);
}

}  // namespace certwright
