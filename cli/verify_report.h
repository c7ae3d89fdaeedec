// The report of certwright-verify, as text lines or as one JSON object.
#pragma once

#include <string>
#include <string_view>

#include "core/certificate_verification.h"

namespace certwright {

// One "ok"/"FAIL" line per check, "info:" lines, then the summary line. Names and texts from
// the certificate or the run directory are shown escaped, each line one line.
std::string text_report(std::string_view certificate_path, const VerificationReport& report);

// {"certificate", "verified", "canonical", "checks", "notes", "drift"} in the pretty layout and
// a line break; names are raw, escaped only as JSON strings are.
std::string json_report(std::string_view certificate_path, const VerificationReport& report);

}  // namespace certwright
