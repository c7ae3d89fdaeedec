// The report of certwright-verify, as text lines or as one JSON object.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/gate_policy_args.h"
#include "core/verify/certificate_verification.h"

namespace certwright {

// One "ok"/"FAIL" line per check, "drift:", "uncovered:" and "stage:" lines, "info:" lines, then
// the summary line. Every line is one line: texts are shown escaped, and the names and texts
// that the certificate or the run directory supplied to the facts, "drift:", "uncovered:" and
// "stage:" lines are quoted, with `"` and `\` escaped as well.
std::string text_report(std::string_view certificate_path, const VerificationReport& report);

// One certificate's report under the path it was read from; a certificate that could not be
// read has its read error and a report without checks.
struct NamedReport {
  std::string path;
  VerificationReport report;
  std::optional<std::string> error;
};

// For one certificate its report, {"certificate", "verified", "error" (when it could not be read),
// "canonical", "facts", "checks", "notes", "drift", "coverage"}; for several, {"certificates",
// "verified", "verifiedCount", "failed", "unreadable", "reports": [...]} with one report each, in
// the order given. "verified" is true exactly when every certificate verified. The pretty layout
// and a line break; names are raw, escaped as JSON strings are and where they could disguise
// text. With `policy`, the document ends with "policy": {"path" or "effective", "sha256"}.
std::string json_document(const std::vector<NamedReport>& reports,
                          const PolicySource* policy = nullptr);

// One certificate's report as one line of compact JSON: the object json_document writes for it
// alone (with `policy`, its "policy" member), and a line break.
std::string json_line(const NamedReport& named, const PolicySource* policy = nullptr);

// The line that ends the JSON lines of a run: {"summary": {"certificates", "verified",
// "verifiedCount", "failed", "unreadable"}}, named as json_document names them, and a line break.
std::string json_summary_line(std::size_t verified, std::size_t failed, std::size_t unreadable);

// "N verified, M failed" (", K unreadable" when any could not be read) and a line break.
std::string closing_count(std::size_t verified, std::size_t failed, std::size_t unreadable);

}  // namespace certwright
