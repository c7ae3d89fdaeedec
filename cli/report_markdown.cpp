#include "cli/report_markdown.h"

#include <initializer_list>

namespace certwright {
namespace {

bool is_ascii_punctuation(char c) {
  return (c >= '!' && c <= '/') || (c >= ':' && c <= '@') || (c >= '[' && c <= '`') ||
         (c >= '{' && c <= '~');
}

// A table cell: the program's own words as they are, or a supplied text, escaped.
struct Cell {
  std::string_view text;
  bool supplied = true;
};

void append_row(std::string& out, std::initializer_list<Cell> cells) {
  out.append("|");
  for (const Cell& cell : cells) {
    out.append(" ");
    if (cell.supplied)
      append_markdown(out, cell.text);
    else
      out.append(cell.text);
    out.append(" |");
  }
  out.append("\n");
}

void append_certificate(std::string& out, const NamedReport& named) {
  out.append("\n### ");
  append_markdown(out, named.path);
  out.append(": **").append(verdict_text(named)).append("**\n\n");
  if (named.error) {
    out.append("Could not be read: ");
    append_markdown(out, *named.error);
    out.append("\n");
    return;
  }
  if (const auto facts = fact_rows(named.report); !facts.empty()) {
    out.append("| Fact | Value |\n|---|---|\n");
    for (const FactRow& row : facts)
      append_row(out, {{row.label, false}, {row.value}});
    out.append("\n");
  }
  out.append("| Check | Result | Detail |\n|---|---|---|\n");
  for (const CheckResult* check : checks_failures_first(named.report))
    append_row(out, {{check->name}, {check->ok ? "ok" : "**FAIL**", false}, {check->detail}});
  const auto stages = stage_rows(named.report);
  if (stages.empty()) return;
  out.append("\n| Stage | Status | Artifacts | Drift |\n|---|---|---|---|\n");
  for (const StageRow& row : stages)
    append_row(out, {{row.stage_id},
                     {row.status, false},
                     {std::to_string(row.artifacts.size()), false},
                     {row.drift.empty() ? "none" : row.drift, !row.drift.empty()}});
}

}  // namespace

void append_markdown(std::string& out, std::string_view text) {
  std::string scratch;
  for (const char c : shown_text(text, scratch)) {
    if (is_ascii_punctuation(c)) out.push_back('\\');
    out.push_back(c);
  }
}

std::string markdown_document(const RunVerdict& verdict) {
  const std::size_t verified = verdict.verified_count();
  std::string out;
  out.reserve(2048 * (verdict.reports.size() + 1));
  out.append("## certwright-verify: ");
  out.append(verdict.verified() ? "verified" : "NOT VERIFIED");
  out.append(" (" + std::to_string(verified) + " of " + std::to_string(verdict.reports.size()) +
             " certificates verified)\n\n");
  out.append("Judged at " + format_date_time(verdict.verified_at) + " under ");
  if (verdict.policy.path) {
    out.append("the policy file ");
    append_markdown(out, *verdict.policy.path);
  } else {
    out.append("the options' effective policy");
  }
  out.append(", sha256 " + verdict.policy.sha256 + ".\n");
  for (const NamedReport& named : verdict.reports)
    append_certificate(out, named);
  return out;
}

}  // namespace certwright
