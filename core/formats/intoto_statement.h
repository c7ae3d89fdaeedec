// The in-toto Statement that carries a certificate: one subject, the certificate file, and the
// certificate itself as the predicate.
#pragma once

#include <simdjson.h>

#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/error.h"
#include "core/record/certificate.h"

namespace certwright {

inline constexpr std::string_view kStatementType = "https://in-toto.io/Statement/v1";

// "https://certwright.example/governance-certificate/v<major>" for the major version of the
// certificates this program writes; a new major version is a new predicate type.
std::string governance_predicate_type();

// Which subjects a Statement names: the certificate file, the artifacts of the certificate's
// passed stages, or both (the certificate first).
enum class SubjectForm { certificate, artifacts, both };

// Appends the Statement, compact, to `out`: "_type", the subjects of `form` (the certificate as
// `subject_name` with the SHA-256 digest `subject_sha256`, lower-case hex; the artifacts as
// artifact_subjects names them), "predicateType" and the certificate as "predicate", in the
// certificate's own compact encoding. Cannot fail.
void append_statement(std::string& out, std::string_view subject_name,
                      std::string_view subject_sha256, const GovernanceCertificate& certificate,
                      SubjectForm form = SubjectForm::certificate);

struct StatementSubject {
  std::string name;
  std::string sha256;  // empty when the subject has no "sha256" digest

  friend bool operator==(const StatementSubject&, const StatementSubject&) = default;
};

// The artifacts of every passed stage of `certificate` as subjects: "STAGE/NAME" with the
// recorded SHA-256, stages in the certificate's order and each stage's artifacts in its record's.
// Cannot fail.
std::vector<StatementSubject> artifact_subjects(const GovernanceCertificate& certificate);

// A Statement as read: its members, and the predicate's text exactly as it stands in the
// payload (a view into the text read).
struct Statement {
  std::string type;
  std::vector<StatementSubject> subjects;
  std::string predicate_type;
  std::string_view predicate;
};

// The Statement in `payload`: one JSON object with "_type", "subject" (objects with "name" and
// a "digest" object of texts), "predicateType" and an object "predicate", each exactly once and
// nothing else; the error names the first member that is not so. The members' values are not
// judged here.
std::expected<Statement, Error> read_statement(simdjson::padded_string_view payload);

}  // namespace certwright
