// `certwright-attest`: the operator's certificate as a signed in-toto attestation.
#pragma once

#include "cli/attest_args.h"

namespace certwright {

// Checks the certificate, signs its Statement with the operator key and writes the bundle (and
// the envelope when asked); returns the exit code: 0 written, 1 the certificate was refused by
// a named check, 2 no usable key, an unreadable certificate or a failed write (one error line).
int run_attest(AttestArgs args);

}  // namespace certwright
