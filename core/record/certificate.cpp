#include "core/record/certificate.h"

namespace certwright {

const char* to_text(CertificateStatus status) {
  switch (status) {
    case CertificateStatus::complete:
      return "complete";
    case CertificateStatus::incomplete:
      return "incomplete";
  }
  return "incomplete";
}

const char* to_text(CheckStatus status) {
  switch (status) {
    case CheckStatus::passed:
      return "passed";
    case CheckStatus::failed:
      return "failed";
    case CheckStatus::skipped:
      return "skipped";
  }
  return "skipped";
}

const char* to_text(ChainIntegrity integrity) {
  switch (integrity) {
    case ChainIntegrity::verified:
      return "verified";
    case ChainIntegrity::unverified:
      return "unverified";
    case ChainIntegrity::empty:
      return "empty";
  }
  return "empty";
}

const char* to_text(AttestationKind kind) {
  switch (kind) {
    case AttestationKind::unsigned_:
      return "unsigned";
    case AttestationKind::ephemeral:
      return "ephemeral";
    case AttestationKind::operator_:
      return "operator";
    case AttestationKind::sigstore_rekor:
      return "sigstore-rekor";
  }
  return "unsigned";
}

const char* display_name(CertificateStatus status) {
  return status == CertificateStatus::complete ? "Complete" : "Incomplete";
}

}  // namespace certwright
