// One run of certwright-verify as its outputs read it: each certificate's report, the policy it
// was judged under and when.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cli/gate_policy_args.h"
#include "cli/verify_report.h"
#include "core/base/date_time.h"

namespace certwright {

struct RunVerdict {
  std::span<const NamedReport> reports;
  const PolicySource& policy;
  UtcTime verified_at;

  // How many certificates were read and verified.
  std::size_t verified_count() const;
  // True when every certificate was read and verified.
  bool verified() const { return verified_count() == reports.size(); }
};

// The texts the human-readable outputs show, raw: each writer escapes them for its format.

// `text` as the text report shows it (single_line): the text itself when every byte is printable
// ASCII, as most are, otherwise single_line's result held in `scratch`.
std::string_view shown_text(std::string_view text, std::string& scratch);

// Appends text for XML and HTML character data and quoted attribute values: shown as
// single_line shows it (control and format characters arrive as visible escapes, which XML
// could not carry), then with `&`, `<`, `>`, `"` and `'` as character references.
void append_markup(std::string& out, std::string_view text);

// "verified", "NOT VERIFIED", "UNREADABLE" or, under --integrity-only, "intact, not trusted".
std::string verdict_text(const NamedReport& named);

struct FactRow {
  std::string label;
  std::string value;
};

// What the certificate says of itself and what was verified of it (run, times and whose clock,
// signer, key and fingerprint, countersignature, status); none without a readable certificate.
std::vector<FactRow> fact_rows(const VerificationReport& report);

// The checks with the failed ones first, each group in the report's order.
std::vector<const CheckResult*> checks_failures_first(const VerificationReport& report);

struct StageRow {
  std::string stage_id;
  std::string status;
  std::vector<std::string_view> artifacts;  // names in the record's (sorted) order
  std::string drift;                        // "" when none was found or the run was not walked
  std::string coverage;                     // "complete", "not checked" or what is uncovered
};

// One row per stage record, in the certificate's order; the names are views into the report.
std::vector<StageRow> stage_rows(const VerificationReport& report);

}  // namespace certwright
