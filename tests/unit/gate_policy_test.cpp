#include "core/verify/gate_policy.h"

#include <gtest/gtest.h>

#include <string>

namespace certwright {
namespace {

constexpr std::string_view kKey = "11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=";

TEST(GatePolicy, ReadsEveryKeyAndResolvesPathsAgainstThePolicyDirectory) {
  const std::string text =
      "version: 1\n"
      "expires: \"2027-01-31T00:00:00Z\"\n"
      "public-keys: [\"" +
      std::string(kKey) +
      "\"]\n"
      "public-key-files: [keys/op.pub, /etc/op.pub]\n"
      "allowed-signers-files: [signers]\n"
      "platform-keys-files: [platform]\n"
      "revoked-keys-files: [revoked]\n"
      "require-stages: [s0, s1]\n"
      "other-stages: forbid\n"
      "forbid-skipped: true\n"
      "require-full-coverage: true\n"
      "require-countersign: true\n"
      "max-age: 24h\n";
  const auto policy = parse_gate_policy(text, "/gate");
  ASSERT_TRUE(policy.has_value()) << policy.error();
  EXPECT_EQ(policy->public_keys, std::vector<std::string>{std::string(kKey)});
  EXPECT_EQ(policy->public_key_files,
            (std::vector<std::string>{"/gate/keys/op.pub", "/etc/op.pub"}));
  EXPECT_EQ(policy->allowed_signers_files, std::vector<std::string>{"/gate/signers"});
  EXPECT_EQ(policy->platform_keys_files, std::vector<std::string>{"/gate/platform"});
  EXPECT_EQ(policy->revoked_keys_files, std::vector<std::string>{"/gate/revoked"});
  EXPECT_EQ(policy->required_stages, (std::vector<std::string>{"s0", "s1"}));
  EXPECT_TRUE(policy->forbid_other_stages && policy->forbid_skipped &&
              policy->require_full_coverage && policy->require_countersign);
  EXPECT_EQ(policy->max_age, "24h");
  ASSERT_TRUE(policy->expires.has_value());
  EXPECT_EQ(format_date_time(*policy->expires), "2027-01-31T00:00:00Z");

  const auto relative = parse_gate_policy("version: 1\npublic-key-files: [op.pub]\n", "");
  ASSERT_TRUE(relative.has_value()) << relative.error();
  EXPECT_EQ(relative->public_key_files, std::vector<std::string>{"op.pub"});
}

TEST(GatePolicy, RefusesWithTheKeyAndItsLine) {
  struct Case {
    std::string_view text;
    std::string_view error;
  };
  for (const auto& [text, error] : std::initializer_list<Case>{
           {"version: 1\nfoo: 1\n", "line 2: key \"foo\" is not a policy key"},
           {"version: 1\nversion: 1\n", "line 2: key \"version\" appears a second time"},
           {"{\"version\": 1, \"max-age\": \"1h\",\n\"max-age\": \"1h\"}",
            "line 2: key \"max-age\" appears a second time"},
           {"version: \"1\"\n", "line 1: key \"version\": expected a whole number"},
           {"version: 1\nrequire-stages: [s0, \"\"]\n",
            "line 2: key \"require-stages\": item at line 2: expected a non-empty string"},
           {"version: 1\nrequire-stages: [[s0]]\n",
            "line 2: key \"require-stages\": item at line 2: expected a non-empty string"},
           {"version: 1\nforbid-skipped: 1\n",
            "line 2: key \"forbid-skipped\": expected true or false"},
           {"version: 1\nrequire-timestamp: -1\n",
            "line 2: key \"require-timestamp\": expected a whole number"},
           {"version: 1\nmax-age: 24\n", "line 2: key \"max-age\": expected a string"},
           {"version: 1\n? [a]\n: 1\n", "line 2: a key must be a string"},
           {"version: 1\n\"\\u202e\": 1\n", "line 2: key \"\\u{202e}\" is not a policy key"},
           {"", "the policy is not one mapping of keys"},
           {"other-stages: allow\n", "key \"version\" is required"},
       }) {
    const auto policy = parse_gate_policy(text, "/gate");
    ASSERT_FALSE(policy.has_value()) << text;
    EXPECT_EQ(policy.error().substr(0, error.size()), error) << text << "\n" << policy.error();
  }
}

TEST(GatePolicy, CheckFailsFromTheExpiryOn) {
  const auto policy = parse_gate_policy("version: 1\nexpires: \"2027-01-31T00:00:00Z\"\n", "");
  ASSERT_TRUE(policy.has_value()) << policy.error();
  const std::string sha256(64, 'a');
  const std::int64_t expiry = policy->expires->unix_seconds;
  EXPECT_TRUE(policy_check(*policy, sha256, {expiry - 1, 999'999'999}).ok);
  const CheckResult expired = policy_check(*policy, sha256, {expiry, 0});
  EXPECT_FALSE(expired.ok);
  EXPECT_EQ(expired.name, "policy");
  EXPECT_EQ(expired.detail, "policy sha256 aaaaaaaaaaaaaaaa... expired at 2027-01-31T00:00:00Z");
  EXPECT_TRUE(policy_check(GatePolicy{}, sha256, {expiry * 2, 0}).ok);
}

}  // namespace
}  // namespace certwright
