// One emission of `build-certificate`, in its fixed order.
#pragma once

#include <string>

#include "cli/build_certificate_args.h"

namespace certwright {

// The pipeline run id: the last component of `run_dir` as typed (trailing "/" and "."
// components skipped), or "unknown" when there is none or it is not valid UTF-8.
std::string pipeline_run_id(const std::string& run_dir);

// Runs the emission and returns the exit code: 0 written, 1 writing failed, 2 refused.
int run_build_certificate(BuildCertificateArgs args);

// The exit code for a failure that escaped as an exception: 2 while no certificate exists yet,
// 1 once one was assembled (it was then not written).
int exit_code_for_escaped_failure();

}  // namespace certwright
