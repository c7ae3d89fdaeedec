// One run of `certwright-verify`, in its fixed order.
#pragma once

#include <expected>

#include "cli/verify_args.h"
#include "core/base/error.h"

namespace certwright {

// certificate_verification.h, which the callers of the first two include.
struct VerificationPolicy;
struct DriftInputs;

// The verification policy the options state: trusted keys, allowed signers, platform keys and
// revocations read from their files, artifacts hashed; the error names the option and file.
std::expected<VerificationPolicy, Error> verification_policy_of(const VerifyArgs& args);

// The run directory and inputs the options name, each checked to exist but none read.
std::expected<DriftInputs, Error> drift_inputs_of(const VerifyArgs& args);

// Verifies and reports; returns the exit code: 0 verified, 1 not verified, 2 an input could
// not be read (the certificate, a key file, the run directory, a document, a binding input).
int run_verify(VerifyArgs args);

}  // namespace certwright
