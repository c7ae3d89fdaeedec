#include "cli/index_report.h"

#include "core/base/date_time.h"
#include "core/base/json_writer.h"
#include "core/base/text.h"

namespace certwright {
namespace {

std::string signer_text(const std::optional<std::string>& subject,
                        const std::optional<std::string>& identity_provider) {
  if (!subject) return "-";
  return single_line(*subject) + " (" + single_line(identity_provider.value_or("")) + ")";
}

void append_fact(std::string& out, std::string_view name, std::string_view value) {
  out.append(name).append(": ").append(single_line(value)).append("\n");
}

void append_optional_fact(std::string& out, std::string_view name,
                          const std::optional<std::string>& value) {
  if (value) append_fact(out, name, *value);
}

}  // namespace

std::string_view hash_prefix(std::string_view certificate_hash) {
  return certificate_hash.substr(0, 16);
}

std::string query_text(std::span<const QueryMatch> matches) {
  std::string out;
  for (const QueryMatch& match : matches) {
    out.append(single_line(hash_prefix(match.certificate_hash))).append("\t");
    out.append(single_line(match.run_id)).append("\t");
    out.append(format_date_time(match.trusted_time)).append("\t");
    out.append(signer_text(match.signer_subject, match.signer_identity_provider)).append("\t");
    out.append(single_line(match.key_fingerprint));
    for (const QueryHit& hit : match.hits)
      out.append("\t").append(single_line(hit.stage)).append(":").append(single_line(hit.artifact));
    out.append("\n");
  }
  return out;
}

std::string query_json(std::span<const QueryMatch> matches) {
  std::string out;
  JsonWriter json(Layout::pretty, out, StringEscapes::display);
  json.begin_object();
  json.key("certificates");
  json.begin_array();
  for (const QueryMatch& match : matches) {
    json.begin_object();
    json.key("certificateHash");
    json.string(match.certificate_hash);
    json.key("runId");
    json.string(match.run_id);
    json.key("trustedTime");
    json.string(format_date_time(match.trusted_time));
    json.key("signer");
    if (match.signer_subject) {
      json.begin_object();
      json.key("subject");
      json.string(*match.signer_subject);
      json.key("identityProvider");
      json.string(match.signer_identity_provider.value_or(""));
      json.end_object();
    } else {
      json.null();
    }
    json.key("keyFingerprint");
    json.string(match.key_fingerprint);
    json.key("kind");
    json.string(match.kind);
    json.key("hits");
    json.begin_array();
    for (const QueryHit& hit : match.hits) {
      json.begin_object();
      json.key("stage");
      json.string(hit.stage);
      json.key("artifact");
      json.string(hit.artifact);
      json.end_object();
    }
    json.end_array();
    json.end_object();
  }
  json.end_array();
  json.end_object();
  out.push_back('\n');
  return out;
}

std::string show_text(const StoredCertificate& stored) {
  const CertificateFacts& facts = stored.facts;
  std::string out;
  append_fact(out, "certificate hash", facts.certificate_hash);
  append_fact(out, "sequence number", std::to_string(stored.seq));
  append_fact(out, "run id", facts.run_id);
  append_fact(out, "trusted time", format_date_time(facts.trusted_time));
  append_fact(out, "status", facts.status);
  out.append("signer: ")
      .append(signer_text(facts.signer_subject, facts.signer_identity_provider))
      .append("\n");
  append_optional_fact(out, "signer session id", facts.signer_session_id);
  append_fact(out, "key fingerprint", facts.key_fingerprint);
  append_fact(out, "key kind", facts.kind);
  append_fact(out, "added from", stored.form);
  append_fact(out, "added at", format_date_time({stored.added_seconds, 0}));
  append_fact(out, "requirements hash", facts.requirements_hash);
  append_optional_fact(out, "spec id", facts.spec_id);
  append_optional_fact(out, "spec hash", facts.spec_hash);
  append_fact(out, "build spec hash", facts.build_spec_hash);
  append_optional_fact(out, "posture", facts.posture);
  append_optional_fact(out, "corpus attestation hash", facts.corpus_attestation_hash);
  append_optional_fact(out, "SBOM hash", facts.sbom_bom_hash);
  append_optional_fact(out, "SBOM audit hash", facts.sbom_audit_hash);
  out.append("stages:\n");
  for (const StoredStage& stage : facts.stages)
    out.append("  ")
        .append(single_line(stage.stage_id))
        .append(" ")
        .append(stage.status)
        .append(", ")
        .append(std::to_string(stage.artifacts.size()))
        .append(stage.artifacts.size() == 1 ? " artifact\n" : " artifacts\n");
  return out;
}

}  // namespace certwright
