#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace torvek::ctl {

// A JSON object written in the order its members are added, on one line.
class JsonObject {
 public:
  JsonObject& String(const std::string& key, std::string_view value);
  JsonObject& Integer(const std::string& key, long long value);
  // Non-finite numbers become null.
  JsonObject& Number(const std::string& key, double value);
  // A decimal number as the device wrote it, digit for digit (no rounding through a double);
  // text that is no JSON number becomes null.
  JsonObject& Decimal(const std::string& key, std::string_view text);
  JsonObject& Boolean(const std::string& key, bool value);
  JsonObject& Raw(const std::string& key, const std::string& json);
  JsonObject& Objects(const std::string& key, const std::vector<JsonObject>& items);
  // The members of `other`, after these.
  JsonObject& Merge(const JsonObject& other);
  std::string Text() const;

 private:
  std::vector<std::pair<std::string, std::string>> members_;
};

// A JSON string literal. Bytes outside printable ASCII become \u00XX, so whatever came over
// the line stays valid JSON.
std::string JsonQuote(std::string_view text);

}  // namespace torvek::ctl
