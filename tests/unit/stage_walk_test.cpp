#include "core/evidence/stage_walk.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "core/base/content_hash.h"

namespace certwright {
namespace {

namespace fs = std::filesystem;

constexpr const char* kEmptyHash =
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

// A fresh run directory for each test, removed afterwards.
class StageWalk : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "stage_walk_test.XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    run_dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(run_dir_); }

  fs::path path(const std::string& relative) const { return fs::path(run_dir_) / relative; }
  void write(const std::string& relative, const std::string& content) const {
    fs::create_directories(path(relative).parent_path());
    std::ofstream(path(relative), std::ios::binary) << content;
  }
  void make_dir(const std::string& relative) const { fs::create_directories(path(relative)); }

  std::string run_dir_;
};

TEST(ResolveStageIds, ResolvesEachFormOfTheOption) {
  const StageList discover;
  struct Case {
    const char* label;
    std::optional<std::string> stage_ids;
    bool has_signer;
    bool tenant_mode;
    StageList expected;
  };
  const Case cases[] = {
      {"absent", std::nullopt, false, false, default_stage_list()},
      {"absent, signer", std::nullopt, true, false, default_stage_list()},
      {"absent, tenant", std::nullopt, false, true, default_stage_list()},
      {"absent, signer and tenant", std::nullopt, true, true, discover},
      {"list",
       "s3-data-model, s0-preflight,,s3-data-model ",
       false,
       false,
       {"s3-data-model", "s0-preflight", "s3-data-model"}},
      {"list, signer and tenant", "s1", true, true, {"s1"}},
      {"lone comma", ",", false, false, discover},
      {"AUTO", "AUTO", false, false, discover},
      {"Auto", "Auto", true, true, discover},
      {"blank before auto", " auto", false, false, {"auto"}},
      {"auto among ids", "auto,s0-preflight", false, false, {"auto", "s0-preflight"}},
      {"autos", "autos", false, false, {"autos"}},
      {"Unicode blanks", " \t,\xE3\x80\x80,\xC2\xA0", false, false, discover},
      {"inner blank kept", "\xE3\x80\x80s 1\xE3\x80\x80", false, false, {"s 1"}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(resolve_stage_ids(c.stage_ids, c.has_signer, c.tenant_mode), c.expected) << c.label;
}

TEST_F(StageWalk, DiscoversRealDirectoriesWithUtf8NamesInByteOrder) {
  for (const char* name : {"b", "a", ".hidden", "Z", "\xC3\xA9", "\xFF"})
    make_dir(name);
  write("z.txt", "not a stage");
  fs::create_directory_symlink("a", path("linked"));
  EXPECT_EQ(discover_stages(run_dir_), (StageList{".hidden", "Z", "a", "b", "\xC3\xA9"}));
}

TEST_F(StageWalk, UnlistableRunDirectoryDiscoversNothing) {
  EXPECT_EQ(discover_stages(run_dir_ + "/missing"), StageList{});
  write("file", "x");
  EXPECT_EQ(discover_stages(path("file").string()), StageList{});
}

// One stage directory "s" set up per case; the warning is the whole of standard error.
TEST_F(StageWalk, CollectsOneStage) {
  struct Case {
    const char* label;
    std::function<void()> setup;
    CheckStatus status;
    StringMap hashes;
    std::string warnings;
  };
  const std::string stage_dir = run_dir_ + "/s";
  const Case cases[] = {
      {"missing directory", [] {}, CheckStatus::skipped, {}, ""},
      {"stage is a file", [&] { write("s", "x"); }, CheckStatus::skipped, {}, ""},
      {"only a subdirectory with files",
       [&] { write("s/sub/deep.txt", "x"); },
       CheckStatus::skipped,
       {},
       ""},
      {"only an empty file",
       [&] { write("s/.empty", ""); },
       CheckStatus::passed,
       {{".empty", kEmptyHash}},
       ""},
      {"symlink beside a file",
       [&] {
         write("s/a.txt", "abc");
         fs::create_symlink("a.txt", path("s/link"));
       },
       CheckStatus::passed,
       {{"a.txt", hash_bytes("abc")}},
       "warning: skipping symlink in stage s: link (symlinked artifacts are not hashed into the "
       "certificate)\n"},
      {"FIFO",
       [&] {
         make_dir("s");
         ASSERT_EQ(::mkfifo(path("s/pipe").c_str(), 0644), 0);
       },
       CheckStatus::skipped,
       {},
       "warning: skipping unreadable artifact in stage s: " + stage_dir +
           "/pipe (not a regular file)\n"},
      {"name that is not UTF-8",
       [&] { write("s/n\xFF", "x"); },
       CheckStatus::passed,
       {{"n\xEF\xBF\xBD", hash_bytes("x")}},
       ""},
      {"stage is a link to a directory: never followed",
       [&] {
         write("real/f", "x");
         fs::create_directory_symlink("real", path("s"));
       },
       CheckStatus::skipped,
       {},
       "warning: skipping symlinked stage directory s (stage directories reached through a "
       "symlink are not hashed into the certificate)\n"},
  };
  // A FIFO that was opened for reading would block forever; fail loudly instead.
  ::alarm(30);
  for (const auto& c : cases) {
    fs::remove_all(run_dir_);
    fs::create_directory(run_dir_);
    c.setup();
    testing::internal::CaptureStderr();
    const StageRecord record = collect_stage(run_dir_, "s").value();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.warnings) << c.label;
    EXPECT_EQ(record.stage_id, "s") << c.label;
    EXPECT_EQ(record.status, c.status) << c.label;
    EXPECT_EQ(record.artifact_hashes, c.hashes) << c.label;
  }
  ::alarm(0);
}

// Several names that convert to one key: the entry listed last wins, and the others are gone.
TEST_F(StageWalk, LaterListedNameWinsAKeyCollision) {
  for (const char* name : {"n\xFF", "n\xFE", "n\xC0", "n\xEF\xBF\xBD"})
    write(std::string("s/") + name, name);
  write("s/other", "o");
  std::string last_listed;
  for (const auto& entry : fs::directory_iterator(path("s"))) {
    if (entry.path().filename() != "other") last_listed = entry.path().filename().string();
  }

  testing::internal::CaptureStderr();
  const StageRecord record = collect_stage(run_dir_, "s").value();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "warning: artifact names collide in stage s: n\xEF\xBF\xBD (names that are not UTF-8 "
            "became the same text; the file listed last is recorded)\n");
  EXPECT_EQ(record.artifact_hashes,
            (StringMap{{"n\xEF\xBF\xBD", hash_bytes(last_listed)}, {"other", hash_bytes("o")}}));
}

// Names that share a long beginning and differ inside, at the end of and past the first eight
// bytes after it, or only in length, or in bytes above 0x7F: the map comes out in byte order.
TEST_F(StageWalk, OrdersNamesByteByByteWhateverTheySharePrefix) {
  StringMap expected;
  for (const char* tail : {"", "a", "ab", "B", "abcdefgh", "abcdefgh0", "abcdefgi", "abcdefgh1x",
                           "abcdefg\xC3\xA9", "\xC3\xA9", "~", "abcdefgh1"}) {
    const std::string name = std::string("shared-beginning-") + tail;
    write("s/" + name, name);
    expected.emplace(name, hash_bytes(name));
  }
  EXPECT_EQ(collect_stage(run_dir_, "s")->artifact_hashes, expected);
}

TEST_F(StageWalk, UnreadableArtifactIsWarnedAboutWithItsPath) {
  if (::geteuid() == 0) GTEST_SKIP() << "root reads files whatever their mode";
  write("s/secret", "x");
  fs::permissions(path("s/secret"), fs::perms::none);
  testing::internal::CaptureStderr();
  const StageRecord record = collect_stage(run_dir_, "s").value();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "warning: skipping unreadable artifact in stage s: " + run_dir_ +
                "/s/secret (Permission denied)\n");
  EXPECT_EQ(record.status, CheckStatus::skipped);
  EXPECT_TRUE(record.artifact_hashes.empty());
}

// A listing that breaks off is no end of the stage: the stage is skipped with no artifacts, and
// said so. The break is readdir's EBADF on a stream over a descriptor that cannot list.
TEST_F(StageWalk, ListingThatBreaksOffSkipsTheStageWithAWarning) {
  write("s/a.txt", "a");
  const OpenedStage stage{UniqueFd(::open(path("s").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)),
                          {}};
  ASSERT_TRUE(stage.fd);
  testing::internal::CaptureStderr();
  const auto walk = walk_stage(stage, run_dir_, "s");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "warning: skipping stage s: listing " + run_dir_ +
                "/s failed (Bad file descriptor; the stage is recorded as skipped, with no "
                "artifacts)\n");
  EXPECT_EQ(walk.record.status, CheckStatus::skipped);
  EXPECT_TRUE(walk.record.artifact_hashes.empty());
  EXPECT_TRUE(walk.uncovered.empty());
  EXPECT_FALSE(walk.failure);
}

TEST_F(StageWalk, CollectsEveryListedStageInOrderThroughOneBuffer) {
  // Larger than the read buffer, so the buffer carries several chunks and is then reused.
  std::string large(kReadBufferSize * 2 + 17, '\0');
  for (std::size_t i = 0; i < large.size(); ++i)
    large[i] = static_cast<char>(i * 31 % 251);
  write("s1/large.bin", large);
  write("s1/small", "tail");
  write("s0/one", "1");

  const auto records = collect_stages(run_dir_, {"s1", "s0", "s1", "gone"}).value();
  ASSERT_EQ(records.size(), 4u);
  const StringMap s1 = {{"large.bin", hash_bytes(large)}, {"small", hash_bytes("tail")}};
  EXPECT_EQ(records[0].stage_id, "s1");
  EXPECT_EQ(records[0].artifact_hashes, s1);
  EXPECT_EQ(records[1].artifact_hashes, (StringMap{{"one", hash_bytes("1")}}));
  EXPECT_EQ(records[2].artifact_hashes, s1);
  EXPECT_EQ(records[3].stage_id, "gone");
  EXPECT_EQ(records[3].status, CheckStatus::skipped);
}

// A walk of many stages, which may hash the files of stages ahead while it reports earlier ones,
// gives record for record and warning for warning what each stage walked alone gives: across
// stages of one large file, a stage of more files than one look ahead takes, missing stages, a
// stage that is a link and a stage named twice.
TEST_F(StageWalk, ManyStagesGiveWhatEachStageAloneGives) {
  StageList stages;
  for (int i = 0; i < 40; ++i) {
    const std::string stage = "s" + std::to_string(i);
    stages.push_back(stage);
    if (i % 9 == 4) continue;  // missing
    if (i % 3 == 0) write(stage + "/large.bin", std::string(1024 * 1024 + i - 20, char('a' + i)));
    write(stage + "/small", stage);
    ASSERT_EQ(::symlink("small", path(stage + "/link").c_str()), 0);
  }
  for (int i = 0; i < 1100; ++i)
    write("s20/f" + std::to_string(i), std::to_string(i));
  fs::remove_all(path("s7"));
  fs::create_directory_symlink("s6", path("s7"));
  stages.insert(stages.begin() + 30, "s1");

  testing::internal::CaptureStderr();
  std::vector<StageRecord> alone;
  for (const std::string& stage : stages)
    alone.push_back(collect_stage(run_dir_, stage).value());
  const std::string alone_warnings = testing::internal::GetCapturedStderr();
  testing::internal::CaptureStderr();
  const auto records = collect_stages(run_dir_, stages).value();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), alone_warnings);
  ASSERT_EQ(records.size(), alone.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(records[i].stage_id, alone[i].stage_id);
    EXPECT_EQ(records[i].status, alone[i].status) << i;
    EXPECT_EQ(records[i].artifact_hashes, alone[i].artifact_hashes) << i;
  }
  const StringMap s3 = {{"large.bin", hash_bytes(std::string(1024 * 1024 + 3 - 20, 'd'))},
                        {"small", hash_bytes("s3")}};
  EXPECT_EQ(records[3].artifact_hashes, s3);
  EXPECT_EQ(records[20].artifact_hashes.size(), 1101u);
}

// A wrong run directory is worth one warning; the records are what they would be without it.
TEST_F(StageWalk, WarnsOnceWhenNoStageDirectoryExists) {
  write("s0/f", "x");
  write("file-stage", "x");
  const std::string none = "warning: no stage directory found in " + run_dir_ +
                           " (the certificate records no artifacts)\n";
  struct Case {
    StageList stages;
    std::string warnings;
  };
  const Case cases[] = {
      {{"gone", "file-stage", "gone"}, none},
      {{"gone", "s0"}, ""},
  };
  for (const auto& c : cases) {
    testing::internal::CaptureStderr();
    const auto records = collect_stages(run_dir_, c.stages).value();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.warnings);
    ASSERT_EQ(records.size(), c.stages.size());
    EXPECT_EQ(records[0].status, CheckStatus::skipped);
  }
  fs::remove_all(path("s0"));
  fs::remove(path("file-stage"));
  testing::internal::CaptureStderr();
  EXPECT_TRUE(collect_stages(run_dir_, {})->empty());
  EXPECT_EQ(testing::internal::GetCapturedStderr(), none);
}

TEST_F(StageWalk, EmptyStageListDiscoversTheStages) {
  write("b/f", "x");
  make_dir("a");
  const auto records = collect_stages(run_dir_, {}).value();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].stage_id, "a");
  EXPECT_EQ(records[0].status, CheckStatus::skipped);
  EXPECT_EQ(records[1].stage_id, "b");
  EXPECT_EQ(records[1].status, CheckStatus::passed);
}

}  // namespace
}  // namespace certwright
