#include "core/evidence/requirements_hash.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/base/content_hash.h"

#include "tests/unit/temp_dir_test_fixture.h"

namespace certwright {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kNoInputWarning =
    "warning: neither --requirements-hash nor --business-docs supplied; intent.requirementsHash "
    "will be empty\n";

// SHA-256 of `bytes` computed in one shot, apart from the code under test.
std::string one_shot_sha256(std::string_view bytes) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest);
  return to_hex(digest);
}

class RequirementsHash : public TempDirTest {};

TEST_F(RequirementsHash, PrefixesEachDocumentWithItsLittleEndianLength) {
  const std::string ab = write("ab.md", "ab"), c = write("c.md", "c");
  const std::string le64_2("\x02\0\0\0\0\0\0\0", 8), le64_1("\x01\0\0\0\0\0\0\0", 8);
  const std::string le64_0(8, '\0');
  struct Case {
    std::vector<std::string> paths;
    std::string hashed_bytes;
  };
  const Case cases[] = {
      {{ab, c}, le64_2 + "ab" + le64_1 + "c"},
      {{c, ab}, le64_1 + "c" + le64_2 + "ab"},
      {{ab}, le64_2 + "ab"},
      {{ab, ab}, le64_2 + "ab" + le64_2 + "ab"},  // a path given twice is hashed twice
      {{write("empty.md", "")}, le64_0},
      // Documents streamed through the read buffer: one that fills it exactly, one that spans it.
      {{write("buffer.md", std::string(64 * 1024, 'b'))},
       std::string("\x00\x00\x01\0\0\0\0\0", 8) + std::string(64 * 1024, 'b')},
      {{write("long.md", std::string(200'000, 'l')), c},
       std::string("\x40\x0d\x03\0\0\0\0\0", 8) + std::string(200'000, 'l') + le64_1 + "c"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(hash_business_docs(c.paths).value(), one_shot_sha256(c.hashed_bytes));
  EXPECT_NE(hash_business_docs({ab, c}).value(), hash_business_docs({c, ab}).value());
  // "a" + "bc" holds the same bytes as "ab" + "c" but different documents.
  EXPECT_NE(hash_business_docs({write("a.md", "a"), write("bc.md", "bc")}).value(),
            hash_business_docs({ab, c}).value());
}

TEST_F(RequirementsHash, StopsAtTheFirstUnreadableDocument) {
  const std::string missing = dir_ + "/missing.md", also_missing = dir_ + "/also-missing.md";
  const auto result = hash_business_docs({write("ok.md", "x"), missing, also_missing});
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().path, missing);
  EXPECT_EQ(result.error().error, std::error_code(ENOENT, std::system_category()));
  EXPECT_FALSE(hash_business_docs({dir_}).has_value());  // a directory is no document
}

// The length prefix is the size the open file reports, and exactly that many bytes must follow:
// a kernel file that reports 0 yet gives bytes is refused rather than hashed under a wrong
// prefix. FIFOs and devices are refused without blocking.
TEST_F(RequirementsHash, RefusesADocumentWhoseSizeDoesNotMatchItsBytes) {
  const auto result = hash_business_docs({write("ok.md", "x"), "/proc/self/status"});
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().path, "/proc/self/status");
  EXPECT_EQ(result.error().error.message(), "file changed size while being read");
  expect_refuses_non_regular_files([](const std::string& path) {
    const auto hash = hash_business_docs({path});
    return hash ? std::expected<std::string, std::error_code>(*hash)
                : std::unexpected(hash.error().error);
  });
}

TEST_F(RequirementsHash, ResolvesDocumentsThenTheGivenHashThenWarns) {
  const std::string doc = write("doc.md", "requirements");
  const std::string doc_hash = hash_business_docs({doc}).value();
  struct Case {
    std::vector<std::string> docs;
    std::optional<std::string> given;
    std::string expected;
    bool warns;
  };
  const Case cases[] = {
      {{doc}, "given", doc_hash, false},
      {{}, " Not-Hex ", " Not-Hex ", false},  // taken verbatim, untrimmed
      {{}, "", "", true},
      {{}, std::nullopt, "", true},
  };
  for (const auto& c : cases) {
    testing::internal::CaptureStderr();
    const auto result = resolve_requirements_hash(c.docs, c.given);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(result.value(), c.expected);
    EXPECT_EQ(err, c.warns ? kNoInputWarning : "");
  }
  const auto failure = resolve_requirements_hash({dir_ + "/missing.md"}, "given");
  ASSERT_FALSE(failure.has_value());
  EXPECT_EQ(failure.error().path, dir_ + "/missing.md");
}

}  // namespace
}  // namespace certwright
