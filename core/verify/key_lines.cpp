#include "core/verify/key_lines.h"

#include <algorithm>
#include <tuple>

#include "core/base/text.h"

namespace certwright {
namespace {

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

}  // namespace

std::expected<std::vector<std::string>, std::string> split_key_line(std::string_view line) {
  std::vector<std::string> fields;
  std::size_t at = 0;
  while (at < line.size()) {
    if (is_blank(line[at])) {
      ++at;
      continue;
    }
    if (line[at] == '"') {
      const std::size_t close = line.find('"', at + 1);
      if (close == std::string_view::npos) return std::unexpected("a quoted field is not closed");
      fields.emplace_back(line.substr(at + 1, close - at - 1));
      at = close + 1;
      if (at < line.size() && !is_blank(line[at]))
        return std::unexpected("a quoted field runs into the next");
      continue;
    }
    const std::size_t end = std::min(line.find_first_of(" \t", at), line.size());
    fields.emplace_back(line.substr(at, end - at));
    at = end;
  }
  return fields;
}

std::expected<void, std::string> read_key_lines(
    std::string_view text,
    const std::function<std::expected<void, std::string>(std::vector<std::string>& fields)>& read) {
  std::size_t line_number = 0;
  for (std::string_view rest = text; !rest.empty();) {
    const std::size_t end = std::min(rest.find('\n'), rest.size());
    const std::string_view line = trim_white_space(rest.substr(0, end));
    rest.remove_prefix(std::min(end + 1, rest.size()));
    ++line_number;
    if (line.empty() || line.front() == '#') continue;
    const auto at_line = [&](const std::string& error) {
      return std::unexpected("line " + std::to_string(line_number) + ": " + error);
    };
    auto fields = split_key_line(line);
    if (!fields) return at_line(fields.error());
    if (auto done = read(*fields); !done) return at_line(done.error());
  }
  return {};
}

bool is_before(UtcTime earlier, UtcTime later) {
  return std::tie(earlier.unix_seconds, earlier.nanos) < std::tie(later.unix_seconds, later.nanos);
}

bool KeyWindow::contains(UtcTime time) const {
  return !(valid_after && is_before(time, *valid_after)) &&
         !(valid_before && is_before(*valid_before, time));
}

std::string KeyWindow::describe() const {
  std::string text = "valid";
  if (valid_after) text += " after " + format_date_time(*valid_after);
  if (valid_after && valid_before) text += " and";
  if (valid_before) text += " before " + format_date_time(*valid_before);
  if (!bounded()) text += " at any time";
  return text;
}

std::expected<KeyWindow, std::string> take_key_window(std::vector<std::string>& fields) {
  KeyWindow window;
  while (!fields.empty()) {
    const std::string& field = fields.back();
    const std::size_t equals = field.find('=');
    if (equals == std::string::npos) break;
    const std::string_view name = std::string_view(field).substr(0, equals);
    std::optional<UtcTime>* bound = name == "valid-after"    ? &window.valid_after
                                    : name == "valid-before" ? &window.valid_before
                                                             : nullptr;
    if (!bound) break;
    if (*bound) return std::unexpected(std::string(name) + " given twice");
    *bound = parse_time_text(std::string_view(field).substr(equals + 1));
    if (!*bound)
      return std::unexpected(std::string(name) +
                             ": not a time (RFC 3339, or YYYYMMDD[HHMM[SS]]Z): " +
                             single_line(field.substr(equals + 1)));
    fields.pop_back();
  }
  if (window.valid_after && window.valid_before &&
      is_before(*window.valid_before, *window.valid_after))
    return std::unexpected("valid-before lies before valid-after");
  return window;
}

}  // namespace certwright
