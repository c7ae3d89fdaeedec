#include "cli/verify_report.h"

#include "core/json_writer.h"
#include "core/text.h"

namespace certwright {
namespace {

std::string summary_line(std::string_view path, const VerificationReport& report) {
  const std::string shown_path = single_line(path);
  if (!report.verified())
    return "not verified: " + shown_path + " (" + std::to_string(report.failed_count()) +
           (report.failed_count() == 1 ? " check" : " checks") + " failed)\n";
  const GovernanceCertificate& certificate = *report.certificate;
  const std::string signer = certificate.signer ? certificate.signer->subject : "none";
  return "verified: " + shown_path +
         " (key=" + single_line(certificate.signing_public_key.substr(0, 12)) +
         "..., signer=" + single_line(signer) +
         ", stages=" + std::to_string(certificate.stages.size()) + ")\n";
}

void write_names(JsonWriter& writer, std::string_view key, const std::vector<std::string>& names) {
  writer.key(key);
  writer.begin_array();
  for (const std::string& name : names)
    writer.string(lossy_utf8(name));
  writer.end_array();
}

void write_drift(JsonWriter& writer, const VerificationReport& report) {
  writer.key("drift");
  writer.begin_object();
  writer.key("stages");
  writer.begin_object();
  for (const auto& [stage_id, drift] : report.stages) {
    writer.key(lossy_utf8(stage_id));
    writer.begin_object();
    writer.key("missing");
    writer.boolean(drift.missing);
    write_names(writer, "added", drift.added);
    write_names(writer, "removed", drift.removed);
    write_names(writer, "changed", drift.changed);
    writer.end_object();
  }
  writer.end_object();
  writer.key("inputs");
  writer.begin_object();
  for (const auto& [name, input] : report.inputs) {
    writer.key(name);
    writer.begin_object();
    writer.key("certified");
    writer.string(input.certified);
    writer.key("found");
    writer.string(input.found);
    writer.end_object();
  }
  writer.end_object();
  writer.end_object();
}

// One "drift:" line per artifact that changed, appeared or went since certification, and per
// stage directory gone, so an auditor sees which files without asking for the JSON report.
void append_drift_lines(std::string& out, const VerificationReport& report) {
  for (const auto& [stage_id, drift] : report.stages) {
    if (!drift.drifted()) continue;
    const auto line = [&out, &stage_id](std::string_view what, std::string_view name) {
      out.append("drift: ").append(single_line(stage_id)).append(" ").append(what);
      if (!name.empty()) out.append(" ").append(single_line(name));
      out.append("\n");
    };
    if (drift.missing) line("missing", "");
    for (const std::string& name : drift.changed)
      line("changed", name);
    for (const std::string& name : drift.added)
      line("added", name);
    for (const std::string& name : drift.removed)
      line("removed", name);
  }
}

}  // namespace

std::string text_report(std::string_view certificate_path, const VerificationReport& report) {
  std::string out;
  for (const CheckResult& check : report.checks) {
    out.append(check.ok ? "ok   " : "FAIL ").append(check.name).append(": ");
    out.append(single_line(check.detail)).append("\n");
  }
  append_drift_lines(out, report);
  if (report.certificate)
    out.append(report.canonical
                   ? "info: the file is byte for byte the certificate's own encoding\n"
                   : "info: the file is not byte for byte the certificate's own encoding "
                     "(reformatted); the checks are over its re-encoding\n");
  for (const std::string& note : report.notes)
    out.append("info: ").append(single_line(note)).append("\n");
  return out.append(summary_line(certificate_path, report));
}

std::string json_report(std::string_view certificate_path, const VerificationReport& report) {
  std::string out;
  JsonWriter writer(Layout::pretty, out, StringEscapes::display);
  writer.begin_object();
  writer.key("certificate");
  writer.string(lossy_utf8(certificate_path));
  writer.key("verified");
  writer.boolean(report.verified());
  writer.key("canonical");
  writer.boolean(report.canonical);
  writer.key("checks");
  writer.begin_array();
  for (const CheckResult& check : report.checks) {
    writer.begin_object();
    writer.key("name");
    writer.string(check.name);
    writer.key("ok");
    writer.boolean(check.ok);
    writer.key("detail");
    writer.string(lossy_utf8(check.detail));
    writer.end_object();
  }
  writer.end_array();
  write_names(writer, "notes", report.notes);
  write_drift(writer, report);
  writer.end_object();
  return out.append("\n");
}

}  // namespace certwright
