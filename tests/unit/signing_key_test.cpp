#include "core/seal/signing_key.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <span>

namespace certwright {
namespace {

std::string hex(std::span<const unsigned char> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char byte : bytes) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0x0F]);
  }
  return text;
}

std::string unhex(std::string_view text) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2)
    bytes.push_back(static_cast<char>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
  return bytes;
}

Seed seed_from_hex(std::string_view text) {
  Seed seed;
  const std::string bytes = unhex(text);
  std::copy(bytes.begin(), bytes.end(), seed.bytes().begin());
  return seed;
}

// RFC 8032 section 7.1, TEST 1 and TEST 2.
constexpr std::string_view kTest1Seed = "nWGxne/9WmC6hEr0kuwsxERJxWl7MmkZcDusAxyuf2A=";
constexpr std::string_view kTest1Public =
    "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a";
constexpr std::string_view kTest2Seed = "TM0Imyj/ltqdtsNG7BFOD1uKMZ81q6Yk2oz27U+4pvs=";

TEST(SigningKey, ReproducesTheRfc8032Vectors) {
  struct Case {
    std::string_view secret, public_key, message, signature;
  };
  const Case cases[] = {
      {"9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60", kTest1Public, "",
       "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e3970"
       "1cf9b46bd25bf5f0595bbe24655141438e7a100b"},
      {"4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
       "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
       "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613"
       "d0f11d8c387b2eaeb4302aeeb00d291612bb0c00"},
      {"c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
       "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
       "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760"
       "984dc6594a7c15e9716ed28dc027beceea1ec40a"},
  };
  for (const auto& c : cases) {
    const auto key = SigningKey::from_seed(seed_from_hex(c.secret));
    ASSERT_TRUE(key) << key.error();
    EXPECT_EQ(hex(key->public_key()), c.public_key);
    EXPECT_EQ(hex(key->sign(unhex(c.message))), c.signature);
  }
}

TEST(SigningKey, MovingASeedWipesTheSource) {
  Seed seed = seed_from_hex("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60");
  const Seed moved = std::move(seed);
  EXPECT_EQ(hex(seed.bytes()), std::string(64, '0'));
  EXPECT_EQ(hex(moved.bytes()), "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60");
}

TEST(ParseSeed, AcceptsOnlyA32ByteStrictBase64Text) {
  const std::string seed(kTest1Seed);
  struct Case {
    std::string text;
    std::string message;  // empty: accepted as the TEST 1 seed
  };
  const Case cases[] = {
      {seed, ""},
      {" \t" + seed + "\r\n", ""},
      {"\xC2\xA0" + seed + "\xE3\x80\x80", ""},  // U+00A0, U+3000
      {"AAECAwQFBgcICQoLDA0ODw==", "seed length 16 != 32"},
      {"", "seed length 0 != 32"},
      {" \n ", "seed length 0 != 32"},
      {seed.substr(0, 43), "base64: Invalid padding"},
      {seed + "=", "base64: Invalid symbol 61, offset 43."},
      {"TM0Imyj_ltqdtsNG7BFOD1uKMZ81q6Yk2oz27U-4pvs=", "base64: Invalid symbol 95, offset 7."},
      {"TM0Imyj/ltqdtsNG7BFOD1uKMZ81q6Yk2oz27U-4pvs=", "base64: Invalid symbol 45, offset 38."},
      {seed.substr(0, 20) + "\n" + seed.substr(20), "base64: Invalid symbol 10, offset 20."},
      {seed.substr(0, 20) + " " + seed.substr(20), "base64: Invalid symbol 32, offset 20."},
      {seed.substr(0, 42) + "B=", "base64: Invalid last symbol 66, offset 42."},
      {seed.substr(0, 43) + "AA", "base64: Invalid input length: 45"},
      // Public keys as certwright-keygen prints them and as the verifier reads them: every form
      // but bare Base64 (a seed's own) is refused by name, never decoded.
      {seed + " certwright-ed25519-public-key\n",
       "this is a public key (certwright-ed25519-public-key), not a seed"},
      {seed + "\toperator", "this is a public key followed by a label, not a seed"},
      {"-----BEGIN PUBLIC KEY-----\nMCowBQYDK2VwAyEA11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=\n"
       "-----END PUBLIC KEY-----\n",
       "this is a PEM PUBLIC KEY block, not a seed"},
      {"-----BEGIN PRIVATE "
       "KEY-----\nMC4CAQAwBQYDK2VwBCIEIJ1hsZ3v/VpguoRK9JLsLMREScVpezJpGXA7rAMcrn9g\n"
       "-----END PRIVATE KEY-----\n",
       "this is a PEM PRIVATE KEY block, not a seed"},
      {"ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAINdamAGCsQq31Uv+08lkBzoO4XLz2qYjJa8CGmj3B1Ea op",
       "this is an OpenSSH public key line, not a seed"},
  };
  for (const auto& c : cases) {
    const auto parsed = parse_seed(c.text);
    if (c.message.empty()) {
      ASSERT_TRUE(parsed) << c.text << ": " << parsed.error();
      EXPECT_EQ(hex(parsed->bytes()),
                "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60");
    } else {
      ASSERT_FALSE(parsed) << c.text;
      EXPECT_EQ(parsed.error(), c.message) << c.text;
    }
  }
}

// Sets the two key variables for one test and restores the process environment afterwards.
class KeyEnvironment : public ::testing::Test {
 protected:
  static constexpr const char* kVariables[] = {"ZEM_SIGNING_KEY", "ZEM_SIGNING_KEY_PATH"};

  void SetUp() override {
    for (std::size_t i = 0; i < 2; ++i) {
      if (const char* value = getenv(kVariables[i])) saved_[i] = value;
      unsetenv(kVariables[i]);
    }
    char pattern[] = "/tmp/signing_key_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    directory_ = pattern;
  }
  void TearDown() override {
    for (std::size_t i = 0; i < 2; ++i) {
      if (saved_[i])
        setenv(kVariables[i], saved_[i]->c_str(), 1);
      else
        unsetenv(kVariables[i]);
    }
    std::filesystem::remove_all(directory_);
  }

  static void set(const char* name, const std::optional<std::string>& value) {
    if (value)
      setenv(name, value->c_str(), 1);
    else
      unsetenv(name);
  }

  std::string key_file(const std::optional<std::string>& content) {
    const std::string path = directory_ + "/signing.key";
    std::filesystem::remove(path);
    if (content) std::ofstream(path, std::ios::binary) << *content;
    return path;
  }

  std::optional<std::string> saved_[2];
  std::string directory_;
};

TEST_F(KeyEnvironment, ResolvesTheFirstConfiguredSource) {
  const std::string seed(kTest1Seed);
  struct Case {
    const char* name;
    std::optional<std::string> inline_seed;  // ZEM_SIGNING_KEY
    bool path_set;                           // ZEM_SIGNING_KEY_PATH names the key file
    std::optional<std::string> file;         // the key file's content; none: no file
    std::string outcome;  // the note (key is TEST 1), or the message with "{path}"
  };
  const Case cases[] = {
      {"inline seed with a line break", seed + "\n", false, {}, "source=ZEM_SIGNING_KEY"},
      {"inline seed wins over the file", seed, true, std::string(kTest2Seed),
       "source=ZEM_SIGNING_KEY"},
      {"malformed inline seed is not skipped", seed.substr(0, 43), true, seed,
       "ZEM_SIGNING_KEY is set but malformed: base64: Invalid padding"},
      {"empty inline seed is not skipped", "", true, seed,
       "ZEM_SIGNING_KEY is set but malformed: seed length 0 != 32"},
      {"non-UTF-8 inline value is ignored", "\xFF", true, seed, "source=ZEM_SIGNING_KEY_PATH"},
      {"file with line break and spaces", {}, true, seed + "\n   ", "source=ZEM_SIGNING_KEY_PATH"},
      {"missing file",
       {},
       true,
       {},
       "ZEM_SIGNING_KEY_PATH={path} unreadable: No such file or directory"},
      {"non-UTF-8 file",
       {},
       true,
       "\xFF" + seed,
       "ZEM_SIGNING_KEY_PATH={path} unreadable: stream did not contain valid UTF-8"},
      {"key file of exactly 4 KiB",
       {},
       true,
       seed + std::string(4096 - 44, '\n'),
       "source=ZEM_SIGNING_KEY_PATH"},
      {"key file past 4 KiB",
       {},
       true,
       seed + std::string(4096 - 44 + 1, '\n'),
       "ZEM_SIGNING_KEY_PATH={path} unreadable: File too large"},
      {"line break inside the file",
       {},
       true,
       seed.substr(0, 20) + "\n" + seed.substr(20),
       "ZEM_SIGNING_KEY_PATH={path} content malformed: base64: Invalid symbol 10, offset 20."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = key_file(c.file);
    set("ZEM_SIGNING_KEY", c.inline_seed);
    set("ZEM_SIGNING_KEY_PATH", c.path_set ? std::optional(path) : std::nullopt);
    const auto resolved = resolve_signing_key();
    if (c.outcome.starts_with("source=")) {
      ASSERT_TRUE(resolved) << resolved.error().message;
      EXPECT_EQ(resolved->note, c.outcome);
      EXPECT_EQ(resolved->kind, AttestationKind::operator_);
      EXPECT_EQ(hex(resolved->key.public_key()), kTest1Public);
    } else {
      ASSERT_FALSE(resolved);
      std::string expected = c.outcome;
      if (const auto at = expected.find("{path}"); at != std::string::npos)
        expected.replace(at, 6, path);
      EXPECT_EQ(resolved.error().message, expected);
    }
  }
}

// A sparse terabyte is refused from its size, before anything is read or allocated.
TEST_F(KeyEnvironment, RefusesAHugeKeyFileWithoutReadingIt) {
  const std::string path = key_file(std::string(kTest1Seed));
  std::filesystem::resize_file(path, std::uintmax_t{1} << 40);
  set("ZEM_SIGNING_KEY", std::nullopt);
  set("ZEM_SIGNING_KEY_PATH", path);
  const auto resolved = resolve_signing_key();
  ASSERT_FALSE(resolved);
  EXPECT_EQ(resolved.error().message,
            "ZEM_SIGNING_KEY_PATH=" + path + " unreadable: File too large");
}

TEST_F(KeyEnvironment, MakesAFreshEphemeralKeyWithoutOperatorKey) {
  const auto first = resolve_signing_key();
  const auto second = resolve_signing_key();
  ASSERT_TRUE(first) << first.error().message;
  ASSERT_TRUE(second) << second.error().message;
  EXPECT_EQ(first->kind, AttestationKind::ephemeral);
  EXPECT_EQ(first->note, "auto-generated for pipeline run");
  EXPECT_NE(first->key.public_key(), second->key.public_key());
}

}  // namespace
}  // namespace certwright
