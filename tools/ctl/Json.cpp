#include "Json.h"

#include <cmath>
#include <cstdio>

namespace torvek::ctl {

std::string JsonQuote(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (u >= 0x20 && u < 0x7F) {
      out += c;
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04X", u);
      out += escaped;
    }
  }
  return out + "\"";
}

JsonObject& JsonObject::String(const std::string& key, std::string_view value) {
  return Raw(key, JsonQuote(value));
}

JsonObject& JsonObject::Integer(const std::string& key, long long value) {
  return Raw(key, std::to_string(value));
}

JsonObject& JsonObject::Number(const std::string& key, double value) {
  if (!std::isfinite(value))
    return Raw(key, "null");
  char text[32];
  std::snprintf(text, sizeof text, "%.9g", value);
  return Raw(key, text);
}

JsonObject& JsonObject::Decimal(const std::string& key, std::string_view text) {
  // JSON's grammar: -?(0|[1-9][0-9]*)(\.[0-9]+)?, exponents aside (the device writes none).
  std::size_t i = 0;
  const auto digits = [&] {
    const std::size_t start = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9')
      ++i;
    return i - start;
  };
  if (i < text.size() && text[i] == '-')
    ++i;
  const std::size_t first = i;
  bool valid = digits() > 0 && (text[first] != '0' || i == first + 1);
  if (valid && i < text.size() && text[i] == '.') {
    ++i;
    valid = digits() > 0;
  }
  return Raw(key, valid && i == text.size() ? std::string(text) : "null");
}

JsonObject& JsonObject::Boolean(const std::string& key, bool value) {
  return Raw(key, value ? "true" : "false");
}

JsonObject& JsonObject::Raw(const std::string& key, const std::string& json) {
  members_.emplace_back(key, json);
  return *this;
}

JsonObject& JsonObject::Objects(const std::string& key, const std::vector<JsonObject>& items) {
  std::string array = "[";
  for (std::size_t i = 0; i < items.size(); ++i)
    array += (i == 0 ? "" : ",") + items[i].Text();
  return Raw(key, array + "]");
}

JsonObject& JsonObject::Merge(const JsonObject& other) {
  members_.insert(members_.end(), other.members_.begin(), other.members_.end());
  return *this;
}

std::string JsonObject::Text() const {
  std::string text = "{";
  for (std::size_t i = 0; i < members_.size(); ++i) {
    text += (i == 0 ? "" : ",") + JsonQuote(members_[i].first) + ":" + members_[i].second;
  }
  return text + "}";
}

}  // namespace torvek::ctl
