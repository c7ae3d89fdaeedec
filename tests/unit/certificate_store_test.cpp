#include "core/store/certificate_store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "core/store/store_query.h"
#include "tests/unit/temp_dir_test_fixture.h"

namespace certwright {
namespace {

using namespace std::string_literals;

CertificateFacts facts(std::string hash, std::string run_id, UtcTime time) {
  CertificateFacts facts;
  facts.certificate_hash = std::move(hash);
  facts.run_id = std::move(run_id);
  facts.trusted_time = time;
  facts.status = "complete";
  facts.public_key = "key";
  facts.key_fingerprint = "SHA256:fp";
  facts.kind = "operator";
  facts.stages = {{"s0", "passed", {{"a", "d1"}, {"b", "d2"}}}, {"s1", "skipped", {}}};
  facts.requirements_hash = "";
  facts.build_spec_hash = "b";
  return facts;
}

class CertificateStoreTest : public TempDirTest {
 protected:
  std::string path() const { return dir_ + "/index.sqlite"; }

  CertificateStore open() {
    auto store = open_store(path());
    if (!store) ADD_FAILURE() << store.error().message;
    return std::move(store).value();
  }

  void sql(const std::string& statement) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path().c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, statement.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db);
    sqlite3_close(db);
  }
};

TEST_F(CertificateStoreTest, FactsComeBackExactlyAndEachHashIsStoredOnce) {
  CertificateStore store = open();
  CertificateFacts odd = facts("bb", "run\0with nul"s, {5, 7});
  odd.signer_subject = "";  // an empty text is not an absent one
  odd.signer_identity_provider = "idp";
  odd.stages.front().artifacts.push_back({"\xe2\x80\xae", "d3"});
  // A digest of 64 lower-case hex digits is kept as 32 bytes; one in capitals as its text.
  odd.stages.front().artifacts.push_back({"\xf0", std::string(32, '0') + std::string(32, 'f')});
  odd.stages.front().artifacts.push_back({"\xf1", std::string(64, 'F')});
  const std::vector<NewCertificate> batch = {{facts("aa", "r1", {1, 0}), "certificate", "{1}"},
                                             {odd, "attestation", "\0bytes"s},
                                             {facts("aa", "r1", {1, 0}), "certificate", "{1}"}};
  const auto added = store.add(batch, 100);
  ASSERT_TRUE(added) << added.error().message;
  ASSERT_EQ(added->size(), 3u);
  EXPECT_EQ((*added)[0].seq, 1);
  EXPECT_EQ((*added)[1].seq, 2);
  EXPECT_TRUE((*added)[1].added);
  EXPECT_EQ((*added)[2].seq, 1);
  EXPECT_FALSE((*added)[2].added);

  // A second connection, as a later process would have.
  CertificateStore again = open();
  const auto stored = again.load(2);
  ASSERT_TRUE(stored) << stored.error().message;
  EXPECT_EQ(stored->facts, odd);
  EXPECT_EQ(stored->bytes, "\0bytes"s);
  EXPECT_EQ(stored->form, "attestation");
  const auto more = again.add(std::vector<NewCertificate>{batch[1], batch[0]}, 200);
  ASSERT_TRUE(more);
  EXPECT_FALSE((*more)[0].added || (*more)[1].added);
  EXPECT_EQ(again.sequence_numbers(0, 10).value(), (std::vector<std::int64_t>{1, 2}));
}

TEST_F(CertificateStoreTest, PrefixesAndInclusiveTimeBounds) {
  CertificateStore store = open();
  const std::vector<NewCertificate> batch = {{facts("ab12", "early", {10, 5}), "certificate", "x"},
                                             {facts("ab34", "late", {10, 6}), "certificate", "y"},
                                             {facts("c0", "later", {11, 0}), "certificate", "z"}};
  ASSERT_TRUE(store.add(batch, 0));
  struct Case {
    std::string prefix;
    std::vector<std::int64_t> seqs;
  };
  for (const Case& test :
       {Case{"ab", {1, 2}}, Case{"ab3", {2}}, Case{"c0", {3}}, Case{"d", {}}, Case{"ab12", {1}}})
    EXPECT_EQ(store.with_hash_prefix(test.prefix, 5).value(), test.seqs) << test.prefix;

  StoreQuery query;
  query.since = UtcTime{10, 6};
  query.until = UtcTime{11, 0};
  const auto matches = run_query(store.database(), query);
  ASSERT_TRUE(matches);
  ASSERT_EQ(matches->size(), 2u);
  EXPECT_EQ((*matches)[0].run_id, "late");
  EXPECT_EQ((*matches)[1].run_id, "later");
}

TEST_F(CertificateStoreTest, SchemaMigratesForwardAndRefusesNewerOrForeign) {
  // A store at version 0, the marker alone: every migration runs.
  sql("CREATE TABLE certwright_index (name BLOB PRIMARY KEY, value BLOB NOT NULL);"
      "INSERT INTO certwright_index VALUES (CAST('schema-version' AS BLOB), CAST('0' AS BLOB));");
  {
    CertificateStore store = open();
    EXPECT_TRUE(
        store.add(std::vector<NewCertificate>{{facts("aa", "r", {}), "certificate", ""}}, 0));
  }
  sql("UPDATE certwright_index SET value = CAST('3' AS BLOB)");
  auto newer = open_store(path());
  ASSERT_FALSE(newer);
  EXPECT_NE(newer.error().message.find("schema version 3"), std::string::npos);

  const std::string foreign = dir_ + "/foreign.sqlite";
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(foreign.c_str(), &db), SQLITE_OK);
  sqlite3_exec(db, "CREATE TABLE certificates (x)", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  const auto refused = open_store(foreign);
  ASSERT_FALSE(refused);
  EXPECT_NE(refused.error().message.find("not a certwright index"), std::string::npos);
}

}  // namespace
}  // namespace certwright
