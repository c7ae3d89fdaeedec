// One YAML document read through libyaml's event API into a small node tree. Scalars keep their
// text, tag and style; typing them is yaml_json's job. Hostile input is bounded: nesting depth,
// the nodes that aliases stand for and the scalar text they reach are capped, and a document
// past a cap fails. Messages name a position and the kind of problem, never the document's text:
// a build spec may be a link to a file that holds a secret.
#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace certwright {

// Deepest nesting of sequences and mappings a document may have, aliases expanded.
inline constexpr std::size_t kMaxYamlDepth = 256;
// Most nodes that all aliases of a document may stand for together.
inline constexpr std::size_t kMaxYamlAliasNodes = 100'000;
// Most nodes a document may hold, aliases expanded: a node costs far more memory than the few
// bytes of text that can write it, and a build spec is written by hand.
inline constexpr std::size_t kMaxYamlNodes = 1'000'000;
// Most bytes of scalar text a document may hold with every alias expanded: a few aliases of one
// long scalar would otherwise turn a small file into a huge value (4,000 aliases of 64 KiB make
// 262 MB). 32 MiB is far beyond any hand-written build spec, and is also the most of a build
// spec that is parsed at all.
inline constexpr std::size_t kMaxYamlExpandedBytes = 32 * 1024 * 1024;

using YamlNodeId = std::size_t;

enum class YamlNodeKind { scalar, sequence, mapping };

struct YamlNode {
  YamlNodeKind kind = YamlNodeKind::scalar;
  // The tag as libyaml resolved it ("tag:yaml.org,2002:int", "!", "!local"); empty when none.
  std::string tag;
  std::string text;  // scalars only
  // An untagged plain scalar, the only kind the core schema types by its text.
  bool plain = false;
  std::vector<YamlNodeId> items;                           // sequences
  std::vector<std::pair<YamlNodeId, YamlNodeId>> entries;  // mappings: key, value
  std::size_t line = 0;                                    // 1-based start position
  std::size_t column = 0;
  std::size_t expanded_size = 1;   // nodes in this subtree with aliases expanded, itself included
  std::size_t expanded_bytes = 0;  // scalar text in this subtree with aliases expanded
  std::size_t height = 0;          // collections on the longest path down, itself included
};

// Nodes live in one vector and refer to each other by index. An alias refers to its anchor's
// node instead of copying it, so the tree may share subtrees; `expanded_size` and `height`
// `expanded_bytes` describe it as if every alias had been copied.
struct YamlDocument {
  std::vector<YamlNode> nodes;
  YamlNodeId root = 0;

  const YamlNode& node(YamlNodeId id) const { return nodes[id]; }
};

// The single document of `text` (a text without any document is one empty document, whose root
// is a null scalar); libyaml's message with its position, or the reason for refusing the
// document (a second document, nesting deeper than kMaxYamlDepth, an alias to an anchor whose
// node is not complete, more nodes than kMaxYamlAliasNodes or kMaxYamlNodes allow, more scalar
// text than kMaxYamlExpandedBytes, a standard tag naming another kind of node). No message
// quotes the text.
std::expected<YamlDocument, std::string> parse_yaml_document(std::string_view text);

// "int" for the core tag "tag:yaml.org,2002:int" (written !!int), empty for any other tag.
std::string_view core_tag_name(std::string_view tag);

// " at line L, column C" for the node's start, for messages.
std::string position_of(const YamlNode& node);

}  // namespace certwright
