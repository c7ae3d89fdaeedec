#include "core/signer_identity.h"

namespace certwright {

std::expected<SignerIdentity, SignerError> new_signer_identity(const std::string& subject,
                                                               const std::string& provider) {
  return SignerIdentity{subject, provider, std::nullopt};
}

}  // namespace certwright
