// One run of `certwright-verify`, in its fixed order.
#pragma once

#include "cli/verify_args.h"

namespace certwright {

// Verifies and reports; returns the exit code: 0 verified, 1 not verified, 2 an input could
// not be read (the certificate, a key file, the run directory, a document, a binding input).
int run_verify(VerifyArgs args);

}  // namespace certwright
