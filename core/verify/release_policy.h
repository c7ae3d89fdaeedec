// The release gate's demands on a certificate beyond its seal: which stages it must hold, which
// run and session it must be of, how old it may be, and which files it must have recorded.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/verify/certificate_verification.h"

namespace certwright {

// "stage-policy": every required stage recorded and each of its records passed; with
// forbid_skipped, every record passed; with forbid_other_stages, no stage recorded but the
// required ones. The failure names each stage and what it is.
CheckResult stage_policy_check(const GovernanceCertificate& certificate,
                               const VerificationPolicy& policy);

// "pipeline-run-id" and "signer-session-id": exactly the texts the caller gave.
CheckResult pipeline_run_id_check(const GovernanceCertificate& certificate,
                                  std::string_view expected);
CheckResult signer_session_check(const GovernanceCertificate& certificate,
                                 std::string_view expected);

// "max-age": the certificate's trusted time at most `max_age_seconds` before `now` and at most
// five minutes after it (clocks drift; more than that is a certificate from the future); the
// detail says whose clock gave the time.
CheckResult max_age_check(const TrustedTime& trusted, std::int64_t max_age_seconds, UtcTime now);

// "artifact:PATH" (PATH as the caller named the file, so that each file's check has its own
// name): the file's content hash is recorded in some stage; the detail names each stage and
// artifact that holds it.
CheckResult artifact_check(const GovernanceCertificate& certificate, const ArtifactQuery& query);

// A duration as a gate writes it: a whole number followed by "s", "m", "h" or "d" ("90m",
// "24h", "7d"); none for anything else.
std::optional<std::int64_t> parse_duration_seconds(std::string_view text);

}  // namespace certwright
