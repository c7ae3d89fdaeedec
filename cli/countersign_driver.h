// One run of `certwright-countersign`, in its fixed order.
#pragma once

#include "cli/countersign_args.h"

namespace certwright {

// Verifies the certificate under the options' trust and policy and, when it verifies,
// countersigns it with the platform key and writes it atomically; returns the exit code: 0
// countersigned, 1 not verified or countersigned already (nothing written), 2 a usage error
// found late, no usable platform key, or an input that could not be read or written.
int run_countersign(CountersignArgs args);

}  // namespace certwright
