#include "protocol/ReplyFrames.h"

#include "protocol/HexField.h"

namespace TORVEK {
namespace {

// A frame is recognised by its length and tag, and by its CR LF: the transaction hands back a
// line without one only when the port failed part-way, and bytes that happen to have a frame's
// length and tag before a hang-up are not a reply.
bool Matches(const std::string& line, FrameKind kind) {
  return line.size() == kind.length && line[1] == kind.tag[0] && line[2] == kind.tag[1] &&
         line.compare(kind.length - 2, 2, "\r\n") == 0;
}

// The code of a status frame, or nothing when `line` is not one or its digits are unreadable.
// Two characters such as "-2" read as a negative number; passed on, it would pose as one of
// the library's own codes (here ReplyTimeout), so only 0 to 255 count as a device code.
std::optional<int> StatusCode(const std::string& line) {
  if (!Matches(line, kStatusFrame)) {
    return std::nullopt;
  }
  const std::optional<std::int32_t> code = ReadHexField(std::string_view(line).substr(3, 2));
  if (!code || *code < 0 || *code > 255) {
    return std::nullopt;
  }
  return *code;
}

DecodedReply StatusInstead(const std::string& line) {
  DecodedReply decoded;
  if (const std::optional<int> code = StatusCode(line)) {
    decoded.status = *code;
  }
  return decoded;
}

}  // namespace

bool IsPositionFrame(const std::string& line) {
  return Matches(line, kPositionFrame);
}

bool IsStatusFrame(const std::string& line) {
  return Matches(line, kStatusFrame);
}

int DecodeStatusReply(const std::string& line) {
  return StatusInstead(line).status;
}

DecodedReply DecodeNumberReply(const std::string& line, FrameKind kind, std::int32_t* value) {
  if (!Matches(line, kind)) {
    return StatusInstead(line);
  }
  DecodedReply decoded;
  const std::optional<std::int32_t> number = ReadHexField(std::string_view(line).substr(3, 8));
  if (!number) {
    return decoded;
  }
  if (value != nullptr) {
    *value = *number;
  }
  decoded.status = Ok;
  decoded.delivered = true;
  return decoded;
}

DecodedReply DecodeInfoReply(const std::string& line, Identification* identification) {
  if (!Matches(line, kInfoFrame)) {
    return StatusInstead(line);
  }
  DecodedReply decoded;
  const std::string_view frame(line);
  const std::optional<std::int32_t> degrees = ReadHexField(frame.substr(21, 4));
  const std::optional<std::int32_t> pulses = ReadHexField(frame.substr(25, 8));
  if (!degrees || !pulses) {
    return decoded;
  }
  if (identification != nullptr) {
    identification->ident_a = line.substr(5, 8);
    identification->ident_b = line.substr(13, 4);
    identification->ident_c = line.substr(17, 2);
    identification->ident_d = line.substr(19, 2);
    identification->degrees_per_revolution = *degrees;
    identification->pulses_per_revolution = *pulses;
  }
  decoded.status = Ok;
  decoded.delivered = true;
  return decoded;
}

}  // namespace TORVEK
