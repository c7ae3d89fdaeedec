#include "core/base/json_check.h"

#include <utility>

namespace certwright {
namespace {

namespace ondemand = simdjson::ondemand;

bool is_json_number(std::string_view token) {
  std::size_t at = 0;
  const auto skip_one_of = [&](std::string_view chars) {
    if (at == token.size() || chars.find(token[at]) == std::string_view::npos) return false;
    ++at;
    return true;
  };
  const auto skip_digits = [&] {
    const std::size_t start = at;
    while (at < token.size() && token[at] >= '0' && token[at] <= '9')
      ++at;
    return at > start;
  };
  skip_one_of("-");
  if (!skip_one_of("0") && !skip_digits()) return false;
  if (skip_one_of(".") && !skip_digits()) return false;
  if (skip_one_of("eE")) {
    skip_one_of("+-");
    if (!skip_digits()) return false;
  }
  return at == token.size();
}

// A scalar's raw token runs up to the next token, white space included.
std::string_view without_trailing_space(std::string_view token) {
  const std::size_t end = token.find_last_not_of(" \t\n\r");
  return token.substr(0, end == std::string_view::npos ? 0 : end + 1);
}

class Walk {
 public:
  explicit Walk(std::vector<std::string_view>* numbers) : numbers_(numbers) {}

  // `depth` is the parser's own count (the root is 1); recursion stops at the DOM parser's
  // limit.
  simdjson::error_code value(ondemand::value value, std::size_t depth) {
    if (depth > kMaxJsonDepth) return simdjson::DEPTH_ERROR;
    ondemand::json_type type{};
    if (const auto code = value.type().get(type)) return code;
    if (type == ondemand::json_type::object) {
      ondemand::object object;
      if (const auto code = value.get_object().get(object)) return code;
      return members(object, depth + 1);
    }
    if (type == ondemand::json_type::array) {
      ondemand::array array;
      if (const auto code = value.get_array().get(array)) return code;
      return elements(array, depth + 1);
    }
    return scalar(value, type);
  }

 private:
  simdjson::error_code members(ondemand::object object, std::size_t depth) {
    for (auto field : object) {
      ondemand::field member;
      std::string_view key;
      if (const auto code = std::move(field).get(member)) return code;
      if (const auto code = member.unescaped_key().get(key)) return code;
      if (const auto code = value(member.value(), depth)) return code;
    }
    return simdjson::SUCCESS;
  }

  simdjson::error_code elements(ondemand::array array, std::size_t depth) {
    for (auto element : array) {
      ondemand::value item;
      if (const auto code = std::move(element).get(item)) return code;
      if (const auto code = value(item, depth)) return code;
    }
    return simdjson::SUCCESS;
  }

  simdjson::error_code scalar(ondemand::value value, ondemand::json_type type) {
    std::string_view text;
    bool flag = false;
    switch (type) {
      case ondemand::json_type::string:
        return value.get_string().get(text);
      case ondemand::json_type::boolean:
        return value.get_bool().get(flag);
      case ondemand::json_type::null:
        if (const auto code = value.is_null().get(flag)) return code;
        return flag ? simdjson::SUCCESS : simdjson::N_ATOM_ERROR;
      case ondemand::json_type::number:
        text = without_trailing_space(value.raw_json_token());
        if (!is_json_number(text)) return simdjson::NUMBER_ERROR;
        if (numbers_) numbers_->push_back(text);
        return simdjson::SUCCESS;
      default:
        return simdjson::TAPE_ERROR;
    }
  }

  std::vector<std::string_view>* numbers_;
};

}  // namespace

simdjson::error_code check_json(ondemand::document& document,
                                std::vector<std::string_view>* numbers) {
  ondemand::value root;
  if (const auto code = document.get_value().get(root)) return code;
  if (const auto code = Walk(numbers).value(root, 1)) return code;
  const char* location = nullptr;
  const auto at_end = document.current_location().get(location);
  return at_end == simdjson::OUT_OF_BOUNDS ? simdjson::SUCCESS : simdjson::TRAILING_CONTENT;
}

}  // namespace certwright
