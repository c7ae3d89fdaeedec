// The CorpusAttestation record, its strict JSON form and the hash of its canonical text.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "core/base/error.h"

namespace certwright {

struct ToolStamp {
  std::string name;
  std::string version;
};

struct CompileVerdict {
  bool ok = false;
};

struct LintVerdict {
  bool ok = false;
  std::string findings_hash;
};

struct CoupleVerdict {
  bool ok = false;
  std::string index_hash;
  std::string join_hash;
};

struct Verdicts {
  CompileVerdict compile;
  LintVerdict lint;
  std::optional<CoupleVerdict> couple;  // "couple": null reads as none
};

struct CorpusAttestation {
  std::string schema_version;
  ToolStamp tool;
  std::string inputs_manifest_hash;
  std::string registry_hash;
  Verdicts verdicts;
};

// The attestation held in the JSON text `text`. Unlisted keys are ignored at every level. Fails
// with the parser's message, or one naming the field: a listed key given twice in one object,
// a missing required key, a value of another JSON type, or anything but white space after the
// object.
std::expected<CorpusAttestation, Error> parse_corpus_attestation(std::string_view text);

// The content hash of the attestation's canonical text: its fields as a JSON object with
// byte-wise sorted keys, in the pretty layout, and one final line feed. Fails when that text
// would not be UTF-8 (a record that was parsed from text never does).
std::expected<std::string, Error> attestation_hash(const CorpusAttestation& attestation);

}  // namespace certwright
