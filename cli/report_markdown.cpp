#include "cli/report_markdown.h"

#include "core/base/text.h"

namespace certwright {
namespace {

bool is_ascii_punctuation(char c) {
  return (c >= '!' && c <= '/') || (c >= ':' && c <= '@') || (c >= '[' && c <= '`') ||
         (c >= '{' && c <= '~');
}

void append_row(std::string& out, std::initializer_list<std::string_view> cells) {
  out.append("|");
  for (const std::string_view cell : cells)
    out.append(" ").append(cell).append(" |");
  out.append("\n");
}

void append_certificate(std::string& out, const NamedReport& named) {
  out.append("\n### ").append(markdown_text(named.path)).append(": ");
  out.append("**").append(verdict_text(named));
  out.append("**\n\n");
  if (named.error) {
    out.append("Could not be read: ").append(markdown_text(*named.error)).append("\n");
    return;
  }
  if (const auto facts = fact_rows(named.report); !facts.empty()) {
    out.append("| Fact | Value |\n|---|---|\n");
    for (const FactRow& row : facts)
      append_row(out, {row.label, markdown_text(row.value)});
    out.append("\n");
  }
  out.append("| Check | Result | Detail |\n|---|---|---|\n");
  for (const CheckResult* check : checks_failures_first(named.report))
    append_row(out, {markdown_text(check->name), check->ok ? "ok" : "**FAIL**",
                     markdown_text(check->detail)});
  const auto stages = stage_rows(named.report);
  if (stages.empty()) return;
  out.append("\n| Stage | Status | Artifacts | Drift |\n|---|---|---|---|\n");
  for (const StageRow& row : stages)
    append_row(out, {markdown_text(row.stage_id), row.status, std::to_string(row.artifacts.size()),
                     row.drift.empty() ? "none" : markdown_text(row.drift)});
}

}  // namespace

std::string markdown_text(std::string_view text) {
  std::string out;
  for (const char c : single_line(text)) {
    if (is_ascii_punctuation(c)) out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

std::string markdown_document(const RunVerdict& verdict) {
  std::size_t verified = 0;
  for (const NamedReport& named : verdict.reports)
    if (!named.error && named.report.verified()) ++verified;
  std::string out = "## certwright-verify: ";
  out.append(verdict.verified() ? "verified" : "NOT VERIFIED");
  out.append(" (" + std::to_string(verified) + " of " + std::to_string(verdict.reports.size()) +
             " certificates verified)\n\n");
  out.append("Judged at " + format_date_time(verdict.verified_at) + " under ");
  out.append(verdict.policy.path ? "the policy file " + markdown_text(*verdict.policy.path)
                                 : std::string("the options' effective policy"));
  out.append(", sha256 " + verdict.policy.sha256 + ".\n");
  for (const NamedReport& named : verdict.reports)
    append_certificate(out, named);
  return out;
}

}  // namespace certwright
