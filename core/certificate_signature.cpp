#include "core/certificate_signature.h"

namespace certwright {

std::string encode_public_key(const SigningKey&) {
  return {};
}
std::string sign_certificate(const GovernanceCertificate&, const SigningKey&) {
  return {};
}

}  // namespace certwright
