// Validation of the signer's subject and identity provider.
#pragma once

#include <expected>
#include <string>

#include "core/record/certificate.h"

namespace certwright {

struct SignerError {
  enum class Kind { subject_empty, identity_provider_empty };
  Kind kind;
  std::string message;
};

// The identity holding both texts unchanged (no session id), or SubjectEmpty /
// IdentityProviderEmpty when a text is empty after trimming Unicode white space.
std::expected<SignerIdentity, SignerError> new_signer_identity(const std::string& subject,
                                                               const std::string& provider);

}  // namespace certwright
