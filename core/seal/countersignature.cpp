#include "core/seal/countersignature.h"

#include <span>

#include "core/base/base64.h"
#include "core/base/json_writer.h"

namespace certwright {
namespace {

std::span<const unsigned char> bytes_of(std::string_view text) {
  return {reinterpret_cast<const unsigned char*>(text.data()), text.size()};
}

// Whole seconds of a time, a leap second's included.
std::int64_t whole_seconds(UtcTime time) {
  return time.unix_seconds;
}

}  // namespace

std::string countersign_header(std::string_view kid) {
  std::string text;
  JsonWriter writer(Layout::compact, text);
  writer.begin_object();
  writer.key("alg");
  writer.string("EdDSA");
  writer.key("kid");
  writer.string(kid);
  writer.key("typ");
  writer.string(kCountersignType);
  writer.end_object();
  return text;
}

std::string countersign_payload(const GovernanceCertificate& certificate,
                                const CountersignRequest& request) {
  std::string text;
  JsonWriter writer(Layout::compact, text);
  writer.begin_object();
  writer.key("certificateHash");
  writer.string(certificate.certificate_hash);
  writer.key("certSignature");
  writer.string(certificate.cert_signature);
  writer.key("runId");
  writer.string(certificate.pipeline_run_id);
  writer.key("countersignedAt");
  writer.string(format_date_time(request.at));
  writer.key("iat");
  writer.signed_integer(whole_seconds(request.at));
  writer.key("iss");
  writer.string(request.issuer);
  writer.end_object();
  return text;
}

void countersign_certificate(GovernanceCertificate& certificate, const SigningKey& key,
                             const CountersignRequest& request) {
  std::string jws = base64url_encode(bytes_of(countersign_header(request.kid)));
  jws.push_back('.');
  jws.append(base64url_encode(bytes_of(countersign_payload(certificate, request))));
  const auto signature = key.sign(jws);
  jws.push_back('.');
  jws.append(base64url_encode(signature));
  certificate.platform_countersign = PlatformCountersign{
      .countersign_jws = std::move(jws), .kid = request.kid, .countersigned_at = request.at};
}

}  // namespace certwright
