#include "core/formats/intoto_statement.h"

#include <gtest/gtest.h>

namespace certwright {
namespace {

std::string statement_with(std::string_view members) {
  return R"({"_type":"https://in-toto.io/Statement/v1","subject":[{"name":"c.json","digest":{"sha256":"ab","sha512":"cd"}}],)" +
         std::string(members) + "}";
}

TEST(IntotoStatement, PredicateTypeFollowsTheMajorVersion) {
  EXPECT_EQ(governance_predicate_type(), "https://certwright.example/governance-certificate/v1");
}

TEST(IntotoStatement, ReadsThePredicateTextAsItStands) {
  const std::string text =
      statement_with(R"("predicateType":"p","predicate":{"b":1e-6,"a":100.0} )") + " \n";
  const simdjson::padded_string payload(text);  // the predicate is a view into it
  const auto statement = read_statement(payload);
  ASSERT_TRUE(statement) << statement.error().message;
  EXPECT_EQ(statement->type, kStatementType);
  ASSERT_EQ(statement->subjects.size(), 1u);
  EXPECT_EQ(statement->subjects[0].name, "c.json");
  EXPECT_EQ(statement->subjects[0].sha256, "ab");
  EXPECT_EQ(statement->predicate_type, "p");
  EXPECT_EQ(statement->predicate, R"({"b":1e-6,"a":100.0})");
}

TEST(IntotoStatement, RefusesAnyOtherShape) {
  struct Case {
    std::string text;
    std::string_view error;
  };
  const Case cases[] = {
      {statement_with(R"("predicateType":"p")"), "statement: missing key \"predicate\""},
      {statement_with(R"("predicateType":"p","predicate":{},"x":1)"),
       "statement: unknown key \"x\""},
      {statement_with(R"("predicateType":"p","predicateType":"q","predicate":{})"),
       "statement: duplicate key \"predicateType\""},
      {statement_with(R"("predicateType":"p","predicate":[])"),
       "statement.predicate: not a JSON object"},
      {statement_with(R"("predicateType":1,"predicate":{})"),
       "statement.predicateType: not a string"},
      {statement_with(R"("predicateType":"p","predicate":{}} {)"),
       "statement: text after the JSON object"},
      {R"({"subject":[{"name":"n"}]})", "statement.subject[0]: missing key \"digest\""},
      {"[]", "statement: not a JSON object"},
  };
  for (const Case& c : cases) {
    const auto statement = read_statement(simdjson::padded_string(c.text));
    EXPECT_EQ(statement ? "read" : statement.error().message, c.error) << c.text;
  }
}

}  // namespace
}  // namespace certwright
