// certwright-verify's signed verification summary: writing one for a run (--vsa) and checking
// one for an artifact (--vsa-check).
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "cli/run_verdict.h"
#include "cli/verify_args.h"
#include "cli/verify_outputs.h"
#include "core/base/error.h"
#include "core/formats/verification_summary.h"
#include "core/seal/signing_key.h"
#include "core/verify/certificate_verification.h"

namespace certwright {

// The key of --vsa-key-file, an Ed25519 seed read as the emitter reads its key file (a public
// key is refused); the error names the option.
std::expected<SigningKey, Error> read_summary_key(const std::string& path);

// The --vsa output: one summary for every certificate of the run, PASSED only when all
// verified. Its subjects are the --artifact files by base name, or else the certificate files;
// its input attestations the certificates by path and SHA-256, and the --attestation bundle.
OutputFile summary_output(const VerifyArgs& args, const RunVerdict& verdict,
                          const VerificationPolicy& policy,
                          const std::vector<DigestedName>& certificates,
                          const std::optional<DigestedName>& attestation, const SigningKey& key);

// Checks the summary --vsa-check names and prints one line per check and a closing line;
// returns 0 when the --subject file was passed by the summary as the options demand, 1 when
// not (another key, another verifier or policy, FAILED, too old, not about the subject), 2 when
// a file could not be read.
int run_vsa_check(const VerifyArgs& args);

}  // namespace certwright
