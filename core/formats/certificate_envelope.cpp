#include "core/formats/certificate_envelope.h"

#include <algorithm>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <utility>
#include <vector>

#include "core/base/base64.h"
#include "core/base/content_hash.h"
#include "core/base/memory_pages.h"
#include "core/base/text.h"
#include "core/formats/intoto_statement.h"
#include "core/formats/sigstore_bundle.h"
#include "core/formats/timestamp_token.h"
#include "core/record/certificate_encoding.h"
#include "core/record/certificate_reader.h"

namespace certwright {
namespace {

std::string short_hex(std::string_view hex) {
  return std::string(hex.substr(0, 16)) + (hex.size() > 16 ? "..." : "");
}

// The keys a signature of the envelope verifies under, among `candidates`, and the first
// signature that verified.
struct SigningKeys {
  std::vector<PublicKeyBytes> keys;
  std::optional<std::string> signature;
};
SigningKeys signing_keys(const DsseEnvelope& envelope,
                         const std::vector<PublicKeyBytes>& candidates) {
  const std::string signed_bytes =
      pre_authentication_encoding(envelope.payload_type, envelope.payload);
  SigningKeys found;
  for (const DsseSignature& signature : envelope.signatures) {
    if (signature.signature.size() != 64) continue;
    std::array<unsigned char, 64> bytes{};
    std::ranges::copy(signature.signature, bytes.begin());
    for (const PublicKeyBytes& key : candidates)
      if (std::ranges::find(found.keys, key) == found.keys.end() &&
          ed25519_verifies(key, signed_bytes, bytes)) {
        found.keys.push_back(key);
        if (!found.signature) found.signature = signature.signature;
      }
  }
  return found;
}

// Each token checked against the trusted authorities over `signature`, the envelope signature
// that verified; without trusted authorities the tokens are only counted.
TimestampEvidence timestamp_evidence(const std::vector<std::string>& tokens,
                                     const std::optional<std::string>& signature,
                                     const VerificationPolicy& policy) {
  TimestampEvidence evidence{.tokens = {}, .checked = !policy.tsa_certificates.empty()};
  for (const std::string& token : tokens) {
    TimestampVerdict& verdict = evidence.tokens.emplace_back();
    if (!evidence.checked) continue;
    if (!signature) {
      verdict.detail = "not checked: no signature of the envelope verifies";
      continue;
    }
    const auto verified = verify_timestamp(token, *signature, policy.tsa_certificates);
    if (!verified) {
      verdict.detail = verified.error().message;
      continue;
    }
    verdict = {true, verified->authority, verified->time, ""};
  }
  return evidence;
}

CheckResult signature_check(const std::vector<PublicKeyBytes>& keys, bool integrity_only) {
  const std::string by =
      integrity_only ? "the certificate's own key (nothing trusted)" : "a trusted key";
  if (keys.empty())
    return {"envelope-signature", false,
            "no signature over the pre-authentication encoding "
            "verifies under " +
                by};
  return {"envelope-signature", true,
          "Ed25519 signature over the pre-authentication encoding by " + by + " " +
              short_hex(public_key_hint(keys.front()))};
}

CheckResult statement_check(const DsseEnvelope& envelope,
                            const std::expected<Statement, Error>& statement) {
  if (envelope.payload_type != kInTotoPayloadType)
    return {"envelope-statement", false,
            "payloadType \"" + single_line(envelope.payload_type) + "\", not \"" +
                std::string(kInTotoPayloadType) + "\""};
  if (!statement) return {"envelope-statement", false, statement.error().message};
  if (statement->type != kStatementType)
    return {"envelope-statement", false,
            "_type \"" + single_line(statement->type) + "\", not \"" + std::string(kStatementType) +
                "\""};
  const std::string predicate_type = governance_predicate_type();
  if (statement->predicate_type != predicate_type)
    return {"envelope-statement", false,
            "predicateType \"" + single_line(statement->predicate_type) + "\", not \"" +
                predicate_type + "\""};
  return {"envelope-statement", true, "in-toto Statement v1 with predicateType " + predicate_type};
}

CheckResult key_check(const std::vector<PublicKeyBytes>& keys,
                      const std::optional<PublicKeyBytes>& certificate_key) {
  if (!certificate_key)
    return {"envelope-key", false, "the embedded certificate's signingPublicKey is unreadable"};
  if (std::ranges::find(keys, *certificate_key) == keys.end())
    return {"envelope-key", false, "the envelope is not signed by the certificate's signing key"};
  return {"envelope-key", true, "the envelope is signed by the certificate's signing key"};
}

// Why `subjects` are not exactly the certificate's `artifacts`, or none when they are.
std::optional<std::string> artifact_mismatch(std::span<const StatementSubject> subjects,
                                             const std::vector<StatementSubject>& artifacts,
                                             std::size_t first_index) {
  if (subjects.size() != artifacts.size())
    return std::to_string(subjects.size()) + " artifact subjects, but the certificate records " +
           std::to_string(artifacts.size()) + " artifacts of passed stages";
  for (std::size_t at = 0; at < subjects.size(); ++at)
    if (subjects[at] != artifacts[at])
      return "subject " + std::to_string(first_index + at + 1) + " (\"" +
             single_line(subjects[at].name) + "\" sha256 \"" +
             short_hex(single_line(subjects[at].sha256)) + "\") is not the certificate's \"" +
             single_line(artifacts[at].name) + "\" sha256 " + short_hex(artifacts[at].sha256);
  return std::nullopt;
}

// The Statement's subjects in one of the forms certwright-attest writes: the certificate alone,
// its artifacts, or both with the certificate first. The form is told by the first subject: a
// certificate subject's digest is `certificate_sha256`, which no artifact record of the
// certificate itself can hold, and only an artifact subject's name has a "/".
CheckResult subject_check(const Statement& statement, std::string_view certificate_sha256,
                          std::string_view of_what,
                          const std::optional<GovernanceCertificate>& certificate) {
  const std::vector<StatementSubject>& subjects = statement.subjects;
  if (subjects.empty()) return {"envelope-subject", false, "no subject"};
  const bool names_certificate = subjects.front().sha256 == certificate_sha256;
  if (names_certificate && subjects.size() == 1)
    return {"envelope-subject", true, "subject digest is the SHA-256 of " + std::string(of_what)};
  if (!names_certificate && subjects.size() == 1 && !subjects.front().name.contains('/'))
    return {"envelope-subject", false,
            "subject digest sha256 \"" + short_hex(single_line(subjects.front().sha256)) +
                "\" differs from " + std::string(of_what) + "'s " + short_hex(certificate_sha256)};
  if (!certificate)
    return {"envelope-subject", false,
            "not checked: artifact subjects, and the embedded certificate is unreadable"};
  const std::vector<StatementSubject> artifacts = artifact_subjects(*certificate);
  if (!names_certificate && subjects.size() == artifacts.size() + 1 &&
      !subjects.front().name.contains('/'))
    return {"envelope-subject", false,
            "the first subject's digest sha256 \"" +
                short_hex(single_line(subjects.front().sha256)) + "\" differs from " +
                std::string(of_what) + "'s " + short_hex(certificate_sha256)};
  const std::size_t skip = names_certificate ? 1 : 0;
  if (const auto mismatch = artifact_mismatch(std::span(subjects).subspan(skip), artifacts, skip))
    return {"envelope-subject", false, *mismatch};
  return {"envelope-subject", true,
          (names_certificate ? "the SHA-256 of " + std::string(of_what) + " and " : std::string()) +
              std::to_string(artifacts.size()) +
              " artifact subjects equal to the certificate's records"};
}

// Artifact subjects name no certificate file: the file beside the bundle must then be the
// certificate the Statement carries (a countersignature aside), and the artifacts its own.
CheckResult file_in_statement_check(const Statement& statement,
                                    const std::optional<GovernanceCertificate>& certificate,
                                    std::string_view file_sha256) {
  if (!certificate)
    return {"envelope-subject", false, "not checked: the certificate file is unreadable"};
  std::string compact;
  if (certificate->platform_countersign) {
    GovernanceCertificate sealed = *certificate;
    sealed.platform_countersign.reset();
    compact = encode_compact(sealed);
  } else {
    compact = encode_compact(*certificate);
  }
  const bool same = compact == statement.predicate;
  recycle_encoding(std::move(compact));
  if (!same)
    return {"envelope-subject", false,
            "the Statement names artifacts only, and the certificate file is not the certificate "
            "it carries"};
  return subject_check(statement, file_sha256, "the certificate file", certificate);
}

std::optional<PublicKeyBytes> certificate_key_of(
    const std::optional<GovernanceCertificate>& certificate) {
  if (!certificate) return std::nullopt;
  auto key = decode_exact<32>("signingPublicKey", certificate->signing_public_key);
  if (!key) return std::nullopt;
  return *key;
}

// The certificate in `file` when it carries a platformCountersign: the SHA-256 of the emitter's
// encoding of it without one (what certwright-attest names as the subject), and whether `file`
// is the emitter's encoding of it with one. None for a file that is no certificate or carries
// no countersignature.
struct SealedFile {
  std::string sha256;
  bool canonical = false;
};
std::optional<SealedFile> countersigned_file(std::string_view file) {
  const simdjson::padded_string padded(file);
  auto certificate = read_certificate(simdjson::padded_string_view(padded));
  if (!certificate || !certificate->platform_countersign) return std::nullopt;
  SealedFile sealed;
  sealed.canonical = encode_pretty(*certificate) == file;
  certificate->platform_countersign.reset();
  sealed.sha256 = hash_bytes(encode_pretty(*certificate));
  return sealed;
}

// The bytes the bundle of a certificate file of `size` bytes takes at most: room for its head and
// tail, and for a re-encoding a little longer than the file.
std::size_t bundle_capacity(std::size_t size) {
  constexpr std::size_t kRoom = 4096;
  return base64_encoded_size(size + kRoom) + kRoom;
}

}  // namespace

std::string public_key_hint(const PublicKeyBytes& public_key) {
  return hash_bytes({reinterpret_cast<const char*>(public_key.data()), public_key.size()});
}

std::string bundle_buffer(std::size_t size) {
  std::string buffer;
  buffer.reserve(bundle_capacity(size));
  // The bundle's buffer is written nearly whole (only its last huge page may be partly unused),
  // and on huge pages 14 MB cost a few hundred page faults instead of 3,500: on 120,000 artifacts
  // certwright-attest went from 1.48 to 1.24 times certwright-verify's time (with the release of
  // the records below; one paired run of 15 rounds).
  advise_huge_pages(buffer.data(), buffer.capacity());
  return buffer;
}

std::expected<SignedBundle, Error> bundle_certificate(const CertificateFile& file,
                                                      GovernanceCertificate certificate,
                                                      const SigningKey& key,
                                                      const Timestamper& timestamper,
                                                      SubjectForm subjects) {
  // The operator attests the certificate as sealed: a countersignature lies outside its hash and
  // signature, so neither the predicate nor the subject's digest may vouch for one.
  std::string subject_sha256 = file.sha256;
  if (certificate.platform_countersign) {
    certificate.platform_countersign.reset();
    std::string sealed = encode_pretty(certificate);
    subject_sha256 = hash_bytes(sealed);
    recycle_encoding(std::move(sealed));
  }
  const std::string hint = public_key_hint(key.public_key());
  DsseEnvelope envelope{.payload = {},
                        .payload_type = std::string(kInTotoPayloadType),
                        .signatures = {{hint, std::string(64, '\0')}}};
  // One buffer holds the Statement, the pre-authentication header in front of it for signing,
  // and then the bundle: the Statement's Base64 is written over the Statement itself (the
  // bundle's head is longer than the header, so the Base64 starts no earlier than the text it
  // encodes). For 120,000 artifacts that is 14 MB in all instead of 11 MB more for a copy.
  const std::size_t head = bundle_frame(envelope, hint).head.size();
  std::string text = take_encoding_buffer();
  if (text.capacity() < bundle_capacity(file.size)) text = bundle_buffer(file.size);
  text.resize(head);
  append_statement(text, file.name, subject_sha256, certificate, subjects);
  certificate = GovernanceCertificate();
  // The records' memory goes back to the system before the Base64 grows the buffer: glibc keeps
  // freed heap pages (12 MB for 120,000 artifacts), which would raise the peak past the
  // reader's.
  release_free_memory();
  const std::size_t payload_size = text.size() - head;

  const std::string header = pre_authentication_header(envelope.payload_type, payload_size);
  if (header.size() > head) throw std::logic_error("pre-authentication header longer than room");
  std::ranges::copy(header, text.begin() + static_cast<std::ptrdiff_t>(head - header.size()));
  const auto signature = key.sign(std::string_view(text).substr(head - header.size()));
  envelope.signatures.front().signature.assign(reinterpret_cast<const char*>(signature.data()),
                                               signature.size());

  std::vector<std::string> timestamps;
  if (timestamper) {
    auto answered = timestamper(envelope.signatures.front().signature);
    if (!answered) return std::unexpected(answered.error());
    timestamps = std::move(*answered);
  }

  // Timestamps lengthen the head: the Base64 then lands after the Statement's start, which the
  // backward encoding allows.
  const BundleFrame frame = bundle_frame(envelope, hint, timestamps);
  const std::size_t at = frame.head.size();
  const std::size_t encoded = base64_encoded_size(payload_size);
  const std::size_t size = at + encoded + frame.tail.size();
  // The size is returned as computed (see base64_append).
  text.resize_and_overwrite(size, [&](char* data, std::size_t) {
    base64_encode_to(reinterpret_cast<const unsigned char*>(data + head), payload_size, data + at);
    std::ranges::copy(frame.head, data);
    std::ranges::copy(frame.tail, data + at + encoded);
    return size;
  });
  const std::size_t envelope_size = text.size() - frame.envelope_at - 1;
  return SignedBundle{std::move(text), frame.envelope_at, envelope_size};
}

bool is_attestation(simdjson::padded_string_view file) {
  // Too dense to be read at all: the certificate reader refuses it without parsing it here.
  if (!within_value_bound(file)) return false;
  simdjson::ondemand::parser parser;
  simdjson::ondemand::document document;
  simdjson::ondemand::object root;
  if (parser.iterate(file).get(document) || document.get_object().get(root)) return false;
  for (auto field : root) {
    std::string_view key;
    if (field.unescaped_key().get(key)) return false;
    if (key == "mediaType" || key == "payload") return true;
    if (key == "certificateVersion") return false;
  }
  return false;
}

VerificationReport verify_attestation(simdjson::padded_string_view attestation,
                                      std::optional<std::string_view> certificate_file,
                                      const VerificationPolicy& policy, const DriftInputs& inputs) {
  auto file = read_attestation(attestation);
  if (!file) {
    VerificationReport report;
    report.checks.push_back({"envelope-statement", false, file.error().message});
    return report;
  }
  DsseEnvelope& envelope = file->envelope;
  envelope.payload.reserve(envelope.payload.size() + simdjson::SIMDJSON_PADDING);
  const auto statement = read_statement(simdjson::padded_string_view(envelope.payload));
  // A certificate file beside its bundle is verified itself, countersignature and all, when the
  // Statement names it by its encoding without a countersignature, or names only artifacts; the
  // subject check then binds it to the envelope.
  std::optional<std::string> file_sha256;
  std::optional<SealedFile> countersigned;
  bool file_named = false;
  if (statement && certificate_file) {
    file_sha256 = hash_bytes(*certificate_file);
    // Only a certificate's subject is named without "/" (see subject_check).
    const std::vector<StatementSubject>& subjects = statement->subjects;
    file_named = !subjects.empty() && !subjects.front().name.contains('/');
    if (file_named && subjects.front().sha256 != *file_sha256)
      countersigned = countersigned_file(*certificate_file);
  }
  const bool verify_file = countersigned || (file_sha256 && !file_named);
  const simdjson::padded_string embedded(verify_file ? *certificate_file
                                         : statement ? statement->predicate
                                                     : std::string_view());

  // Every key the caller trusts, for any signer or for some: the embedded certificate's
  // "trusted-key" check judges whether the key may seal for the certificate's signer.
  std::vector<PublicKeyBytes> candidates = policy.trusted_keys;
  for (const AllowedSigner& line : policy.allowed_signers)
    candidates.push_back(line.key);
  SigningKeys signed_by = signing_keys(envelope, candidates);
  // Tokens count only over a signature that verified. With integrity_only the certificate's own
  // key is known only once it is read: a lone signature is taken, since the report fails unless
  // it verifies under that key.
  std::optional<std::string> stamped = signed_by.signature;
  if (policy.integrity_only && envelope.signatures.size() == 1)
    stamped = envelope.signatures.front().signature;

  // The embedded certificate is read once, by the certificate's own checks, with the times of
  // the tokens over the envelope's signature; the envelope's checks then take its record from
  // their report.
  VerificationReport report = verify_certificate(
      embedded, policy, inputs, timestamp_evidence(file->timestamps, stamped, policy));
  const std::optional<GovernanceCertificate>& certificate = report.certificate;
  const std::optional<PublicKeyBytes> certificate_key = certificate_key_of(certificate);
  if (policy.integrity_only && certificate_key) {
    candidates.push_back(*certificate_key);
    signed_by = signing_keys(envelope, candidates);
  }
  const std::vector<PublicKeyBytes>& keys = signed_by.keys;

  std::vector<CheckResult> checks{signature_check(keys, policy.integrity_only),
                                  statement_check(envelope, statement),
                                  key_check(keys, certificate_key)};
  if (!statement)
    checks.push_back({"envelope-subject", false, "not checked: the Statement is unreadable"});
  else if (certificate_file && !file_named)
    checks.push_back(file_in_statement_check(*statement, certificate, *file_sha256));
  else if (certificate_file)
    checks.push_back(countersigned ? subject_check(*statement, countersigned->sha256,
                                                   "the certificate file without its "
                                                   "platformCountersign",
                                                   certificate)
                                   : subject_check(*statement, *file_sha256, "the certificate file",
                                                   certificate));
  else if (certificate)
    checks.push_back(subject_check(*statement, hash_bytes(encode_pretty(*certificate)),
                                   "the embedded certificate", certificate));
  else
    checks.push_back(
        {"envelope-subject", false, "not checked: the embedded certificate is unreadable"});

  report.checks.insert(report.checks.begin(), checks.begin(), checks.end());
  // Canonical: the certificate file, or else the embedded predicate, is byte for byte the
  // emitter's own encoding.
  report.canonical =
      certificate &&
      (countersigned      ? countersigned->canonical
       : certificate_file ? encode_pretty(*certificate) == *certificate_file
                          : encode_compact(*certificate) == std::string_view(embedded));
  for (const std::string& material : file->not_checked)
    report.notes.push_back("verificationMaterial." + material +
                           " is present but not checked and not trusted; the envelope's signature "
                           "is checked offline under the trusted keys alone");
  return report;
}

}  // namespace certwright
