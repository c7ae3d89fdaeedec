#include "cli/report_junit.h"

#include <algorithm>

namespace certwright {
namespace {

// The schema's timestamp: a date-time without fraction or zone (UTC here).
std::string suite_timestamp(UtcTime time) {
  return format_date_time({time.unix_seconds, 0}).substr(0, 19);
}

void append_attribute(std::string& out, std::string_view name, std::string_view value) {
  out.append(" ").append(name).append("=\"");
  append_markup(out, value);
  out.append("\"");
}

void append_testcase(std::string& out, std::string_view classname, const CheckResult& check) {
  out.append("    <testcase");
  append_attribute(out, "name", check.name);
  append_attribute(out, "classname", classname);
  out.append(" time=\"0\"");
  if (check.ok) {
    out.append("/>\n");
    return;
  }
  out.append(">\n      <failure");
  append_attribute(out, "message", check.detail);
  out.append(" type=\"check\">");
  append_markup(out, check.detail);
  out.append("</failure>\n");
  out.append("    </testcase>\n");
}

void append_suite(std::string& out, const NamedReport& named, std::size_t id,
                  const RunVerdict& verdict, std::string_view hostname) {
  const auto& checks = named.report.checks;
  const std::size_t failures = static_cast<std::size_t>(
      std::ranges::count_if(checks, [](const CheckResult& check) { return !check.ok; }));
  const std::size_t errors = named.error ? 1 : 0;
  out.append("  <testsuite");
  append_attribute(out, "name", named.path.empty() ? "-" : named.path);
  append_attribute(out, "package", "certwright-verify");
  out.append(" id=\"").append(std::to_string(id)).append("\"");
  out.append(" tests=\"").append(std::to_string(checks.size() + errors)).append("\"");
  out.append(" failures=\"").append(std::to_string(failures)).append("\"");
  out.append(" errors=\"").append(std::to_string(errors)).append("\"");
  out.append(" skipped=\"0\" time=\"0\"");
  append_attribute(out, "timestamp", suite_timestamp(verdict.verified_at));
  append_attribute(out, "hostname", hostname.empty() ? "localhost" : hostname);
  out.append(">\n    <properties>\n");
  const auto property = [&out](std::string_view name, std::string_view value) {
    out.append("      <property");
    append_attribute(out, "name", name);
    append_attribute(out, "value", value);
    out.append("/>\n");
  };
  property("verified", named.report.verified() ? "true" : "false");
  property("policy.sha256", verdict.policy.sha256);
  if (verdict.policy.path) property("policy.path", *verdict.policy.path);
  if (named.report.certificate)
    property("certificateHash", named.report.certificate->certificate_hash);
  out.append("    </properties>\n");
  for (const CheckResult& check : checks)
    append_testcase(out, named.path, check);
  if (named.error) {
    out.append("    <testcase name=\"read\"");
    append_attribute(out, "classname", named.path);
    out.append(" time=\"0\">\n      <error");
    append_attribute(out, "message", *named.error);
    out.append(" type=\"unreadable\">");
    append_markup(out, *named.error);
    out.append("</error>\n");
    out.append("    </testcase>\n");
  }
  out.append("    <system-out/>\n    <system-err/>\n  </testsuite>\n");
}

}  // namespace

std::string junit_document(const RunVerdict& verdict, std::string_view hostname) {
  std::string out;
  out.reserve(2048 * (verdict.reports.size() + 1));
  out.append("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites>\n");
  for (std::size_t id = 0; id < verdict.reports.size(); ++id)
    append_suite(out, verdict.reports[id], id, verdict, hostname);
  return out.append("</testsuites>\n");
}

}  // namespace certwright
