// The verdict as JUnit XML, for the test-report views of CI systems.
#pragma once

#include <string>
#include <string_view>

#include "cli/run_verdict.h"

namespace certwright {

// A `testsuites` document valid against the Apache Ant JUnit schema: one `testsuite` per
// certificate, named by its path as given, with one `testcase` per check (a failed check holds
// a `failure` whose `message` is the check's detail); a certificate that could not be read is
// one `testcase` "read" with an `error`.
std::string junit_document(const RunVerdict& verdict, std::string_view hostname);

}  // namespace certwright
