#include "cli/report_html.h"

namespace certwright {
namespace {

// Artifact names shown per stage; the count says how many more there are.
constexpr std::size_t kShownArtifacts = 50;

constexpr std::string_view kHead = R"html(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta http-equiv="Content-Security-Policy" content="default-src 'none'; style-src 'unsafe-inline'; img-src data:">
<meta name="referrer" content="no-referrer">
<meta name="viewport" content="width=device-width, initial-scale=1">
<style>
body { font: 14px/1.45 system-ui, sans-serif; color: #1b1b1b; margin: 2em auto; max-width: 64em; padding: 0 1em; }
h1 { margin: 0; font-size: 1.8em; }
.verdict { padding: 0.8em 1.2em; border-radius: 6px; border: 2px solid; }
.pass { background: #e8f5e9; border-color: #2e7d32; }
.fail { background: #ffebee; border-color: #c62828; }
table { border-collapse: collapse; width: 100%; margin: 0.5em 0 1em; }
th, td { border: 1px solid #bbb; padding: 0.25em 0.5em; text-align: left; vertical-align: top; overflow-wrap: anywhere; }
th { background: #f1f1f1; }
td.ok { color: #2e7d32; font-weight: bold; }
td.failed { color: #c62828; font-weight: bold; }
.names { font-family: ui-monospace, monospace; font-size: 0.9em; }
section.certificate { break-inside: auto; border-top: 1px solid #888; margin-top: 1.5em; }
svg text { font: 11px system-ui, sans-serif; }
@media print { body { margin: 0; max-width: none; } .verdict { border-width: 3px; } th { background: none; } }
</style>
)html";

// The trust loop: who makes the key, who signs, who checks, and what the gate decides.
constexpr std::string_view kTrustLoop = R"svg(<figure>
<svg role="img" aria-label="The trust loop" width="760" height="120" viewBox="0 0 760 120">
<defs><marker id="arrow" viewBox="0 0 10 10" refX="9" refY="5" markerWidth="7" markerHeight="7" orient="auto"><path d="M0,0 L10,5 L0,10 z" fill="#444"/></marker></defs>
<g fill="none" stroke="#444">
<rect x="5" y="20" width="130" height="44" rx="4"/><rect x="160" y="20" width="140" height="44" rx="4"/>
<rect x="325" y="20" width="120" height="44" rx="4"/><rect x="470" y="20" width="130" height="44" rx="4"/>
<rect x="625" y="20" width="130" height="44" rx="4"/>
<path d="M135,42 H158" marker-end="url(#arrow)"/><path d="M300,42 H323" marker-end="url(#arrow)"/>
<path d="M445,42 H468" marker-end="url(#arrow)"/><path d="M600,42 H623" marker-end="url(#arrow)"/>
<path d="M70,64 V95 H535 V66" marker-end="url(#arrow)" stroke-dasharray="4 3"/>
</g>
<g fill="#1b1b1b" text-anchor="middle">
<text x="70" y="38">certwright-keygen</text><text x="70" y="54">operator key</text>
<text x="230" y="38">certwright build-</text><text x="230" y="54">certificate (signs)</text>
<text x="385" y="38">certificate</text><text x="385" y="54">(Ed25519 seal)</text>
<text x="535" y="38">certwright-verify</text><text x="535" y="54">(this report)</text>
<text x="690" y="38">release gate</text><text x="690" y="54">pass or stop</text>
<text x="300" y="112">public key pinned in the policy (fingerprints below)</text>
</g>
</svg>
</figure>
)svg";

void append_cell(std::string& out, std::string_view text, std::string_view css_class = {}) {
  out.append("<td");
  if (!css_class.empty()) out.append(" class=\"").append(css_class).append("\"");
  out.append(">");
  append_markup(out, text);
  out.append("</td>");
}

void append_artifacts_cell(std::string& out, const std::vector<std::string_view>& names) {
  out.append("<td class=\"names\">");
  for (std::size_t at = 0; at < names.size() && at < kShownArtifacts; ++at) {
    if (at > 0) out.append("<br>");
    append_markup(out, names[at]);
  }
  if (names.size() > kShownArtifacts)
    out.append("<br>and " + std::to_string(names.size() - kShownArtifacts) + " more");
  if (names.empty()) out.append("none");
  out.append("</td>");
}

void append_stages(std::string& out, const VerificationReport& report) {
  const auto rows = stage_rows(report);
  if (rows.empty()) return;
  out.append(
      "<h3>Stages</h3>\n<table>\n<tr><th>Stage</th><th>Status</th><th>Artifacts</th>"
      "<th>Drift</th><th>Coverage</th></tr>\n");
  for (const StageRow& row : rows) {
    out.append("<tr>");
    append_cell(out, row.stage_id);
    append_cell(out, row.status, row.status == "passed" ? "ok" : "failed");
    append_artifacts_cell(out, row.artifacts);
    append_cell(out, row.drift.empty() ? "none" : row.drift, row.drift.empty() ? "" : "failed");
    append_cell(out, row.coverage);
    out.append("</tr>\n");
  }
  out.append("</table>\n");
}

void append_certificate(std::string& out, const NamedReport& named) {
  const bool passed = !named.error && named.report.verified();
  out.append("<section class=\"certificate\">\n<h2>");
  append_markup(out, named.path);
  out.append(": <span class=\"").append(passed ? "ok" : "failed").append("\">");
  out.append(verdict_text(named)).append("</span></h2>\n");
  if (named.error) {
    out.append("<p>Could not be read: ");
    append_markup(out, *named.error);
    out.append("</p>\n");
    out.append("</section>\n");
    return;
  }
  if (const auto facts = fact_rows(named.report); !facts.empty()) {
    out.append("<h3>Facts</h3>\n<table>\n");
    for (const FactRow& row : facts) {
      out.append("<tr><th>").append(row.label).append("</th>");
      append_cell(out, row.value);
      out.append("</tr>\n");
    }
    out.append("</table>\n");
  }
  append_stages(out, named.report);
  out.append("<h3>Checks</h3>\n<table>\n<tr><th>Check</th><th>Result</th><th>Detail</th></tr>\n");
  for (const CheckResult* check : checks_failures_first(named.report)) {
    out.append("<tr>");
    append_cell(out, check->name);
    append_cell(out, check->ok ? "ok" : "FAIL", check->ok ? "ok" : "failed");
    append_cell(out, check->detail);
    out.append("</tr>\n");
  }
  out.append("</table>\n");
  for (const std::string& note : named.report.notes) {
    out.append("<p>Note: ");
    append_markup(out, note);
    out.append("</p>\n");
  }
  out.append("</section>\n");
}

}  // namespace

std::string html_document(const RunVerdict& verdict) {
  const bool passed = verdict.verified();
  const std::size_t verified = verdict.verified_count();
  std::string out;
  out.reserve(kHead.size() + kTrustLoop.size() + 4096 * verdict.reports.size());
  out.append(kHead);
  out.append("<title>certwright-verify: ").append(passed ? "verified" : "NOT VERIFIED");
  out.append("</title>\n</head>\n<body>\n<header class=\"verdict ");
  out.append(passed ? "pass\">\n<h1>Verified</h1>\n" : "fail\">\n<h1>NOT VERIFIED</h1>\n");
  out.append("<p>" + std::to_string(verified) + " of " + std::to_string(verdict.reports.size()) +
             " certificates verified, judged at " + format_date_time(verdict.verified_at) +
             ".</p>\n<p>Policy: ");
  if (verdict.policy.path) {
    out.append("file ");
    append_markup(out, *verdict.policy.path);
  } else {
    out.append("the options' effective policy");
  }
  out.append(", sha256 <span class=\"names\">" + verdict.policy.sha256 + "</span></p>\n");
  out.append("</header>\n<h2>Trust loop</h2>\n").append(kTrustLoop);
  for (const NamedReport& named : verdict.reports)
    append_certificate(out, named);
  return out.append("</body>\n</html>\n");
}

}  // namespace certwright
