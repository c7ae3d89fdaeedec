#include "core/evidence/build_spec.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/base/content_hash.h"

namespace certwright {
namespace {

namespace fs = std::filesystem;

// The binding a build spec's text yields, or the projection's message.
std::expected<AgenticPostureBinding, std::string> binding_of(std::string_view yaml) {
  const auto projection = parse_posture_projection(yaml);
  if (!projection) return std::unexpected(projection.error());
  return posture_binding(projection->agentic_posture);
}

std::string billion_laughs_envelope() {
  std::string text = "l0: &l0 [lol, lol, lol, lol, lol, lol, lol, lol, lol, lol]\n";
  for (int level = 1; level <= 9; ++level) {
    const std::string previous = "*l" + std::to_string(level - 1);
    text += "l" + std::to_string(level) + ": &l" + std::to_string(level) + " [" + previous;
    for (int i = 1; i < 10; ++i)
      text += ", " + previous;
    text += "]\n";
  }
  return text +
         "agentic_posture:\n  posture: governed\n  surfaces:\n    - kind: model-api\n"
         "      governance_envelope: *l9\n";
}

TEST(PostureProjection, DefaultsWhenNoPostureIsStated) {
  for (const std::string_view yaml :
       {"", "# comments only\n", "~\n", "service: orders\n", "agentic_posture:\n",
        "agentic_posture: null\n", "agentic_posture: ~\n"}) {
    const auto binding = binding_of(yaml);
    ASSERT_TRUE(binding.has_value()) << yaml << ": " << binding.error();
    EXPECT_EQ(binding->posture, "none") << yaml;
    EXPECT_TRUE(binding->defaulted) << yaml;
    EXPECT_TRUE(binding->surfaces.empty()) << yaml;
  }
}

TEST(PostureProjection, KeepsSurfacesInOrderAndIgnoresUnknownKeys) {
  const auto binding = binding_of(R"(
service: orders
extra: {agentic: [posture]}
agentic_posture:
  posture: governed
  reviewed_by: someone
  surfaces:
    - kind: tool-surface
      description: "shell tools"
      owner: platform
    - kind: model-api
      description: ~
      governance_envelope:
        max_tokens: 2048
        temperature: 0.2
        models: [small, large]
        limit: 5
        limit: 7
        nested: {deep: [true, null, -3]}
    - kind: tool-surface
      governance_envelope: ~
)");
  ASSERT_TRUE(binding.has_value()) << binding.error();
  EXPECT_EQ(binding->posture, "governed");
  EXPECT_FALSE(binding->defaulted);
  ASSERT_EQ(binding->surfaces.size(), 3u);
  EXPECT_EQ(binding->surfaces[0].kind, "tool-surface");
  EXPECT_EQ(binding->surfaces[0].description, "shell tools");
  EXPECT_FALSE(binding->surfaces[0].governance_envelope.has_value());
  EXPECT_EQ(binding->surfaces[1].kind, "model-api");
  EXPECT_FALSE(binding->surfaces[1].description.has_value());
  const JsonValue envelope{JsonObject{
      {"limit", JsonValue{std::uint64_t{7}}},  // a repeated key keeps its last value
      {"max_tokens", JsonValue{std::uint64_t{2048}}},
      {"models",
       JsonValue{JsonArray{JsonValue{std::string("small")}, JsonValue{std::string("large")}}}},
      {"nested",
       JsonValue{JsonObject{{"deep", JsonValue{JsonArray{JsonValue{true}, JsonValue{},
                                                         JsonValue{std::int64_t{-3}}}}}}}},
      {"temperature", JsonValue{0.2}},
  }};
  EXPECT_EQ(binding->surfaces[1].governance_envelope, envelope);
  EXPECT_EQ(binding->surfaces[2].kind, "tool-surface");
  EXPECT_FALSE(binding->surfaces[2].governance_envelope.has_value());
}

TEST(PostureProjection, StatedNoneIsNotDefaulted) {
  const auto binding = binding_of("agentic_posture:\n  posture: none\n");
  ASSERT_TRUE(binding.has_value()) << binding.error();
  EXPECT_EQ(binding->posture, "none");
  EXPECT_FALSE(binding->defaulted);
  // Quoted and explicitly tagged strings are strings too, and envelopes may be scalars.
  const auto quoted = binding_of(
      "\"agentic_posture\": {'posture': !!str declared, surfaces: [{kind: memory-persistence, "
      "governance_envelope: 0x10}]}");
  ASSERT_TRUE(quoted.has_value()) << quoted.error();
  EXPECT_EQ(quoted->posture, "declared");
  EXPECT_EQ(quoted->surfaces.at(0).governance_envelope, JsonValue{std::uint64_t{16}});
}

TEST(PostureProjection, FailsOnEveryViolationWithTheKeyAndPosition) {
  struct Case {
    std::string yaml;
    std::string message;
  };
  const Case cases[] = {
      {"agentic_posture:\n  posture: Declared\n",
       "agentic_posture.posture: expected one of \"none\", \"declared\", \"governed\", found "
       "a string at line 2, column 12"},
      {"agentic_posture:\n  posture: true\n",
       "agentic_posture.posture: expected one of \"none\", \"declared\", \"governed\", found a "
       "boolean at line 2, column 12"},
      {"agentic_posture:\n  posture: none\n  surfaces:\n    - kind: model_api\n",
       "agentic_posture.surfaces[0].kind: expected one of \"model-api\", \"tool-surface\", "
       "\"memory-persistence\", \"human-approval-point\", found a string at line 4, column "
       "13"},
      {"agentic_posture:\n  posture: none\n  surfaces:\n    - kind: model-api\n    - {x: 1}\n",
       "agentic_posture.surfaces[1]: missing required key \"kind\" at line 5, column 7"},
      {"agentic_posture:\n  surfaces: []\n",
       "agentic_posture: missing required key \"posture\" at line 2, column 3"},
      {"agentic_posture:\n  posture: none\n  surfaces:\n    kind: model-api\n",
       "agentic_posture.surfaces: expected a sequence, found a mapping at line 4, column 5"},
      {"agentic_posture:\n  posture: none\n  surfaces:\n",
       "agentic_posture.surfaces: expected a sequence, found null at line 3, column 12"},
      {"agentic_posture:\n  posture: none\n  surfaces: [model-api]\n",
       "agentic_posture.surfaces[0]: expected a mapping, found a string at line 3, column 14"},
      {"agentic_posture:\n  posture: none\n  surfaces: [{kind: model-api, description: 42}]\n",
       "agentic_posture.surfaces[0].description: expected a string, found an integer at line 3, "
       "column 45"},
      {"agentic_posture: [posture]\n",
       "agentic_posture: expected a mapping, found a sequence at line 1, column 18"},
      {"agentic_posture:\n  posture: none\n  posture: declared\n",
       "agentic_posture: repeated key \"posture\" at line 3, column 3"},
      {"agentic_posture: {posture: none}\nagentic_posture: {posture: none}\n",
       "top level: repeated key \"agentic_posture\" at line 2, column 1"},
      {"agentic_posture: {posture: none, surfaces: [{kind: model-api, kind: tool-surface}]}\n",
       "agentic_posture.surfaces[0]: repeated key \"kind\" at line 1, column 63"},
      {"- agentic_posture\n",
       "top level: expected a mapping, found a sequence at line 1, column 1"},
      {"just text\n", "top level: expected a mapping, found a string at line 1, column 1"},
      {"agentic_posture: {posture: none}\n---\nagentic_posture: {posture: none}\n",
       "a second document starts at line 2, column 1; only one is allowed"},
      {"agentic_posture:\n  posture: none\n  surfaces:\n    - kind: model-api\n"
       "      governance_envelope: {? {a: 1} : x}\n",
       "agentic_posture.surfaces[0].governance_envelope: a mapping used as a mapping key at line "
       "5, "
       "column 31"},
      {"agentic_posture:\n  posture: none\n  surfaces:\n    - kind: model-api\n"
       "      governance_envelope: {limit: !!int ten}\n",
       "agentic_posture.surfaces[0].governance_envelope: not a valid !!int value at line 5, "
       "column 36"},
      {"agentic_posture:\n  posture: none\n  surfaces: &s [{kind: model-api, more: *s}]\n",
       "alias names no complete anchored node at line 3, column 41"},
      {"agentic_posture: {posture: none, surfaces: [{kind: model-api, governance_envelope: " +
           std::string(300, '[') + std::string(300, ']') + "}]}\n",
       "nesting deeper than 256 levels at line 1, column 336"},
  };
  for (const auto& c : cases) {
    const auto projection = parse_posture_projection(c.yaml);
    ASSERT_FALSE(projection.has_value()) << c.yaml;
    EXPECT_EQ(projection.error(), c.message) << c.yaml;
  }
}

// One 64 KiB anchored scalar and 4,000 aliases of it: an 81 KB file that would expand to 262 MB.
TEST(PostureProjection, AliasesOfLongScalarsFailPastTheTextBudgetFast) {
  std::string yaml = "big: &big " + std::string(64 * 1024, 'x') + "\n" +
                     "agentic_posture:\n  posture: none\n  surfaces:\n    - kind: model-api\n"
                     "      governance_envelope: [";
  for (int i = 0; i < 4000; ++i)
    yaml += i ? ", *big" : "*big";
  yaml += "]\n";
  const auto start = std::chrono::steady_clock::now();
  const auto projection = parse_posture_projection(yaml);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  ASSERT_FALSE(projection.has_value());
  EXPECT_TRUE(projection.error().starts_with(
      "the document holds more than 33554432 bytes of scalar text with aliases expanded at line 6"))
      << projection.error();
}

TEST(PostureProjection, AliasBombInTheEnvelopeFailsFast) {
  const auto start = std::chrono::steady_clock::now();
  const auto projection = parse_posture_projection(billion_laughs_envelope());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  ASSERT_FALSE(projection.has_value());
  EXPECT_TRUE(projection.error().starts_with("aliases expand to more than 100000 nodes at line "))
      << projection.error();
}

class BuildSpecFile : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "build_spec_test.XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    run_dir_ = pattern;
    fs::create_directory(run_dir_ + "/s5-ui-specification");
  }
  void TearDown() override { fs::remove_all(run_dir_); }

  void write_build_spec(const std::string& content) const {
    std::ofstream(build_spec_path(run_dir_), std::ios::binary) << content;
  }

  std::string run_dir_;
};

TEST_F(BuildSpecFile, HashesAndProjectsARegularFileThroughLinksSilently) {
  const std::string content = "agentic_posture:\n  posture: declared\n";
  write_build_spec(content);
  testing::internal::CaptureStderr();
  EXPECT_EQ(hash_build_spec(run_dir_), hash_bytes(content));
  EXPECT_EQ(project_posture(run_dir_).value().posture, "declared");
  fs::rename(build_spec_path(run_dir_), run_dir_ + "/elsewhere.yaml");
  fs::create_symlink("../elsewhere.yaml", build_spec_path(run_dir_));
  EXPECT_EQ(hash_build_spec(run_dir_), hash_bytes(content));
  EXPECT_EQ(project_posture(run_dir_).value().posture, "declared");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// The hash and the posture come from one read of the same bytes, also through a link.
TEST_F(BuildSpecFile, ReadsOnceForTheHashAndThePosture) {
  const std::string content = "agentic_posture:\n  posture: governed\n";
  fs::create_directory(run_dir_ + "/common");
  std::ofstream(run_dir_ + "/common/posture.yaml", std::ios::binary) << content;
  fs::create_symlink("../common/posture.yaml", build_spec_path(run_dir_));
  testing::internal::CaptureStderr();
  const BuildSpecContent spec = read_build_spec(run_dir_);
  // Whatever happens to the file now, the projection reads what was hashed.
  std::ofstream(run_dir_ + "/common/posture.yaml", std::ios::binary) << "agentic_posture: [\n";
  EXPECT_EQ(spec.hash, hash_bytes(content));
  EXPECT_EQ(spec.text, content);
  EXPECT_EQ(project_posture(spec).value().posture, "governed");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// Past the cap the build spec is still hashed whole, but not held or parsed.
TEST_F(BuildSpecFile, HashesButDoesNotParseABuildSpecPastTheCap) {
  const std::string content =
      "agentic_posture:\n  posture: none\n# " + std::string(kMaxBuildSpecBytes, 'x') + "\n";
  write_build_spec(content);
  testing::internal::CaptureStderr();
  const BuildSpecContent spec = read_build_spec(run_dir_);
  EXPECT_EQ(spec.hash, hash_bytes(content));
  EXPECT_FALSE(spec.text.has_value());
  EXPECT_FALSE(project_posture(spec).has_value());
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "warning: Build Spec at " + build_spec_path(run_dir_) +
                " did not parse for agentic_posture: larger than 33554432 bytes (posture "
                "unstated)\n");
}

TEST_F(BuildSpecFile, GivesNothingSilentlyForAMissingDirectoryOrNonUtf8BuildSpec) {
  testing::internal::CaptureStderr();
  EXPECT_FALSE(hash_build_spec(run_dir_).has_value());
  EXPECT_FALSE(project_posture(run_dir_).has_value());
  fs::create_symlink("nowhere.yaml", build_spec_path(run_dir_));
  EXPECT_FALSE(hash_build_spec(run_dir_).has_value());
  EXPECT_FALSE(project_posture(run_dir_).has_value());
  fs::remove(build_spec_path(run_dir_));
  fs::create_directory(build_spec_path(run_dir_));
  EXPECT_FALSE(hash_build_spec(run_dir_).has_value());
  EXPECT_FALSE(project_posture(run_dir_).has_value());
  fs::remove(build_spec_path(run_dir_));
  ASSERT_EQ(::mkfifo(build_spec_path(run_dir_).c_str(), 0644), 0);
  ::alarm(30);  // a blocking open fails the test instead of hanging it
  EXPECT_FALSE(hash_build_spec(run_dir_).has_value());
  EXPECT_FALSE(project_posture(run_dir_).has_value());
  ::alarm(0);
  fs::remove(build_spec_path(run_dir_));
  write_build_spec("agentic_posture:\n  posture: \xFF\n");
  EXPECT_TRUE(hash_build_spec(run_dir_).has_value());
  EXPECT_FALSE(project_posture(run_dir_).has_value());
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(BuildSpecFile, WarnsWhenTheBuildSpecDoesNotParse) {
  write_build_spec("agentic_posture:\n  posture: Declared\n");
  testing::internal::CaptureStderr();
  EXPECT_FALSE(project_posture(run_dir_).has_value());
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "warning: Build Spec at " + build_spec_path(run_dir_) +
                " did not parse for agentic_posture: agentic_posture.posture: expected one of "
                "\"none\", \"declared\", \"governed\", found a string at line 2, column 12 "
                "(posture unstated)\n");
}

// A build spec may be a link to a key or credentials file: whatever fails, the message names
// the position and the kind of problem, and never repeats the file's text.
TEST(PostureProjection, MessagesNeverQuoteTheDocument) {
  const std::string secret = "c2VjcmV0LXNlZWQtdGV4dA";
  const std::string envelope =
      "agentic_posture:\n  posture: none\n  surfaces:\n    - kind: "
      "model-api\n      governance_envelope: ";
  const std::string cases[] = {
      secret + "\n",
      secret + "=\n",
      "agentic_posture: " + secret + "\n",
      "agentic_posture:\n  posture: " + secret + "\n",
      "agentic_posture:\n  posture: none\n  surfaces: [" + secret + "]\n",
      "agentic_posture:\n  posture: none\n  surfaces: [{kind: " + secret + "}]\n",
      envelope + "!!int " + secret + "\n",
      envelope + "!!float '" + secret + "'\n",
      envelope + "!!bool " + secret + "\n",
      envelope + "!!null " + secret + "\n",
      envelope + "1" + std::string(20, '9') + "\n",
      envelope + "9e999" + secret.substr(0, 0) + "\n",
      envelope + "*" + secret + "\n",
      "a: &" + secret + " [*" + secret + "]\n",
      "key: " + secret + "\n  bad: indentation\n",
      "\"" + secret + "\\q\"\n",
      "[" + secret + ", \x01]\n",
      secret + ": [\n",
  };
  for (const std::string& yaml : cases) {
    const auto projection = parse_posture_projection(yaml);
    ASSERT_FALSE(projection.has_value()) << yaml;
    EXPECT_EQ(projection.error().find("c2VjcmV0"), std::string::npos) << projection.error();
    EXPECT_EQ(projection.error().find("99999"), std::string::npos) << projection.error();
    EXPECT_NE(projection.error().find(" at "), std::string::npos) << projection.error();
  }
}

}  // namespace
}  // namespace certwright
