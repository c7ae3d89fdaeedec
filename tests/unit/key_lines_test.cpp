#include "core/verify/key_lines.h"

#include <gtest/gtest.h>

#include <string>

#include "core/verify/allowed_signers.h"
#include "core/verify/platform_keys.h"
#include "core/verify/revoked_keys.h"

namespace certwright {
namespace {

constexpr std::string_view kKey = "9cEJlYKbGx+m9B4BXN8OF3RAPZ9ZUfGl5kh6QMnBgHs=";
constexpr std::string_view kOtherKey = "A6EHv/POEL4dcN0Y50vAmWfk1jCbpQ1fHdyGZBJVMbg=";

PublicKeyBytes key_bytes(std::string_view text) {
  const auto key = parse_public_key(text);
  EXPECT_TRUE(key) << text;
  return key.value_or(PublicKeyBytes{});
}

TEST(KeyLines, WindowsBoundTheTimesAKeyIsTrustedAt) {
  const auto signers = parse_allowed_signers(
      "# operators\n"
      "\"alice smith\" idp " +
      std::string(kKey) +
      " valid-after=20260101Z valid-before=2026-07-01T00:00:00Z\n"
      "\n"
      "- - " +
      std::string(kOtherKey) + "\n");
  ASSERT_TRUE(signers) << signers.error();
  ASSERT_EQ(signers->size(), 2u);
  const KeyWindow& window = (*signers)[0].window;
  EXPECT_EQ((*signers)[0].subject, "alice smith");
  EXPECT_TRUE(window.contains({1767225600, 0}));  // 2026-01-01T00:00:00Z, inclusive
  EXPECT_TRUE(window.contains({1782864000, 0}));  // 2026-07-01T00:00:00Z, inclusive
  EXPECT_FALSE(window.contains({1767225599, 999'999'999}));
  EXPECT_FALSE(window.contains({1782864000, 1}));
  EXPECT_EQ(window.describe(), "valid after 2026-01-01T00:00:00Z and before 2026-07-01T00:00:00Z");
  EXPECT_FALSE((*signers)[1].window.bounded());
  EXPECT_TRUE((*signers)[1].window.contains({0, 0}));
}

TEST(KeyLines, MalformedLinesAreNamedByNumber) {
  const std::string key(kKey);
  struct Case {
    std::string text;
    std::string error;
  };
  const Case allowed_signers[] = {
      {"a b " + key + " valid-after=2026-01-01",
       "line 1: valid-after: not a time (RFC 3339, or YYYYMMDD[HHMM[SS]]Z): 2026-01-01"},
      {"\n\na b " + key + " valid-before=20260101",
       "line 3: valid-before: not a time (RFC 3339, or YYYYMMDD[HHMM[SS]]Z): 20260101"},
      {"a b " + key + " valid-after=20260101Z valid-after=20260102Z",
       "line 1: valid-after given twice"},
      {"a b " + key + " valid-after=20270101Z valid-before=20260101Z",
       "line 1: valid-before lies before valid-after"},
      {"a b " + key + " expires=20260101Z",
       "line 1: expected SUBJECT IDENTITY-PROVIDER KEY [valid-after=TIME] [valid-before=TIME], "
       "found 4 fields"},
      {"\"a b " + key, "line 1: a quoted field is not closed"},
  };
  for (const Case& c : allowed_signers) {
    const auto parsed = parse_allowed_signers(c.text);
    ASSERT_FALSE(parsed) << c.text;
    EXPECT_EQ(parsed.error(), c.error) << c.text;
  }
  const Case platform_keys[] = {
      {key, "line 1: expected KID KEY [valid-after=TIME] [valid-before=TIME], found 1 fields"},
      {"\"\" " + key, "line 1: KID: empty or not UTF-8"},
      {"kid AAAA", "line 1: KEY: "},
  };
  for (const Case& c : platform_keys) {
    const auto parsed = parse_platform_keys(c.text);
    ASSERT_FALSE(parsed) << c.text;
    EXPECT_TRUE(parsed.error().starts_with(c.error)) << parsed.error();
  }
  const Case revocations[] = {
      {"SHA256:short", "line 1: expected KEY-OR-FINGERPRINT [revoked-at=TIME] [reason ...]: "},
      {key + " revoked-at=yesterday",
       "line 1: revoked-at: not a time (RFC 3339, or YYYYMMDD[HHMM[SS]]Z): yesterday"},
  };
  for (const Case& c : revocations) {
    const auto parsed = parse_revoked_keys(c.text);
    ASSERT_FALSE(parsed) << c.text;
    EXPECT_TRUE(parsed.error().starts_with(c.error)) << parsed.error();
  }
}

TEST(KeyLines, PlatformKeysAndRevocationsAreKnownByKidAndFingerprint) {
  const auto platform =
      parse_platform_keys("\"platform 1\" " + std::string(kKey) + " valid-before=20270101Z\n");
  ASSERT_TRUE(platform) << platform.error();
  ASSERT_EQ(platform->size(), 1u);
  EXPECT_EQ((*platform)[0].kid, "platform 1");
  EXPECT_EQ((*platform)[0].key, key_bytes(kKey));
  EXPECT_EQ(platform_key_of(key_bytes(kKey)).kid, key_fingerprint(key_bytes(kKey)));

  const std::string fingerprint = key_fingerprint(key_bytes(kKey));
  const auto revoked =
      parse_revoked_keys(fingerprint + " revoked-at=2026-03-01T00:00:00Z rotated\n" +
                         std::string(kKey) + " revoked-at=20260201Z key leaked in CI logs\n");
  ASSERT_TRUE(revoked) << revoked.error();
  const auto found = find_revocation(*revoked, key_bytes(kKey));
  ASSERT_TRUE(found);
  EXPECT_EQ(found->revoked_at, UtcTime(1769904000, 0));  // the earlier of the two
  EXPECT_EQ(found->reason, "key leaked in CI logs");
  EXPECT_FALSE(find_revocation(*revoked, key_bytes(kOtherKey)));

  const auto for_good =
      parse_revoked_keys(std::string(kKey) + "\n" + fingerprint + " revoked-at=20260201Z\n");
  ASSERT_TRUE(for_good);
  EXPECT_FALSE(find_revocation(*for_good, key_bytes(kKey))->revoked_at);
}

}  // namespace
}  // namespace certwright
