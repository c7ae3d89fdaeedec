#include "core/base/string_map.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace certwright {
namespace {

std::vector<std::pair<std::string, std::string>> entries(const StringMap& map) {
  return {map.begin(), map.end()};
}

// Keys are ordered byte by byte: upper case before lower case, a prefix before its extensions,
// multi-byte UTF-8 after ASCII; the first of two equal keys is kept, as std::map keeps it.
TEST(StringMap, KeepsByteWiseKeyOrderAndTheFirstOfEqualKeys) {
  StringMap map{{"b", "1"}, {"B", "2"}, {"\xC3\xA9", "3"}, {"ab", "4"}, {"a", "5"}, {"b", "6"}};
  const auto [at, inserted] = map.emplace("a", "7");
  EXPECT_FALSE(inserted);
  EXPECT_EQ(at->second, "5");
  EXPECT_EQ(entries(map), (std::vector<std::pair<std::string, std::string>>{
                              {"B", "2"}, {"a", "5"}, {"ab", "4"}, {"b", "1"}, {"\xC3\xA9", "3"}}));
}

TEST(StringMap, AssignReplacesOrInsertsInOrder) {
  StringMap map{{"a", "1"}, {"c", "3"}};
  map.assign("a", "changed");
  map.assign("b", "");
  EXPECT_EQ(map, (StringMap{{"a", "changed"}, {"b", ""}, {"c", "3"}}));
  EXPECT_EQ(map.size(), 3u);
  const StringMap copy = map;
  map.assign("c", "4");
  EXPECT_EQ(entries(copy), (std::vector<std::pair<std::string, std::string>>{
                               {"a", "changed"}, {"b", ""}, {"c", "3"}}));
}

TEST(StringMap, AppendingSortedKeysEqualsInsertingThem) {
  StringMap appended;
  for (const char* key : {"a", "a0", "b", "ba"})
    appended.append_sorted(key, std::string("v") + key);
  EXPECT_EQ(appended, (StringMap{{"ba", "vba"}, {"a0", "va0"}, {"b", "vb"}, {"a", "va"}}));
  EXPECT_TRUE(StringMap().empty());
}

}  // namespace
}  // namespace certwright
