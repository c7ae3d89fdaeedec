#include "cli/countersign_driver.h"

#include <unistd.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "cli/error_line.h"
#include "cli/verify_driver.h"
#include "cli/verify_report.h"
#include "core/base/date_time.h"
#include "core/base/environment.h"
#include "core/base/file_read.h"
#include "core/base/padded_file.h"
#include "core/base/text.h"
#include "core/base/warning.h"
#include "core/record/certificate_reader.h"
#include "core/seal/certificate_file.h"
#include "core/seal/countersignature.h"
#include "core/seal/public_key.h"
#include "core/seal/signing_key.h"

namespace certwright {
namespace {

constexpr std::string_view kNoPlatformKey =
    "no platform key is configured: set CERTWRIGHT_PLATFORM_KEY or CERTWRIGHT_PLATFORM_KEY_PATH";

// The platform's key from CERTWRIGHT_PLATFORM_KEY, else from the file CERTWRIGHT_PLATFORM_KEY_PATH
// names, read as the emitter reads the operator's (a public key in any form the programs write
// is refused as a seed); the message otherwise.
std::expected<SigningKey, std::string> platform_key() {
  std::optional<std::expected<Seed, std::string>> seed;
  if (const auto text = unicode_variable("CERTWRIGHT_PLATFORM_KEY")) {
    auto parsed = parse_seed(*text);
    seed = parsed
               ? std::expected<Seed, std::string>(std::move(*parsed))
               : std::unexpected("CERTWRIGHT_PLATFORM_KEY is set but malformed: " + parsed.error());
  } else if (const auto path = unicode_variable("CERTWRIGHT_PLATFORM_KEY_PATH")) {
    auto read = read_seed_file(std::string(*path));
    seed = read ? std::expected<Seed, std::string>(std::move(*read))
                : std::unexpected("CERTWRIGHT_PLATFORM_KEY_PATH=" + read.error().message);
  }
  if (!seed) return std::unexpected(std::string(kNoPlatformKey));
  if (!*seed) return std::unexpected(seed->error());
  return SigningKey::from_seed(**seed);
}

// Whether the platform key is one the options trust to seal certificates: a platform that
// countersigns with the operator's key adds no second party.
bool trusted_as_operator(const PublicKeyBytes& key, const VerificationPolicy& policy) {
  return std::ranges::find(policy.trusted_keys, key) != policy.trusted_keys.end() ||
         std::ranges::any_of(policy.allowed_signers,
                             [&](const AllowedSigner& line) { return line.key == key; });
}

std::string failed_checks(const VerificationReport& report) {
  std::string names;
  for (const CheckResult& check : report.checks)
    if (!check.ok) names += (names.empty() ? "" : ", ") + check.name;
  return names;
}

}  // namespace

int run_countersign(CountersignArgs args) {
  const auto policy = verification_policy_of(args);
  if (!policy) return refuse(policy.error().message);
  const auto inputs = drift_inputs_of(args);
  if (!inputs) return refuse(inputs.error().message);
  const auto key = platform_key();
  if (!key) return refuse(key.error());
  const PublicKeyBytes& public_key = key->public_key();
  if (trusted_as_operator(public_key, *policy))
    return refuse("the platform key " + key_fingerprint(public_key) +
                  " is a key the options trust to seal certificates; a countersignature must "
                  "come from another key");

  const std::string shown = lossy_utf8(args.certificate);
  const auto file = read_padded_input(args.certificate, kMaxCertificateBytes);
  if (!file) return refuse("certificate " + shown + " unreadable: " + file.error().message());
  VerificationReport report = verify_certificate(*file, *policy, *inputs);
  if (!args.quiet) write_fully(STDOUT_FILENO, text_report(args.certificate, report));
  if (!report.verified()) {
    print_error("not countersigned: " + shown +
                " does not verify (failed: " + failed_checks(report) + ")");
    return 1;
  }
  GovernanceCertificate& certificate = *report.certificate;
  if (certificate.platform_countersign && !args.replace) {
    print_error("not countersigned: " + shown + " carries a countersignature already (kid \"" +
                certificate.platform_countersign->kid + "\", " +
                format_date_time(certificate.platform_countersign->countersigned_at) +
                "); give --replace to replace it");
    return 1;
  }

  const std::string fingerprint = key_fingerprint(public_key);
  const CountersignRequest request{args.kid.value_or(fingerprint),
                                   args.platform_id.value_or(fingerprint), utc_now()};
  countersign_certificate(certificate, *key, request);
  const std::string target = args.out.value_or(args.certificate);
  const auto written = write_certificate(certificate, target);
  if (!written)
    return refuse("cannot write " + lossy_utf8(target) + ": " + written.error().message());
  if (const std::error_code error = written->directory_sync_error)
    warn("countersigned certificate written to " + lossy_utf8(target) +
         " but its directory could not be synced: " + error.message() +
         " (a crash soon after may lose it)");
  if (!args.quiet)
    write_fully(STDOUT_FILENO, "countersigned: " + single_line(target) + " (kid \"" +
                                   single_line(request.kid) + "\", platform " +
                                   single_line(request.issuer) + ", at " +
                                   format_date_time(request.at) + ")\n");
  return 0;
}

int run_countersign_command_line(std::span<char*> argv) {
  const std::vector<std::string_view> arguments(argv.begin(), argv.end());
  return run_parsed(parse_countersign_command_line(arguments), run_countersign);
}

}  // namespace certwright
