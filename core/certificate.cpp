#include "core/certificate.h"

namespace certwright {

const char* to_text(CertificateStatus status) {
  return status == CertificateStatus::complete ? "complete" : "incomplete";
}
const char* to_text(CheckStatus) {
  return "skipped";
}
const char* to_text(ChainIntegrity) {
  return "empty";
}
const char* to_text(AttestationKind) {
  return "unsigned";
}
const char* display_name(CertificateStatus status) {
  return status == CertificateStatus::complete ? "Complete" : "Incomplete";
}

}  // namespace certwright
