// One run of `certwright-verify`, in its fixed order.
#pragma once

#include <expected>

#include "cli/verify_args.h"
#include "core/base/error.h"

namespace certwright {

struct VerificationPolicy;  // core/verify/certificate_verification.h

// Verifies and reports; returns the exit code: 0 verified, 1 not verified, 2 an input could
// not be read (the certificate, a key file, the run directory, a document, a binding input).
int run_verify(VerifyArgs args);

// The policy the trust and policy options state, the named key and allowed-signers files read
// and each `--artifact` hashed; the error names the option and file that could not be read.
std::expected<VerificationPolicy, Error> policy_of(const VerifyArgs& args);

}  // namespace certwright
