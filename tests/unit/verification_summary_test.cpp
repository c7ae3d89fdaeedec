#include "core/formats/verification_summary.h"

#include <gtest/gtest.h>

#include <string>

namespace certwright {
namespace {

SigningKey key_of(unsigned char fill) {
  Seed seed;
  seed.bytes().fill(fill);
  return SigningKey::from_seed(seed).value();
}

SummaryStatement passed_summary() {
  return {.verifier_id = "https://ci.example/gate",
          .time_verified = {1'800'000'000, 5},
          .resource_uri = run_resource_uri("run-1"),
          .policy_uri = "gate/policy.yaml",
          .policy_sha256 = std::string(64, 'b'),
          .subjects = {{"app.tar", std::string(64, 'c')}},
          .input_attestations = {{"cert.json", std::string(64, 'd')}},
          .passed = true};
}

TEST(VerificationSummary, ReadsBackWhatItSignedUnderItsKeyOnly) {
  const SigningKey key = key_of(7);
  const SummaryStatement written = passed_summary();
  const std::string bundle = sign_summary_bundle(written, key);
  const auto read = read_summary_bundle(bundle, key.public_key());
  ASSERT_TRUE(read.has_value()) << read.error().message;
  EXPECT_EQ(read->verifier_id, written.verifier_id);
  EXPECT_EQ(read->time_verified, written.time_verified);
  EXPECT_EQ(read->resource_uri, "urn:certwright:run:run-1");
  EXPECT_EQ(read->policy_uri, written.policy_uri);
  EXPECT_EQ(read->policy_sha256, written.policy_sha256);
  ASSERT_EQ(read->subjects.size(), 1u);
  EXPECT_EQ(read->subjects[0].sha256, written.subjects[0].sha256);
  EXPECT_TRUE(read->passed);

  const auto other = read_summary_bundle(bundle, key_of(8).public_key());
  ASSERT_FALSE(other.has_value());
  EXPECT_NE(other.error().message.find("signed by another key"), std::string::npos);
}

TEST(VerificationSummary, FailedSummaryClaimsNoLevel) {
  SummaryStatement failed = passed_summary();
  failed.passed = false;
  const std::string statement = encode_summary_statement(failed);
  EXPECT_NE(statement.find("\"verificationResult\":\"FAILED\",\"verifiedLevels\":[]"),
            std::string::npos)
      << statement;
  const SigningKey key = key_of(9);
  const auto read = read_summary_bundle(sign_summary_bundle(failed, key), key.public_key());
  ASSERT_TRUE(read.has_value()) << read.error().message;
  EXPECT_FALSE(read->passed);
}

TEST(VerificationSummary, RunIdIsPercentEncodedInTheResourceUri) {
  struct Case {
    std::string_view run_id;
    std::string_view uri;
  };
  for (const auto& [run_id, uri] : std::initializer_list<Case>{
           {"r-1.2_3~", "urn:certwright:run:r-1.2_3~"},
           {"a b/c?d#e%", "urn:certwright:run:a%20b%2Fc%3Fd%23e%25"},
           {"\xc3\xbc\n", "urn:certwright:run:%C3%BC%0A"},
       })
    EXPECT_EQ(run_resource_uri(run_id), uri);
}

}  // namespace
}  // namespace certwright
