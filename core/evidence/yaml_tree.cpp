#include "core/evidence/yaml_tree.h"

#include <yaml.h>

#include <algorithm>
#include <optional>
#include <unordered_map>

namespace certwright {
namespace {

constexpr std::string_view kCoreTagPrefix = "tag:yaml.org,2002:";

std::string line_and_column(std::size_t line, std::size_t column) {
  return " at line " + std::to_string(line) + ", column " + std::to_string(column);
}

// Owns a libyaml parser reading from a caller-owned string.
class YamlParser {
 public:
  explicit YamlParser(std::string_view text) {
    initialized_ = yaml_parser_initialize(&parser_) != 0;  // fails only when out of memory
    if (!initialized_) return;
    yaml_parser_set_encoding(&parser_, YAML_UTF8_ENCODING);
    yaml_parser_set_input_string(&parser_, reinterpret_cast<const unsigned char*>(text.data()),
                                 text.size());
  }
  YamlParser(const YamlParser&) = delete;
  YamlParser& operator=(const YamlParser&) = delete;
  ~YamlParser() {
    if (initialized_) yaml_parser_delete(&parser_);
  }

  bool initialized() const { return initialized_; }
  yaml_parser_t* get() { return &parser_; }

 private:
  yaml_parser_t parser_{};
  bool initialized_ = false;
};

// Owns one parsed event; deleting a zeroed event is a no-op, so a failed parse is safe too.
class YamlEvent {
 public:
  YamlEvent() = default;
  YamlEvent(const YamlEvent&) = delete;
  YamlEvent& operator=(const YamlEvent&) = delete;
  ~YamlEvent() { yaml_event_delete(&event_); }

  yaml_event_t* get() { return &event_; }
  const yaml_event_t& operator*() const { return event_; }

 private:
  yaml_event_t event_{};
};

// libyaml's marks count from 0; people count lines and columns from 1.
std::string mark_text(const yaml_mark_t& mark) {
  return line_and_column(mark.line + 1, mark.column + 1);
}

// libyaml's own account of a failed parse: the problem and where, and the context it was in.
// Its problem and context texts are fixed descriptions; the offending byte that the reader
// can report is left out, as is everything else taken from the document.
std::string libyaml_message(const yaml_parser_t& parser) {
  const std::string problem = parser.problem ? parser.problem : "unknown problem";
  switch (parser.error) {
    case YAML_MEMORY_ERROR:
      return "out of memory while parsing";
    case YAML_READER_ERROR:  // the reader knows only the byte offset
      return problem + " at byte offset " + std::to_string(parser.problem_offset);
    default: {
      std::string message = problem + mark_text(parser.problem_mark);
      if (parser.context)
        message.append(" (").append(parser.context).append(mark_text(parser.context_mark) + ")");
      return message;
    }
  }
}

// The node kind a standard tag demands, if `tag` is one.
std::optional<YamlNodeKind> kind_named_by(std::string_view tag) {
  const std::string_view name = core_tag_name(tag);
  if (name == "str" || name == "int" || name == "float" || name == "bool" || name == "null")
    return YamlNodeKind::scalar;
  if (name == "seq") return YamlNodeKind::sequence;
  if (name == "map") return YamlNodeKind::mapping;
  return std::nullopt;
}

std::string_view kind_name(YamlNodeKind kind) {
  switch (kind) {
    case YamlNodeKind::scalar:
      return "a scalar";
    case YamlNodeKind::sequence:
      return "a sequence";
    case YamlNodeKind::mapping:
      return "a mapping";
  }
  return "a node";
}

std::string text_of(const yaml_char_t* bytes) {
  return bytes ? reinterpret_cast<const char*>(bytes) : "";
}

// Builds the node tree from node events with an explicit stack of open collections, so
// nesting costs heap, not call stack, and is refused past kMaxYamlDepth.
class TreeBuilder {
 public:
  std::expected<void, std::string> add(const yaml_event_t& event) {
    switch (event.type) {
      case YAML_SCALAR_EVENT:
        return add_scalar(event);
      case YAML_ALIAS_EVENT:
        return add_alias(event);
      case YAML_SEQUENCE_START_EVENT:
        return open_collection(YamlNodeKind::sequence, event.data.sequence_start.tag,
                               event.data.sequence_start.anchor, event.start_mark);
      case YAML_MAPPING_START_EVENT:
        return open_collection(YamlNodeKind::mapping, event.data.mapping_start.tag,
                               event.data.mapping_start.anchor, event.start_mark);
      case YAML_SEQUENCE_END_EVENT:
      case YAML_MAPPING_END_EVENT:
        close_collection();
        return {};
      default:
        return {};
    }
  }

  // The document; a stream without any node holds one null scalar.
  YamlDocument finish() && {
    if (!has_root_) {
      YamlNode null_root;
      null_root.plain = true;
      null_root.line = 1;
      null_root.column = 1;
      document_.nodes.push_back(std::move(null_root));
      document_.root = document_.nodes.size() - 1;
    }
    return std::move(document_);
  }

 private:
  struct OpenCollection {
    YamlNodeId id;
    std::string anchor;           // registered when the collection closes
    bool awaiting_value = false;  // mappings: a key has been attached, its value has not
    YamlNodeId key = 0;
  };

  std::expected<YamlNodeId, std::string> new_node(YamlNodeKind kind, const yaml_char_t* tag,
                                                  const yaml_mark_t& mark) {
    if (auto counted = count_nodes(1, mark); !counted) return std::unexpected(counted.error());
    YamlNode node;
    node.kind = kind;
    node.tag = text_of(tag);
    node.line = mark.line + 1;
    node.column = mark.column + 1;
    if (const auto named = kind_named_by(node.tag); named && *named != kind)
      return std::unexpected("tag !!" + std::string(core_tag_name(node.tag)) + " on " +
                             std::string(kind_name(kind)) + position_of(node));
    if (kind != YamlNodeKind::scalar) node.height = 1;
    document_.nodes.push_back(std::move(node));
    return document_.nodes.size() - 1;
  }

  std::expected<void, std::string> add_scalar(const yaml_event_t& event) {
    const auto& scalar = event.data.scalar;
    auto id = new_node(YamlNodeKind::scalar, scalar.tag, event.start_mark);
    if (!id) return std::unexpected(id.error());
    YamlNode& node = document_.nodes[*id];
    node.text.assign(reinterpret_cast<const char*>(scalar.value), scalar.length);
    node.plain = scalar.tag == nullptr && scalar.style == YAML_PLAIN_SCALAR_STYLE;
    node.expanded_bytes = node.text.size();
    if (auto counted = count_bytes(node.expanded_bytes, event.start_mark); !counted)
      return std::unexpected(counted.error());
    remember_anchor(scalar.anchor, *id);
    attach(*id);
    return {};
  }

  std::expected<void, std::string> add_alias(const yaml_event_t& event) {
    const std::string name = text_of(event.data.alias.anchor);
    const auto anchor = anchors_.find(name);
    // The anchor's name is the document's text, so the messages give only the position.
    if (anchor == anchors_.end())
      return std::unexpected("alias names no complete anchored node" + mark_text(event.start_mark));
    const YamlNode& target = document_.node(anchor->second);
    if (open_.size() + target.height > kMaxYamlDepth)
      return std::unexpected("nesting deeper than " + std::to_string(kMaxYamlDepth) +
                             " levels through an alias" + mark_text(event.start_mark));
    alias_nodes_ += target.expanded_size;
    if (alias_nodes_ > kMaxYamlAliasNodes)
      return std::unexpected("aliases expand to more than " + std::to_string(kMaxYamlAliasNodes) +
                             " nodes" + mark_text(event.start_mark));
    if (auto counted = count_nodes(target.expanded_size, event.start_mark); !counted)
      return std::unexpected(counted.error());
    if (auto counted = count_bytes(target.expanded_bytes, event.start_mark); !counted)
      return std::unexpected(counted.error());
    attach(anchor->second);
    return {};
  }

  std::expected<void, std::string> open_collection(YamlNodeKind kind, const yaml_char_t* tag,
                                                   const yaml_char_t* anchor,
                                                   const yaml_mark_t& mark) {
    if (open_.size() + 1 > kMaxYamlDepth)
      return std::unexpected("nesting deeper than " + std::to_string(kMaxYamlDepth) + " levels" +
                             mark_text(mark));
    auto id = new_node(kind, tag, mark);
    if (!id) return std::unexpected(id.error());
    open_.push_back({*id, text_of(anchor)});
    return {};
  }

  // The anchor is registered only now that the node is complete: an alias inside its own
  // anchored node is unknown instead of a cycle.
  void close_collection() {
    const YamlNodeId id = open_.back().id;
    const std::string anchor = std::move(open_.back().anchor);
    open_.pop_back();
    if (!anchor.empty()) anchors_.insert_or_assign(anchor, id);
    attach(id);
  }

  std::expected<void, std::string> count_nodes(std::size_t added, const yaml_mark_t& mark) {
    nodes_ += added;
    if (nodes_ > kMaxYamlNodes)
      return std::unexpected("the document holds more than " + std::to_string(kMaxYamlNodes) +
                             " nodes" + mark_text(mark));
    return {};
  }

  std::expected<void, std::string> count_bytes(std::size_t added, const yaml_mark_t& mark) {
    bytes_ += added;
    if (bytes_ > kMaxYamlExpandedBytes)
      return std::unexpected("the document holds more than " +
                             std::to_string(kMaxYamlExpandedBytes) +
                             " bytes of scalar text with aliases expanded" + mark_text(mark));
    return {};
  }

  void remember_anchor(const yaml_char_t* anchor, YamlNodeId id) {
    if (anchor) anchors_.insert_or_assign(text_of(anchor), id);
  }

  void attach(YamlNodeId child) {
    if (open_.empty()) {
      document_.root = child;
      has_root_ = true;
      return;
    }
    OpenCollection& top = open_.back();
    YamlNode& parent = document_.nodes[top.id];
    const YamlNode& node = document_.nodes[child];
    parent.expanded_size += node.expanded_size;
    parent.expanded_bytes += node.expanded_bytes;
    parent.height = std::max(parent.height, node.height + 1);
    if (parent.kind == YamlNodeKind::sequence) {
      parent.items.push_back(child);
    } else if (!top.awaiting_value) {
      top.key = child;
      top.awaiting_value = true;
    } else {
      parent.entries.emplace_back(top.key, child);
      top.awaiting_value = false;
    }
  }

  YamlDocument document_;
  std::vector<OpenCollection> open_;
  std::unordered_map<std::string, YamlNodeId> anchors_;
  std::size_t alias_nodes_ = 0;  // nodes that aliases stand for
  std::size_t nodes_ = 0;        // every node so far, aliases expanded
  std::size_t bytes_ = 0;        // scalar text so far, aliases expanded
  bool has_root_ = false;
};

}  // namespace

std::string_view core_tag_name(std::string_view tag) {
  return tag.starts_with(kCoreTagPrefix) ? tag.substr(kCoreTagPrefix.size()) : std::string_view();
}

std::string position_of(const YamlNode& node) {
  return line_and_column(node.line, node.column);
}

std::expected<YamlDocument, std::string> parse_yaml_document(std::string_view text) {
  YamlParser parser(text);
  if (!parser.initialized()) return std::unexpected("out of memory while parsing");
  TreeBuilder builder;
  int documents = 0;
  for (;;) {
    YamlEvent event;
    if (!yaml_parser_parse(parser.get(), event.get()))
      return std::unexpected(libyaml_message(*parser.get()));
    switch ((*event).type) {
      case YAML_STREAM_END_EVENT:
      case YAML_NO_EVENT:
        return std::move(builder).finish();
      case YAML_DOCUMENT_START_EVENT:
        if (++documents > 1)
          return std::unexpected("a second document starts" + mark_text((*event).start_mark) +
                                 "; only one is allowed");
        break;
      case YAML_STREAM_START_EVENT:
      case YAML_DOCUMENT_END_EVENT:
        break;
      default:
        if (auto added = builder.add(*event); !added) return std::unexpected(added.error());
    }
  }
}

}  // namespace certwright
