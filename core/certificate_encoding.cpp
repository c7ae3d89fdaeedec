#include "core/certificate_encoding.h"

namespace certwright {

void write_certificate_json(JsonWriter&, const GovernanceCertificate&, CertificateView) {}
std::string encode_compact(const GovernanceCertificate&, CertificateView) {
  return "{}";
}
std::string encode_pretty(const GovernanceCertificate&) {
  return "{}";
}
std::string compute_certificate_hash(const GovernanceCertificate&) {
  return std::string(64, '0');
}
void write_json(JsonWriter&, const StageRecord&) {}
void write_json(JsonWriter&, const SignerIdentity&) {}
void write_json(JsonWriter&, const AgenticPostureBinding&) {}

}  // namespace certwright
