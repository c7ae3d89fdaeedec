// The report of certwright-verify, as text lines or as one JSON object.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/verify/certificate_verification.h"

namespace certwright {

// One "ok"/"FAIL" line per check, "info:" lines, then the summary line. Names and texts from
// the certificate or the run directory are shown escaped, each line one line.
std::string text_report(std::string_view certificate_path, const VerificationReport& report);

// {"certificate", "verified", "canonical", "facts", "checks", "notes", "drift"} in the pretty
// layout and a line break; names are raw, escaped as JSON strings are and where they could
// disguise text.
std::string json_report(std::string_view certificate_path, const VerificationReport& report);

// One certificate's report under the path it was read from.
struct NamedReport {
  std::string path;
  VerificationReport report;
};

// The JSON report of one certificate as json_report writes it, or, for several,
// {"certificates", "verified", "failed", "reports": [...]} with one report each.
std::string json_document(const std::vector<NamedReport>& reports, bool several);

// "N verified, M failed" (", K unreadable" when any could not be read) and a line break.
std::string closing_count(std::size_t verified, std::size_t failed, std::size_t unreadable);

}  // namespace certwright
