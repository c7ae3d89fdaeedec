// The verdict as one self-contained HTML page for an auditor: no script, nothing loaded from
// outside the page, readable printed.
#pragma once

#include <string>
#include <string_view>

#include "cli/run_verdict.h"

namespace certwright {

// The verdict at the top, the policy, the trust loop as an inline picture, then per certificate
// its facts (trusted time, keys and fingerprints), its stages (status, artifacts, drift,
// coverage), every check with its detail, failed first, and the report's notes. A content
// security policy forbids scripts and every outside resource.
std::string html_document(const RunVerdict& verdict);

}  // namespace certwright
