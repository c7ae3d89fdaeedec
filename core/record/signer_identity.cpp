#include "core/record/signer_identity.h"

#include "core/base/text.h"

namespace certwright {

std::expected<SignerIdentity, SignerError> new_signer_identity(const std::string& subject,
                                                               const std::string& provider) {
  // The subject is judged first, so an all-empty identity reports the anonymous signer.
  if (trim_white_space(subject).empty())
    return std::unexpected(
        SignerError{SignerError::Kind::subject_empty,
                    "signer subject is empty or whitespace (FR-007); anonymous signing forbidden"});
  if (trim_white_space(provider).empty())
    return std::unexpected(SignerError{SignerError::Kind::identity_provider_empty,
                                       "signer identity_provider is empty"});
  // Trimming only decides emptiness; the certificate records the texts as given.
  return SignerIdentity{subject, provider, std::nullopt};
}

}  // namespace certwright
