#include "Scenario.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

namespace scenario {
namespace {

struct Operation {
  const char* name;
  const char* args;  // one letter per argument: i int, f float, d double, t time-out (int)
  std::vector<const char*> outputs;
};

const std::vector<Operation>& Operations() {
  static const std::vector<Operation> operations = {
      {"GetCurrentStatus", "t", {}},
      {"GetMotorInfo",
       "t",
       {"ident_a", "ident_b", "ident_c", "ident_d", "degrees_per_revolution_text",
        "pulses_per_revolution_text", "home_offset_text"}},
      {"SetMotorSteps", "it", {}},
      {"GetMotorSteps", "t", {"steps"}},
      {"SetMotorDegree", "ft", {}},
      {"GetMotorDegree", "t", {"degree"}},
      {"MechanicalCalibration", "t", {}},
      {"StartOptimization", "t", {}},
      {"StartCleaningMechanics", "t", {}},
      {"Stop", "t", {}},
      {"SetTransmittance", "fddt", {}},
      {"GetTransmittance", "ddt", {"transmittance"}},
  };
  return operations;
}

const std::map<std::string, int>& ResultCodes() {
  static const std::map<std::string, int> codes = {{"Ok", 0},
                                                   {"UnexpectedReply", -1},
                                                   {"ReplyTimeout", -2},
                                                   {"PortUnavailable", -3},
                                                   {"InvalidArgument", -4}};
  return codes;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

// Splits a line into words. A double-quoted part, also one after `name=`, is taken with its
// escapes resolved; `#` outside quotes ends the line.
class LineReader {
 public:
  LineReader(std::string name, int line) : where_(std::move(name) + ":" + std::to_string(line)) {}

  [[noreturn]] void Fail(const std::string& message) const {
    throw ScenarioError(where_ + ": " + message);
  }

  std::vector<std::string> Split(const std::string& text) const {
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < text.size()) {
      if (std::isspace(static_cast<unsigned char>(text[i]))) {
        ++i;
        continue;
      }
      if (text[i] == '#')
        break;
      std::string word;
      while (i < text.size() && !std::isspace(static_cast<unsigned char>(text[i]))) {
        if (text[i] != '"') {
          word += text[i++];
          continue;
        }
        ++i;
        bool closed = false;
        while (i < text.size()) {
          const char c = text[i++];
          if (c == '"') {
            closed = true;
            break;
          }
          if (c != '\\') {
            word += c;
            continue;
          }
          if (i >= text.size())
            Fail("a backslash ends the line");
          const char e = text[i++];
          switch (e) {
            case 'r':
              word += '\r';
              break;
            case 'n':
              word += '\n';
              break;
            case 't':
              word += '\t';
              break;
            case '\\':
            case '"':
              word += e;
              break;
            case 'x': {
              const int high = i < text.size() ? HexValue(text[i]) : -1;
              const int low = i + 1 < text.size() ? HexValue(text[i + 1]) : -1;
              if (high < 0 || low < 0)
                Fail("\\x needs two hex digits");
              word += static_cast<char>(high * 16 + low);
              i += 2;
              break;
            }
            default:
              Fail(std::string("unknown escape \\") + e);
          }
        }
        if (!closed)
          Fail("a string is not closed");
      }
      words.push_back(std::move(word));
    }
    return words;
  }

  double Number(const std::string& word) const {
    char* end = nullptr;
    const double value = std::strtod(word.c_str(), &end);
    if (word.empty() || *end != '\0')
      Fail("'" + word + "' is not a number");
    return value;
  }

  int Integer(const std::string& word) const {
    const double value = Number(word);
    if (!(std::fabs(value) <= 2147483647.0) || value != std::floor(value))
      Fail("'" + word + "' is not an integer");
    return static_cast<int>(value);
  }

  int Count(const std::string& word) const {
    const int value = Integer(word);
    if (value < 0)
      Fail("'" + word + "' is negative");
    return value;
  }

 private:
  std::string where_;
};

class Parser {
 public:
  explicit Parser(std::string name) { scenario_.name = std::move(name); }

  void Line(const std::string& text, int line) {
    LineReader reader(scenario_.name, line);
    std::vector<std::string> words = reader.Split(text);
    if (words.empty())
      return;
    std::size_t at = 0;

    int thread = 0;
    if (words[at] == "thread") {
      if (block_ == 0)
        reader.Fail("'thread' outside parallel ... join");
      if (words.size() < at + 3)
        reader.Fail("'thread K' needs a statement after it");
      thread = reader.Integer(words[at + 1]);
      if (thread < 1)
        reader.Fail("threads are numbered from 1");
      at += 2;
    }
    int repeat = 1;
    if (words[at] == "repeat") {
      if (words.size() < at + 3)
        reader.Fail("'repeat N' needs a statement after it");
      repeat = reader.Count(words[at + 1]);
      at += 2;
    }
    const std::string keyword = words[at++];
    const std::vector<std::string> rest(words.begin() + static_cast<std::ptrdiff_t>(at),
                                        words.end());

    const bool host = keyword == "connect" || keyword == "call" || keyword == "disconnect" ||
                      keyword == "destroy" || keyword == "sleep" || keyword == "cancel";
    if (host && block_ != 0 && thread == 0)
      reader.Fail("inside parallel ... join every host statement starts with 'thread K'");
    if (!host && thread != 0)
      reader.Fail("'thread' belongs in front of a host statement");
    if (repeat != 1 && keyword != "call" && keyword != "expect")
      reader.Fail("'repeat' goes with call or expect");

    if (keyword == "device" || keyword == "absent") {
      Declare(reader, rest, keyword == "device");
    } else if (keyword == "parallel") {
      if (block_ != 0 || !rest.empty())
        reader.Fail("'parallel' stands alone and does not nest");
      block_ = ++blocks_;
    } else if (keyword == "join") {
      if (block_ == 0 || !rest.empty())
        reader.Fail("'join' without parallel");
      block_ = 0;
    } else if (host) {
      HostStep step = Host(reader, keyword, rest);
      step.line = line;
      step.block = block_;
      step.thread = thread;
      for (int i = 0; i < repeat; ++i)
        scenario_.host.push_back(step);
    } else if (keyword == "expect") {
      DeviceStep step = Expect(reader, rest);
      step.line = line;
      for (int i = 0; i < repeat; ++i)
        scenario_.device.push_back(step);
    } else if (keyword == "closed") {
      if (block_ != 0)
        reader.Fail("'closed' inside parallel ... join");
      if (rest.size() > 1)
        reader.Fail("'closed' takes at most a device");
      DeviceStep step;
      step.kind = DeviceStep::Kind::kClosed;
      step.line = line;
      step.port = rest.empty() ? CurrentDevice(reader) : Device(reader, rest[0]);
      scenario_.device.push_back(step);
    } else {
      reader.Fail("unknown statement '" + keyword + "'");
    }
  }

  Scenario Finish() {
    if (block_ != 0)
      throw ScenarioError(scenario_.name + ": 'parallel' without 'join'");
    return std::move(scenario_);
  }

 private:
  void Declare(const LineReader& reader, const std::vector<std::string>& rest, bool simulated) {
    if (rest.size() != 1)
      reader.Fail("a port declaration takes one label");
    if (FindPort(rest[0]) >= 0)
      reader.Fail("'" + rest[0] + "' is declared twice");
    scenario_.ports.push_back(Port{rest[0], simulated});
  }

  int FindPort(const std::string& label) const {
    for (std::size_t i = 0; i < scenario_.ports.size(); ++i) {
      if (scenario_.ports[i].label == label)
        return static_cast<int>(i);
    }
    return -1;
  }

  int Device(const LineReader& reader, const std::string& label) const {
    const int port = FindPort(label);
    if (port < 0)
      reader.Fail("'" + label + "' is not declared");
    if (!scenario_.ports[static_cast<std::size_t>(port)].simulated)
      reader.Fail("'" + label + "' is absent");
    return port;
  }

  int CurrentDevice(const LineReader& reader) const {
    if (current_device_ < 0)
      reader.Fail("no device connected yet");
    return current_device_;
  }

  // Reads `in LO..HI` at words[at], if there.
  static std::size_t Within(const LineReader& reader, const std::vector<std::string>& words,
                            std::size_t at, std::optional<std::pair<double, double>>& within) {
    if (at >= words.size() || words[at] != "in")
      return at;
    if (at + 1 >= words.size())
      reader.Fail("'in' needs LO..HI");
    const std::string& range = words[at + 1];
    const std::size_t dots = range.find("..");
    if (dots == std::string::npos)
      reader.Fail("'in' needs LO..HI");
    within =
        std::make_pair(reader.Number(range.substr(0, dots)), reader.Number(range.substr(dots + 2)));
    return at + 2;
  }

  HostStep Host(const LineReader& reader, const std::string& keyword,
                const std::vector<std::string>& rest) {
    HostStep step;
    if (keyword == "disconnect" || keyword == "destroy") {
      if (keyword == "destroy" && block_ != 0)
        reader.Fail("'destroy' inside parallel ... join");
      if (!rest.empty())
        reader.Fail("'" + keyword + "' takes nothing");
      step.kind = keyword == "disconnect" ? HostStep::Kind::kDisconnect : HostStep::Kind::kDestroy;
      return step;
    }
    if (keyword == "cancel") {
      if (!rest.empty())
        reader.Fail("'cancel' takes nothing");
      step.kind = HostStep::Kind::kCancel;
      return step;
    }
    if (keyword == "sleep") {
      if (rest.size() != 1)
        reader.Fail("'sleep' takes milliseconds");
      step.kind = HostStep::Kind::kSleep;
      step.sleep_ms = reader.Count(rest[0]);
      return step;
    }
    if (keyword == "connect") {
      if (block_ != 0)
        reader.Fail("'connect' inside parallel ... join");
      if (rest.size() < 3 || rest[1] != "=>" || (rest[2] != "true" && rest[2] != "false"))
        reader.Fail("connect LABEL => true|false [in LO..HI]");
      step.kind = HostStep::Kind::kConnect;
      step.port = FindPort(rest[0]);
      if (step.port < 0)
        reader.Fail("'" + rest[0] + "' is not declared");
      if (scenario_.ports[static_cast<std::size_t>(step.port)].simulated)
        current_device_ = step.port;
      step.connected = rest[2] == "true";
      if (Within(reader, rest, 3, step.within_ms) != rest.size())
        reader.Fail("unexpected words after the connect");
      return step;
    }

    step.kind = HostStep::Kind::kCall;
    if (rest.empty())
      reader.Fail("'call' needs an operation");
    const Operation* operation = nullptr;
    for (const Operation& candidate : Operations()) {
      if (rest[0] == candidate.name)
        operation = &candidate;
    }
    if (operation == nullptr)
      reader.Fail("unknown operation '" + rest[0] + "'");
    step.operation = operation->name;
    const std::string signature = operation->args;
    if (rest.size() < signature.size() + 3 || rest[signature.size() + 1] != "=>")
      reader.Fail(step.operation + " takes " + std::to_string(signature.size()) +
                  " arguments, then => RESULT");
    for (std::size_t i = 0; i < signature.size(); ++i) {
      const std::string& word = rest[i + 1];
      step.args.push_back(signature[i] == 'i' || signature[i] == 't' ? reader.Integer(word)
                                                                     : reader.Number(word));
    }
    const std::string& result = rest[signature.size() + 2];
    const auto named = ResultCodes().find(result);
    step.result = named != ResultCodes().end() ? named->second : reader.Integer(result);

    std::size_t at = signature.size() + 3;
    for (; at < rest.size() && rest[at] != "in"; ++at) {
      const std::size_t equals = rest[at].find('=');
      if (equals == std::string::npos)
        reader.Fail("'" + rest[at] + "' is not NAME=VALUE");
      const std::string name = rest[at].substr(0, equals);
      bool known = false;
      for (const char* output : operation->outputs)
        known = known || name == output;
      if (!known)
        reader.Fail(step.operation + " has no output '" + name + "'");
      step.values.emplace_back(name, rest[at].substr(equals + 1));
    }
    if (Within(reader, rest, at, step.within_ms) != rest.size())
      reader.Fail("unexpected words after 'in LO..HI'");
    return step;
  }

  DeviceStep Expect(const LineReader& reader, const std::vector<std::string>& rest) {
    DeviceStep step;
    step.port = CurrentDevice(reader);
    step.block = block_;
    if (rest.size() < 2)
      reader.Fail("expect CMD then send/wait/hangup/silent");
    step.command = rest[0];
    int wait_ms = 0;
    bool silent = false;
    for (std::size_t i = 1; i < rest.size(); ++i) {
      if (step.hang_up)
        reader.Fail("nothing can follow 'hangup'");
      if (rest[i] == "silent") {
        silent = true;
      } else if (rest[i] == "hangup") {
        step.hang_up = true;
      } else if (rest[i] == "send" || rest[i] == "wait") {
        if (i + 1 >= rest.size())
          reader.Fail("'" + rest[i] + "' needs a value");
        if (rest[i] == "wait") {
          wait_ms += reader.Count(rest[++i]);
        } else {
          step.pieces.push_back(Piece{wait_ms, rest[++i]});
          wait_ms = 0;
        }
      } else {
        reader.Fail("unknown device action '" + rest[i] + "'");
      }
    }
    if (wait_ms != 0)
      step.pieces.push_back(Piece{wait_ms, ""});
    if (silent && (!step.pieces.empty() || step.hang_up))
      reader.Fail("'silent' stands alone");
    return step;
  }

  Scenario scenario_;
  int block_ = 0;
  int blocks_ = 0;
  int current_device_ = -1;
};

}  // namespace

Scenario ParseScenario(const std::string& text, const std::string& name) {
  Parser parser(name);
  std::istringstream lines(text);
  std::string line;
  for (int number = 1; std::getline(lines, line); ++number) {
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    parser.Line(line, number);
  }
  return parser.Finish();
}

Scenario LoadScenario(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file)
    throw ScenarioError(path + ": cannot be read");
  std::ostringstream text;
  text << file.rdbuf();
  std::string name = path;
  const std::size_t slash = name.find_last_of("/\\");
  if (slash != std::string::npos)
    name.erase(0, slash + 1);
  return ParseScenario(text.str(), name);
}

std::string ResultName(int result) {
  for (const auto& [name, code] : ResultCodes()) {
    if (code == result)
      return name;
  }
  return std::to_string(result);
}

std::string Printable(const std::string& bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text = "\"";
  for (const char c : bytes) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '\r') {
      text += "\\r";
    } else if (c == '\n') {
      text += "\\n";
    } else if (c == '"' || c == '\\') {
      text += '\\';
      text += c;
    } else if (u < 0x20 || u >= 0x7F) {
      text += "\\x";
      text += kHex[u >> 4];
      text += kHex[u & 0xF];
    } else {
      text += c;
    }
  }
  return text + "\"";
}

}  // namespace scenario
