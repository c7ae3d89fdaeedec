#include "core/record/signer_identity.h"

#include <gtest/gtest.h>

#include <optional>

namespace certwright {
namespace {

constexpr std::string_view kSubjectEmpty =
    "signer subject is empty or whitespace (FR-007); anonymous signing forbidden";
constexpr std::string_view kProviderEmpty = "signer identity_provider is empty";

TEST(SignerIdentity, RejectsBlankTextsSubjectFirstAndKeepsGoodTextsVerbatim) {
  struct Case {
    std::string subject;
    std::string provider;
    std::optional<SignerError::Kind> error;
  };
  const Case cases[] = {
      {"   ", "https://idp.example", SignerError::Kind::subject_empty},
      {"", "", SignerError::Kind::subject_empty},
      {"\xC2\xA0\xE3\x80\x80", "https://idp.example", SignerError::Kind::subject_empty},
      {"alice", "\t", SignerError::Kind::identity_provider_empty},
      {"alice", "", SignerError::Kind::identity_provider_empty},
      {" alice", "https://idp.example ", std::nullopt},
      {"\xE2\x80\x8B", "idp", std::nullopt},  // U+200B is not white space
  };
  for (const auto& c : cases) {
    const auto identity = new_signer_identity(c.subject, c.provider);
    if (c.error) {
      ASSERT_FALSE(identity) << c.subject;
      EXPECT_EQ(identity.error().kind, *c.error) << c.subject;
      EXPECT_EQ(identity.error().message,
                *c.error == SignerError::Kind::subject_empty ? kSubjectEmpty : kProviderEmpty);
    } else {
      ASSERT_TRUE(identity) << c.subject;
      EXPECT_EQ(identity->subject, c.subject);
      EXPECT_EQ(identity->identity_provider, c.provider);
      EXPECT_EQ(identity->session_id, std::nullopt);
    }
  }
}

}  // namespace
}  // namespace certwright
