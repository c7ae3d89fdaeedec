#include "cli/attest_driver.h"

#include "cli/command_line.h"
#include "cli/error_line.h"

#include <unistd.h>

#include <algorithm>
#include <string_view>

#include "core/base/content_hash.h"
#include "core/base/padded_file.h"
#include "core/base/text.h"
#include "core/base/warning.h"
#include "core/formats/certificate_envelope.h"
#include "core/formats/http_post.h"
#include "core/formats/sigstore_bundle.h"
#include "core/formats/timestamp_token.h"
#include "core/record/certificate_encoding.h"
#include "core/record/certificate_reader.h"
#include "core/seal/certificate_file.h"
#include "core/seal/certificate_signature.h"
#include "core/seal/signing_key.h"

namespace certwright {
namespace {

constexpr std::string_view kNoOperatorKey =
    "no operator key is configured: set ZEM_SIGNING_KEY or ZEM_SIGNING_KEY_PATH (an ephemeral "
    "key is never used to attest)";

std::string_view base_name(std::string_view path) {
  while (path.size() > 1 && path.ends_with('/'))
    path.remove_suffix(1);
  const auto slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// The first check the certificate fails before it may be signed again: its hash and seal, its
// signing key being `key`, its attestation kind being operator.
std::optional<CheckResult> refusal(const GovernanceCertificate& certificate,
                                   const SigningKey& key) {
  for (const CheckResult& check : seal_checks(certificate))
    if (!check.ok) return check;
  if (certificate.signing_public_key != encode_public_key(key))
    return CheckResult{"signing-key", false,
                       "signingPublicKey " + certificate.signing_public_key.substr(0, 12) +
                           "... is not the operator key's public key"};
  if (certificate.signing_attestation.kind != AttestationKind::operator_)
    return CheckResult{"operator-key", false,
                       std::string("signingAttestation.kind is ") +
                           to_text(certificate.signing_attestation.kind) + ", not operator"};
  return std::nullopt;
}

// Writes `bytes` at `path` as the certificate is written; the error line and false otherwise.
bool write_output(std::string_view what, const std::string& path, std::string_view bytes) {
  const auto written = write_file_atomically(path, bytes);
  if (!written) {
    print_error("failed to write the " + std::string(what) + " at " + lossy_utf8(path) + ": " +
                written.error().message());
    return false;
  }
  if (const std::error_code error = written->directory_sync_error)
    warn(std::string(what) + " written to " + lossy_utf8(path) +
         " but its directory could not be synced: " + error.message() +
         " (a crash soon after may lose it)");
  return true;
}

constexpr std::int64_t kDefaultTimestampTimeout = 10;

// One token from each authority in turn, each answer checked before it is kept; the first
// failure names its authority (without credentials) and ends the attestation.
Timestamper timestamper_of(const AttestArgs& args) {
  if (args.timestamp_urls.empty()) return {};
  const std::int64_t timeout = args.timestamp_timeout
                                   ? timeout_seconds(*args.timestamp_timeout).value()
                                   : kDefaultTimestampTimeout;
  return [&args,
          timeout](std::string_view signature) -> std::expected<std::vector<std::string>, Error> {
    std::vector<std::string> tokens;
    for (const std::string& url : args.timestamp_urls) {
      const TimestampRequest request = timestamp_request(signature);
      const auto failed = [&](const std::string& reason) {
        return std::unexpected(Error{"timestamp authority " + shown_url(url) + ": " + reason});
      };
      auto answer = http_post({.url = url,
                               .content_type = "application/timestamp-query",
                               .body = request.der,
                               .timeout_seconds = timeout,
                               .max_answer_bytes = kMaxTimestampResponseBytes});
      if (!answer) return failed(answer.error().message);
      if (const auto token = check_timestamp_reply(*answer, request); !token)
        return failed(token.error().message);
      tokens.push_back(std::move(*answer));
    }
    return tokens;
  };
}

}  // namespace

int run_attest(AttestArgs args) {
  auto resolved = resolve_operator_key();
  if (!resolved) return refuse(kNoOperatorKey);
  if (!*resolved) return refuse(resolved->error().message);
  const SigningKey& key = (*resolved)->key;

  const std::string shown = lossy_utf8(args.certificate);
  auto file = read_padded_file(args.certificate, kMaxCertificateBytes);
  if (!file) return refuse("certificate " + shown + " unreadable: " + file.error().message());
  const CertificateFile subject{std::string(base_name(args.certificate)), hash_bytes(*file),
                                file->size()};
  // The file is released once parsed and the records once encoded: for 120,000 artifacts (an
  // 11.9 MB certificate) the peak is the parser's with either the file or the records.
  auto certificate = read_certificate_releasing(std::move(*file));
  // Artifact subjects about double the Statement.
  recycle_encoding(bundle_buffer(args.subjects == "certificate" ? subject.size : 2 * subject.size));
  const auto refused = certificate ? refusal(*certificate, key)
                                   : CheckResult{"well-formed", false, certificate.error().message};
  if (refused) {
    print_error("certificate " + shown + " refused: check \"" + refused->name +
                "\" failed: " + refused->detail);
    return 1;
  }

  const SubjectForm subjects = args.subjects == "artifacts" ? SubjectForm::artifacts
                               : args.subjects == "both"    ? SubjectForm::both
                                                            : SubjectForm::certificate;
  if (subjects == SubjectForm::artifacts && artifact_subjects(*certificate).empty())
    return refuse("certificate " + shown +
                  " records no artifact of a passed stage to name as a subject (--subjects "
                  "artifacts)");
  const auto signed_bundle =
      bundle_certificate(subject, std::move(*certificate), key, timestamper_of(args), subjects);
  if (!signed_bundle) return refuse(signed_bundle.error().message);
  // Artifact subjects can take a bundle past what the verifier reads.
  if (signed_bundle->text.size() > kMaxAttestationBytes)
    return refuse("the bundle of " + shown + " would be " +
                  std::to_string(signed_bundle->text.size()) + " bytes, more than the " +
                  std::to_string(kMaxAttestationBytes) +
                  " a verifier reads: name fewer subjects (--subjects certificate)");
  const std::string bundle = bundle_path(args);
  if (!write_output("bundle", bundle, signed_bundle->text)) return 2;
  if (args.envelope_out && !write_output("envelope", *args.envelope_out, signed_bundle->envelope()))
    return 2;
  write_fully(STDOUT_FILENO, "attested " + shown + ": bundle " + lossy_utf8(bundle) + "\n");
  return 0;
}

int run_attest_command_line(std::span<char*> argv) {
  const std::vector<std::string_view> arguments(argv.begin(), argv.end());
  return run_parsed(parse_attest_command_line(arguments), run_attest);
}

}  // namespace certwright
