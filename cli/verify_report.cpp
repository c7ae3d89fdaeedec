#include "cli/verify_report.h"

#include <algorithm>
#include <initializer_list>
#include <optional>
#include <utility>

#include "core/base/date_time.h"
#include "core/base/json_writer.h"
#include "core/base/text.h"
#include "core/seal/public_key.h"

namespace certwright {
namespace {

std::string fingerprint_of(const GovernanceCertificate& certificate) {
  const auto key = parse_public_key(certificate.signing_public_key);
  return key ? key_fingerprint(*key) : "unknown";
}

// `text` in double quotes, with `"` and `\` escaped and the rest shown as single_line shows it,
// so that a name cannot end its quotes and pass for the report's own words.
std::string quoted_text(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (const char c : text) {
    if (c == '"' || c == '\\') escaped.push_back('\\');
    escaped.push_back(c);
  }
  return "\"" + single_line(escaped) + "\"";
}

std::string signer_text(const GovernanceCertificate& certificate) {
  if (!certificate.signer) return "none";
  return quoted_text(certificate.signer->subject) + " via " +
         quoted_text(certificate.signer->identity_provider);
}

// The platform's countersignature, when it verified.
std::string countersign_text(const VerificationReport& report) {
  if (!report.countersign) return "";
  const CountersignFacts& countersign = *report.countersign;
  return ", countersigned=" + format_date_time(countersign.countersigned_at) + " by " +
         quoted_text(countersign.issuer) + " (kid " + quoted_text(countersign.kid) + ", key " +
         countersign.fingerprint + ")";
}

// The timestamp authorities' tokens that verified.
std::string timestamps_text(const VerificationReport& report) {
  std::string text;
  for (const TimestampVerdict& token : report.timestamps)
    if (token.ok)
      text +=
          ", timestamped=" + format_date_time(token.time) + " by " + quoted_text(token.authority);
  return text;
}

// What the certificate says of itself, once its checks passed.
std::string facts_text(const VerificationReport& report) {
  const GovernanceCertificate& certificate = *report.certificate;
  return "run=" + quoted_text(certificate.pipeline_run_id) +
         ", timestamp=" + format_date_time(certificate.timestamp) + countersign_text(report) +
         timestamps_text(report) + ", status=" + to_text(certificate.status) +
         ", signer=" + signer_text(certificate) + ", key=" + fingerprint_of(certificate) +
         ", kind=" + to_text(certificate.signing_attestation.kind) +
         ", hash=" + certificate.certificate_hash.substr(0, 16) +
         "..., stages=" + std::to_string(certificate.stages.size());
}

std::string summary_line(std::string_view path, const VerificationReport& report) {
  const std::string shown_path = single_line(path);
  if (!report.verified())
    // Under --integrity-only nothing was to be verified, so the word is not used either way.
    return (report.integrity_only ? "failed, not trusted: " : "not verified: ") + shown_path +
           " (" + std::to_string(report.failed_count()) +
           (report.failed_count() == 1 ? " check" : " checks") + " failed)\n";
  // With no key trusted, an intact certificate proves nothing about who sealed it.
  if (report.integrity_only)
    return "intact, not trusted: " + shown_path + " (" + facts_text(report) +
           "; sealed by its own key, no key trusted: --integrity-only)\n";
  return "verified: " + shown_path + " (" + facts_text(report) + ")\n";
}

void write_names(JsonWriter& writer, std::string_view key, const std::vector<std::string>& names) {
  writer.key(key);
  writer.begin_array();
  for (const std::string& name : names)
    writer.string(lossy_utf8(name));
  writer.end_array();
}

// Appends " N what" for each kind counted, then ":" and the paths shown (" ..." when there are
// more).
void append_counts(std::string& out,
                   std::initializer_list<std::pair<std::size_t, std::string_view>> counts,
                   const std::vector<std::string>& paths, std::size_t total) {
  for (const auto& [count, what] : counts)
    if (count > 0) out.append(" ").append(std::to_string(count)).append(" ").append(what);
  out.append(":");
  for (const std::string& path : paths)
    out.append(" ").append(quoted_text(path));
  if (total > paths.size()) out.append(" ...");
  out.append("\n");
}

// One "uncovered:" line per walked stage whose directory holds what its record cannot cover, and
// one for the run directory's entries that no stage record covers.
void append_uncovered_lines(std::string& out, const VerificationReport& report) {
  for (const auto& [stage_id, coverage] : report.coverage) {
    if (coverage.total() == 0) continue;
    out.append("uncovered: ").append(quoted_text(stage_id));
    append_counts(out,
                  {{coverage.nested_files, "nested files"},
                   {coverage.links, "links"},
                   {coverage.special_files, "special files"},
                   {coverage.unreadable_files, "unreadable"}},
                  coverage.paths, coverage.total());
  }
  const RunDirectoryCoverage& run_directory = report.run_directory_coverage;
  if (run_directory.total() == 0) return;
  out.append("uncovered: run directory");
  append_counts(out,
                {{run_directory.directories, "unrecorded directories"},
                 {run_directory.files, "files"},
                 {run_directory.links, "links"},
                 {run_directory.special_files, "special files"},
                 {run_directory.unreadable, "unreadable"}},
                run_directory.paths, run_directory.total());
}

void write_counts(JsonWriter& writer,
                  std::initializer_list<std::pair<std::string_view, std::size_t>> counts) {
  for (const auto& [key, count] : counts) {
    writer.key(key);
    writer.unsigned_integer(count);
  }
}

void write_coverage(JsonWriter& writer, const VerificationReport& report) {
  writer.key("coverage");
  if (!report.coverage_checked) {
    writer.null();
    return;
  }
  writer.begin_object();
  writer.key("stages");
  writer.begin_object();
  for (const auto& [stage_id, coverage] : report.coverage) {
    writer.key(lossy_utf8(stage_id));
    writer.begin_object();
    write_counts(writer, {{"nestedFiles", coverage.nested_files},
                          {"links", coverage.links},
                          {"specialFiles", coverage.special_files},
                          {"unreadable", coverage.unreadable_files}});
    write_names(writer, "paths", coverage.paths);
    writer.end_object();
  }
  writer.end_object();
  const RunDirectoryCoverage& run_directory = report.run_directory_coverage;
  write_counts(writer, {{"unrecordedDirectories", run_directory.directories},
                        {"unrecordedFiles", run_directory.files},
                        {"unrecordedLinks", run_directory.links},
                        {"unrecordedSpecialFiles", run_directory.special_files},
                        {"unreadableDirectories", run_directory.unreadable}});
  write_names(writer, "unrecordedPaths", run_directory.paths);
  writer.end_object();
}

void append_stage_lines(std::string& out, const GovernanceCertificate& certificate) {
  for (const StageRecord& stage : certificate.stages)
    out.append("stage: ")
        .append(quoted_text(stage.stage_id))
        .append(" ")
        .append(to_text(stage.status))
        .append(" ")
        .append(std::to_string(stage.artifact_hashes.size()))
        .append(stage.artifact_hashes.size() == 1 ? " artifact\n" : " artifacts\n");
}

void write_facts(JsonWriter& writer, const VerificationReport& report) {
  writer.key("facts");
  if (!report.certificate) {
    writer.null();
    return;
  }
  const GovernanceCertificate& certificate = *report.certificate;
  writer.begin_object();
  writer.key("certificateHash");
  writer.string(certificate.certificate_hash);
  writer.key("pipelineRunId");
  writer.string(certificate.pipeline_run_id);
  writer.key("timestamp");
  writer.string(format_date_time(certificate.timestamp));
  writer.key("status");
  writer.string(to_text(certificate.status));
  writer.key("signer");
  if (certificate.signer) {
    writer.begin_object();
    writer.key("subject");
    writer.string(certificate.signer->subject);
    writer.key("identityProvider");
    writer.string(certificate.signer->identity_provider);
    if (certificate.signer->session_id) {
      writer.key("sessionId");
      writer.string(*certificate.signer->session_id);
    }
    writer.end_object();
  } else {
    writer.null();
  }
  writer.key("signingPublicKey");
  writer.string(certificate.signing_public_key);
  writer.key("fingerprint");
  writer.string(fingerprint_of(certificate));
  writer.key("attestationKind");
  writer.string(to_text(certificate.signing_attestation.kind));
  const TrustedTime trusted = report.trusted_time.value_or(TrustedTime{certificate.timestamp});
  writer.key("trustedTime");
  writer.begin_object();
  writer.key("time");
  writer.string(format_date_time(trusted.time));
  writer.key("clock");
  writer.string(trusted.clock == TrustedClock::platform              ? "platform"
                : trusted.clock == TrustedClock::timestamp_authority ? "timestamp-authority"
                                                                     : "signer");
  writer.key("authority");
  if (trusted.clock == TrustedClock::timestamp_authority)
    writer.string(lossy_utf8(trusted.authority));
  else
    writer.null();
  writer.end_object();
  writer.key("timestamps");
  writer.begin_array();
  for (const TimestampVerdict& token : report.timestamps) {
    writer.begin_object();
    writer.key("verified");
    writer.boolean(token.ok);
    writer.key("authority");
    if (token.ok)
      writer.string(lossy_utf8(token.authority));
    else
      writer.null();
    writer.key("time");
    if (token.ok)
      writer.string(format_date_time(token.time));
    else
      writer.null();
    writer.key("detail");
    writer.string(lossy_utf8(token.detail));
    writer.end_object();
  }
  writer.end_array();
  writer.key("countersign");
  if (report.countersign) {
    writer.begin_object();
    writer.key("issuer");
    writer.string(report.countersign->issuer);
    writer.key("kid");
    writer.string(report.countersign->kid);
    writer.key("fingerprint");
    writer.string(report.countersign->fingerprint);
    writer.key("countersignedAt");
    writer.string(format_date_time(report.countersign->countersigned_at));
    writer.end_object();
  } else {
    writer.null();
  }
  writer.key("stages");
  writer.begin_array();
  for (const StageRecord& stage : certificate.stages) {
    writer.begin_object();
    writer.key("stageId");
    writer.string(stage.stage_id);
    writer.key("status");
    writer.string(to_text(stage.status));
    writer.key("artifacts");
    writer.unsigned_integer(stage.artifact_hashes.size());
    writer.end_object();
  }
  writer.end_array();
  writer.end_object();
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
    const auto line = [&out, &stage_id](std::string_view what,
                                        std::optional<std::string_view> name) {
      out.append("drift: ").append(quoted_text(stage_id)).append(" ").append(what);
      if (name) out.append(" ").append(quoted_text(*name));
      out.append("\n");
    };
    if (drift.missing) line("missing", std::nullopt);
    for (const std::string& name : drift.changed)
      line("changed", name);
    for (const std::string& name : drift.added)
      line("added", name);
    for (const std::string& name : drift.removed)
      line("removed", name);
  }
}

// "policy": the policy file's path and SHA-256, or the effective policy and its SHA-256.
void write_policy(JsonWriter& writer, const PolicySource* policy) {
  if (policy == nullptr) return;
  writer.key("policy");
  writer.begin_object();
  if (policy->path) {
    writer.key("path");
    writer.string(lossy_utf8(*policy->path));
  }
  if (policy->effective) {
    writer.key("effective");
    writer.string(*policy->effective);
  }
  writer.key("sha256");
  writer.string(policy->sha256);
  writer.end_object();
}

void write_report(JsonWriter& writer, const NamedReport& named,
                  const PolicySource* policy = nullptr) {
  const VerificationReport& report = named.report;
  writer.begin_object();
  writer.key("certificate");
  writer.string(lossy_utf8(named.path));
  writer.key("verified");
  writer.boolean(report.verified());
  if (named.error) {
    writer.key("error");
    writer.string(lossy_utf8(*named.error));
  }
  writer.key("canonical");
  writer.boolean(report.canonical);
  write_facts(writer, report);
  writer.key("checks");
  writer.begin_array();
  for (const CheckResult& check : report.checks) {
    writer.begin_object();
    writer.key("name");
    writer.string(lossy_utf8(check.name));
    writer.key("ok");
    writer.boolean(check.ok);
    writer.key("detail");
    writer.string(lossy_utf8(check.detail));
    writer.end_object();
  }
  writer.end_array();
  write_names(writer, "notes", report.notes);
  write_drift(writer, report);
  write_coverage(writer, report);
  write_policy(writer, policy);
  writer.end_object();
}

// The counts of a run of several certificates, as the members of the object being written.
void write_run_counts(JsonWriter& writer, std::uint64_t certificates, std::uint64_t verified,
                      std::uint64_t unreadable) {
  writer.key("certificates");
  writer.unsigned_integer(certificates);
  writer.key("verified");
  writer.boolean(verified == certificates);
  writer.key("verifiedCount");
  writer.unsigned_integer(verified);
  writer.key("failed");
  writer.unsigned_integer(certificates - verified - unreadable);
  writer.key("unreadable");
  writer.unsigned_integer(unreadable);
}

}  // namespace

std::string text_report(std::string_view certificate_path, const VerificationReport& report) {
  std::string out;
  for (const CheckResult& check : report.checks) {
    out.append(check.ok ? "ok   " : "FAIL ").append(single_line(check.name)).append(": ");
    out.append(single_line(check.detail)).append("\n");
  }
  append_drift_lines(out, report);
  append_uncovered_lines(out, report);
  if (report.verified()) append_stage_lines(out, *report.certificate);
  if (report.certificate)
    out.append(report.canonical
                   ? "info: the file is byte for byte the certificate's own encoding\n"
                   : "info: the file is not byte for byte the certificate's own encoding "
                     "(reformatted); the checks are over its re-encoding\n");
  for (const std::string& note : report.notes)
    out.append("info: ").append(single_line(note)).append("\n");
  return out.append(summary_line(certificate_path, report));
}

std::string json_document(const std::vector<NamedReport>& reports, const PolicySource* policy) {
  std::string out;
  JsonWriter writer(Layout::pretty, out, StringEscapes::display);
  if (reports.size() == 1) {
    write_report(writer, reports[0], policy);
    return out.append("\n");
  }
  const auto count = [&](auto&& predicate) {
    return static_cast<std::uint64_t>(std::ranges::count_if(reports, predicate));
  };
  const std::uint64_t unreadable =
      count([](const NamedReport& named) { return named.error.has_value(); });
  const std::uint64_t verified =
      count([](const NamedReport& named) { return named.report.verified(); });
  writer.begin_object();
  write_run_counts(writer, reports.size(), verified, unreadable);
  writer.key("reports");
  writer.begin_array();
  for (const NamedReport& named : reports)
    write_report(writer, named);
  writer.end_array();
  write_policy(writer, policy);
  writer.end_object();
  return out.append("\n");
}

std::string json_line(const NamedReport& named, const PolicySource* policy) {
  std::string out;
  JsonWriter writer(Layout::compact, out, StringEscapes::display);
  write_report(writer, named, policy);
  return out.append("\n");
}

std::string json_summary_line(std::size_t verified, std::size_t failed, std::size_t unreadable) {
  std::string out;
  JsonWriter writer(Layout::compact, out, StringEscapes::display);
  writer.begin_object();
  writer.key("summary");
  writer.begin_object();
  write_run_counts(writer, verified + failed + unreadable, verified, unreadable);
  writer.end_object();
  writer.end_object();
  return out.append("\n");
}

std::string closing_count(std::size_t verified, std::size_t failed, std::size_t unreadable) {
  std::string line = std::to_string(verified) + " verified, " + std::to_string(failed) + " failed";
  if (unreadable > 0) line += ", " + std::to_string(unreadable) + " unreadable";
  return line + "\n";
}

}  // namespace certwright
