#include "core/evidence/yaml_tree.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace certwright {
namespace {

std::string nested_flow(std::size_t depth) {
  return std::string(depth, '[') + std::string(depth, ']');
}

std::string nested_block(std::size_t depth) {
  std::string text;
  for (std::size_t level = 0; level < depth; ++level)
    text += std::string(2 * level, ' ') + "k:\n";
  return text + std::string(2 * depth, ' ') + "leaf\n";
}

// Nine levels, each ten aliases of the level before: 10^9 leaves once expanded.
std::string billion_laughs() {
  std::string text = "l0: &l0 lol\n";
  for (int level = 1; level <= 9; ++level) {
    const std::string previous = "*l" + std::to_string(level - 1);
    text += "l" + std::to_string(level) + ": &l" + std::to_string(level) + " [";
    for (int i = 0; i < 10; ++i)
      text += (i ? ", " : "") + previous;
    text += "]\n";
  }
  return text;
}

TEST(YamlTree, EmptyOrCommentOnlyTextIsOneNullDocument) {
  for (const std::string_view text : {"", "# only a comment\n", "---\n", "--- # c\n...\n"}) {
    const auto document = parse_yaml_document(text);
    ASSERT_TRUE(document.has_value()) << text << ": " << document.error();
    const YamlNode& root = document->node(document->root);
    EXPECT_EQ(root.kind, YamlNodeKind::scalar) << text;
    EXPECT_TRUE(root.plain && root.text.empty()) << text;
  }
}

TEST(YamlTree, KeepsStructureStyleAndTagsOfNodes) {
  const auto document = parse_yaml_document("a: [x, 'y']\nb: !!str 1\n");
  ASSERT_TRUE(document.has_value()) << document.error();
  const YamlNode& root = document->node(document->root);
  ASSERT_EQ(root.kind, YamlNodeKind::mapping);
  ASSERT_EQ(root.entries.size(), 2u);
  const YamlNode& sequence = document->node(root.entries[0].second);
  ASSERT_EQ(sequence.items.size(), 2u);
  EXPECT_TRUE(document->node(sequence.items[0]).plain);
  EXPECT_FALSE(document->node(sequence.items[1]).plain);
  EXPECT_EQ(document->node(sequence.items[1]).text, "y");
  const YamlNode& tagged = document->node(root.entries[1].second);
  EXPECT_EQ(tagged.tag, "tag:yaml.org,2002:str");
  EXPECT_FALSE(tagged.plain);
  EXPECT_EQ(tagged.line, 2u);
  EXPECT_EQ(tagged.column, 4u);
  EXPECT_EQ(root.height, 2u);
  EXPECT_EQ(root.expanded_size, 7u);
}

TEST(YamlTree, AliasesShareTheAnchoredNode) {
  const auto document = parse_yaml_document("a: &x [1, 2]\nb: *x\n");
  ASSERT_TRUE(document.has_value()) << document.error();
  const YamlNode& root = document->node(document->root);
  EXPECT_EQ(root.entries[0].second, root.entries[1].second);
  EXPECT_EQ(root.expanded_size, 1u + 2u + 3u + 3u);
}

TEST(YamlTree, RefusesHostileOrMalformedDocuments) {
  struct Case {
    std::string text;
    std::string message;  // the whole message, or its start when `prefix_only`
    bool prefix_only = false;
  };
  const Case cases[] = {
      {"a: 1\n---\nb: 2\n", "a second document starts at line 2, column 1; only one is allowed"},
      {nested_flow(kMaxYamlDepth + 1), "nesting deeper than 256 levels at line 1, column 257"},
      {nested_block(kMaxYamlDepth + 1), "nesting deeper than 256 levels", true},
      // The alias is fine where it is, but expanded it would sit 257 levels deep.
      {"a: &a " + nested_flow(kMaxYamlDepth - 1) + "\nb: [*a]\n",
       "nesting deeper than 256 levels through an alias at line 2, column 5"},
      {billion_laughs(), "aliases expand to more than 100000 nodes", true},
      // Few nodes, but each alias repeats 2 MiB of text.
      {"a: &a " + std::string(2 * 1024 * 1024, 'x') +
           "\nb: [*a, *a, *a, *a, *a, *a, *a, *a, *a, *a, "
           "*a, *a, *a, *a, *a, *a]\n",
       "the document holds more than 33554432 bytes of scalar text with aliases expanded at line "
       "2, "
       "column 61"},
      {"a: &a [1, *a]\n", "alias names no complete anchored node at line 1, column 11"},
      {"a: *nowhere\n", "alias names no complete anchored node at line 1, column 4"},
      {"a: !!str {b: 1}\n", "tag !!str on a mapping at line 1, column 4"},
      {"a: !!map [1]\n", "tag !!map on a sequence at line 1, column 4"},
      {"a: !!seq x\n", "tag !!seq on a scalar at line 1, column 4"},
      {"a: 1\n b: 2\n", "mapping values are not allowed in this context at line 2, column 3"},
      {"key: [1, 2\nother: 3\n",
       "did not find expected ',' or ']' at line 2, column 6 (while parsing a flow sequence at "
       "line 1, column 6)"},
      {"a: \x01\n", "control characters are not allowed at byte offset 3"},
  };
  for (const auto& c : cases) {
    const auto document = parse_yaml_document(c.text);
    ASSERT_FALSE(document.has_value()) << c.text;
    if (c.prefix_only)
      EXPECT_TRUE(document.error().starts_with(c.message)) << document.error();
    else
      EXPECT_EQ(document.error(), c.message);
  }
}

TEST(YamlTree, CountsScalarTextWithAliasesExpanded) {
  const auto document = parse_yaml_document("k: &a [abc, de]\nl: [*a, *a]\n");
  ASSERT_TRUE(document.has_value()) << document.error();
  EXPECT_EQ(document->node(document->root).expanded_bytes, 1u + 5u + 1u + 2u * 5u);
  const std::string exactly = "a: " + std::string(kMaxYamlExpandedBytes - 1, 'x') + "\n";
  EXPECT_TRUE(parse_yaml_document(exactly).has_value());
}

TEST(YamlTree, AcceptsNestingUpToTheLimit) {
  EXPECT_TRUE(parse_yaml_document(nested_flow(kMaxYamlDepth)).has_value());
  EXPECT_TRUE(parse_yaml_document(nested_block(kMaxYamlDepth)).has_value());
  EXPECT_TRUE(parse_yaml_document("a: &a " + nested_flow(kMaxYamlDepth - 2) + "\nb: [*a]\n"));
}

TEST(YamlTree, RefusesMoreNodesThanTheCap) {
  std::string many = "[";
  for (std::size_t i = 0; i < kMaxYamlNodes; ++i)
    many += "0,";
  many += "]";
  const auto document = parse_yaml_document(many);
  ASSERT_FALSE(document.has_value());
  EXPECT_EQ(document.error(),
            "the document holds more than 1000000 nodes at line 1, column 2000000");
}

TEST(YamlTree, RefusesAliasBombsAndDeepFlowFast) {
  // A long run of brackets would cost libyaml quadratic time if the depth check came late.
  const std::string deep(1'000'000, '[');
  for (const std::string& text : {billion_laughs(), deep}) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(parse_yaml_document(text).has_value());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  }
}

}  // namespace
}  // namespace certwright
