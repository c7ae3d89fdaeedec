// One run of `certwright-keygen`.
#pragma once

#include "cli/keygen_args.h"

namespace certwright {

// Writes a new seed file and prints its public key, or prints the public key of a seed file or
// of the operator key the emitter would resolve; returns 0, or 2 after an error line.
int run_keygen(KeygenArgs args);

}  // namespace certwright
