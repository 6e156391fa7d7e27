// Arbitrary reply lines against every reply decoder and the hexadecimal field reader.
//
// Whatever the line, no decoder may crash, return a code outside its set, or claim delivery of
// a frame that did not arrive; and the caller's destination (a number, an identification record)
// must keep its prior content unless the expected frame arrived, in which case it must hold exactly
// what the frame carries. Numbers are checked against the C library's strtoul, which is how the
// device's frames have always been read.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "Records.h"
#include "protocol/HexField.h"
#include "protocol/ReplyFrames.h"

namespace {

using TORVEK::DecodedReply;
using TORVEK::FrameKind;

void Require(bool holds, const char* what, const std::string& line) {
  if (holds) {
    return;
  }
  std::fprintf(stderr, "invariant broken: %s\nline (%zu bytes):", what, line.size());
  for (unsigned char c : line) {
    std::fprintf(stderr, " %02X", c);
  }
  std::fprintf(stderr, "\n");
  std::abort();
}

// A field read the way the C library reads it; nothing when it has no digit. Meaningful for
// fields of at most 16 characters, which cannot overflow an unsigned long.
std::optional<std::int32_t> ReferenceHex(std::string_view field) {
  const std::string text(field);  // strtoul stops at an embedded NUL, as the field reader does
  char* end = nullptr;
  errno = 0;
  const unsigned long value = std::strtoul(text.c_str(), &end, 16);
  if (end == text.c_str() || errno == ERANGE) {
    return std::nullopt;
  }
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
}

bool IsFrame(const std::string& line, const char* tag, std::size_t length) {
  return line.size() == length && line[1] == tag[0] && line[2] == tag[1] &&
         line[length - 2] == '\r' && line[length - 1] == '\n';
}

// The code a status frame carries, when `line` is one with a code the device can send.
std::optional<int> ReferenceStatusCode(const std::string& line) {
  if (!IsFrame(line, "GS", 7)) {
    return std::nullopt;
  }
  const std::optional<std::int32_t> code = ReferenceHex(std::string_view(line).substr(3, 2));
  if (!code || *code < 0 || *code > 255) {
    return std::nullopt;
  }
  return *code;
}

bool IsStatusResult(int status) {
  return status == TORVEK::UnexpectedReply || (status >= 0 && status <= 255);
}

// A reply that is not the expected frame: a status frame gives its code, anything else -1,
// and nothing is delivered.
void RequireStatusInstead(const std::string& line, const DecodedReply& decoded) {
  Require(!decoded.delivered, "delivered without the expected frame", line);
  const std::optional<int> code = ReferenceStatusCode(line);
  Require(decoded.status == (code ? *code : TORVEK::UnexpectedReply),
          "result differs from the status frame's code or UnexpectedReply", line);
}

void CheckStatusReply(const std::string& line) {
  const int status = TORVEK::DecodeStatusReply(line);
  Require(IsStatusResult(status), "status decoder result outside -1, 0..255", line);
  const std::optional<int> code = ReferenceStatusCode(line);
  Require(status == (code ? *code : TORVEK::UnexpectedReply), "status decoder result wrong", line);
}

void CheckNumberReply(const std::string& line, FrameKind kind) {
  constexpr std::int32_t kSentinel = 0x5EE1A5ED;
  std::int32_t value = kSentinel;
  const DecodedReply decoded = TORVEK::DecodeNumberReply(line, kind, &value);
  Require(IsStatusResult(decoded.status), "number decoder result outside -1, 0..255", line);
  Require(!decoded.delivered || decoded.status == TORVEK::Ok, "delivered with a non-zero result",
          line);

  if (IsFrame(line, kind.tag, kind.length)) {
    const std::optional<std::int32_t> number = ReferenceHex(std::string_view(line).substr(3, 8));
    Require(decoded.delivered == number.has_value(), "delivery differs from a readable number",
            line);
    Require(decoded.status == (number ? TORVEK::Ok : TORVEK::UnexpectedReply),
            "expected frame gave the wrong result", line);
    Require(value == (number ? *number : kSentinel), "decoded value differs from the frame's",
            line);
  } else {
    RequireStatusInstead(line, decoded);
    Require(value == kSentinel, "destination written without the expected frame", line);
  }

  const DecodedReply without = TORVEK::DecodeNumberReply(line, kind, nullptr);
  Require(without.status == decoded.status && without.delivered == decoded.delivered,
          "a null destination changes the result", line);
}

using TORVEK::Identification;

// A record whose texts no frame could hold and whose numbers none could carry together.
Identification SentinelIdentification() {
  Identification id;
  id.ident_a = id.ident_b = id.ident_c = id.ident_d = "<untouched>";
  id.degrees_per_revolution = -123456789;
  id.pulses_per_revolution = 987654321;
  return id;
}

bool SameIdentification(const Identification& a, const Identification& b) {
  return a.ident_a == b.ident_a && a.ident_b == b.ident_b && a.ident_c == b.ident_c &&
         a.ident_d == b.ident_d && a.degrees_per_revolution == b.degrees_per_revolution &&
         a.pulses_per_revolution == b.pulses_per_revolution;
}

void CheckInfoReply(const std::string& line) {
  const Identification before = SentinelIdentification();
  Identification id = before;
  const DecodedReply decoded = TORVEK::DecodeInfoReply(line, &id);
  Require(IsStatusResult(decoded.status), "info decoder result outside -1, 0..255", line);
  Require(!decoded.delivered || decoded.status == TORVEK::Ok, "delivered with a non-zero result",
          line);

  if (IsFrame(line, "IN", 35)) {
    const std::optional<std::int32_t> degrees = ReferenceHex(std::string_view(line).substr(21, 4));
    const std::optional<std::int32_t> pulses = ReferenceHex(std::string_view(line).substr(25, 8));
    const bool readable = degrees && pulses;
    Require(decoded.delivered == readable, "delivery differs from readable numbers", line);
    Require(decoded.status == (readable ? TORVEK::Ok : TORVEK::UnexpectedReply),
            "identification frame gave the wrong result", line);
    if (readable) {
      Identification expected;
      expected.ident_a = line.substr(5, 8);
      expected.ident_b = line.substr(13, 4);
      expected.ident_c = line.substr(17, 2);
      expected.ident_d = line.substr(19, 2);
      expected.degrees_per_revolution = *degrees;
      expected.pulses_per_revolution = *pulses;
      Require(SameIdentification(id, expected), "record differs from the frame's fields", line);
    } else {
      Require(SameIdentification(id, before), "record touched by a frame with an unreadable number",
              line);
    }
  } else {
    RequireStatusInstead(line, decoded);
    Require(SameIdentification(id, before), "record touched without an identification frame", line);
  }

  const DecodedReply without = TORVEK::DecodeInfoReply(line, nullptr);
  Require(without.status == decoded.status && without.delivered == decoded.delivered,
          "a null record changes the result", line);
}

void CheckHexField(const std::string& line) {
  const std::optional<std::int32_t> value = TORVEK::ReadHexField(line);
  if (line.size() <= 16) {
    const std::optional<std::int32_t> reference = ReferenceHex(line);
    Require(value == reference, "field reader differs from strtoul", line);
  } else {
    Require(!value || line.find_first_of("0123456789abcdefABCDEF") != std::string::npos,
            "a number read from a field without a digit", line);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string line(reinterpret_cast<const char*>(data), size);
  CheckStatusReply(line);
  CheckNumberReply(line, TORVEK::kPositionFrame);
  CheckNumberReply(line, TORVEK::kHomeOffsetFrame);
  CheckInfoReply(line);
  CheckHexField(line);
  return 0;
}
