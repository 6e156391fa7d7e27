#include "FaultInjector.h"

#include <algorithm>
#include <cstdio>
#include <set>

namespace torvek::sim {
namespace {

using std::chrono::microseconds;

// Delays of centuries stand for "never"; they must stay that long rather than wrap.
microseconds SaturatingSum(microseconds a, microseconds b) {
  if (b.count() > 0 && a > microseconds::max() - b)
    return microseconds::max();
  return a + b;
}

}  // namespace

FaultInjector::FaultInjector(Responder& device, FaultOptions options, Notes notes)
    : device_(device),
      options_(options),
      notes_(std::move(notes)),
      random_(options.seed),
      detail_random_(options.seed ^ 0x9E3779B97F4A7C15ULL) {}

// mt19937_64 is the same engine everywhere; the standard distributions are not, so the draws are
// made by hand to keep a seed meaning the same run on every platform.
double FaultInjector::Uniform() {
  return static_cast<double>(random_() >> 11) * 0x1.0p-53;
}

std::uint64_t FaultInjector::Below(std::uint64_t n) {
  return detail_random_() % n;
}

void FaultInjector::Note(const std::string& text) {
  if (notes_)
    notes_(text);
}

std::string FaultInjector::Corrupt(std::string reply) {
  const std::size_t body = reply.size() >= 2 ? reply.size() - 2 : reply.size();
  if (body == 0)
    return reply;
  const std::size_t at = static_cast<std::size_t>(Below(body));
  // Any other byte but CR and LF, so the line keeps its length and still ends where it did.
  char replacement;
  do {
    replacement = static_cast<char>(Below(256));
  } while (replacement == reply[at] || replacement == '\r' || replacement == '\n');
  char note[64];
  std::snprintf(note, sizeof note, "corrupted byte %zu: 0x%02X -> 0x%02X", at,
                static_cast<unsigned char>(reply[at]), static_cast<unsigned char>(replacement));
  Note(note);
  reply[at] = replacement;
  return reply;
}

std::vector<Chunk> FaultInjector::Fragment(std::chrono::microseconds delay,
                                           const std::string& reply) {
  const std::size_t pieces = std::min<std::size_t>(2 + Below(3), reply.size());
  // Distinct cut points anywhere in the line, CR and LF may well end up apart.
  std::set<std::size_t> cuts;
  while (cuts.size() + 1 < pieces)
    cuts.insert(1 + static_cast<std::size_t>(Below(reply.size() - 1)));
  cuts.insert(reply.size());
  // In microseconds without wrapping, and one more than that still fits in 64 unsigned bits.
  const auto gap_us = static_cast<std::uint64_t>(
      std::max<std::int64_t>(0, InMicroseconds(options_.fragment_gap).count()));
  std::vector<Chunk> chunks;
  std::size_t start = 0;
  for (std::size_t end : cuts) {
    const auto wait = chunks.empty() ? delay : std::chrono::microseconds(Below(gap_us + 1));
    chunks.push_back(Chunk{wait, reply.substr(start, end - start)});
    start = end;
  }
  Note("fragmented into " + std::to_string(chunks.size()) + " pieces");
  return chunks;
}

Action FaultInjector::OnCommand(const std::string& command) {
  std::lock_guard<std::mutex> lock(mu_);
  ++commands_;
  if (options_.hangup_after && commands_ > *options_.hangup_after) {
    Note("hanging up");
    return Action::HangUp();
  }
  // The device still does what it was told; only its answer goes astray.
  Action action = device_.OnCommand(command);
  drawn_ = Drawn{};
  if (options_.silent_after && commands_ > *options_.silent_after) {
    drawn_.silent = true;
    return Apply(std::move(action));
  }
  drawn_.drop = Uniform() < options_.drop;
  drawn_.late = Uniform() < options_.late;
  drawn_.corrupt = Uniform() < options_.corrupt;
  drawn_.fragment = Uniform() < options_.fragment;
  drawn_.faithful = commands_ <= options_.faults_after;
  return Apply(std::move(action));
}

std::optional<Action> FaultInjector::OnCommandDuring(const std::string& command) {
  std::lock_guard<std::mutex> lock(mu_);
  std::optional<Action> instead = device_.OnCommandDuring(command);
  if (!instead)
    return std::nullopt;
  return Apply(std::move(*instead));
}

Action FaultInjector::Apply(Action action) {
  if (drawn_.silent) {
    Note("silent");
    return Action::Silence();
  }
  if (action.chunks.empty() || drawn_.faithful)
    return action;

  std::chrono::microseconds delay{0};
  std::string reply;
  for (const Chunk& chunk : action.chunks) {
    delay = SaturatingSum(delay, chunk.delay_before);
    reply += chunk.bytes;
  }
  if (drawn_.drop) {
    Note("dropped reply");
    return Action::Silence();
  }
  if (drawn_.late) {
    Note("late by " + std::to_string(options_.late_by.count()) + " ms");
    delay = SaturatingSum(delay, InMicroseconds(options_.late_by));
  }
  if (drawn_.corrupt)
    reply = Corrupt(std::move(reply));
  if (drawn_.fragment) {
    action.chunks = Fragment(delay, reply);
  } else {
    action.chunks = {Chunk{delay, reply}};
  }
  return action;
}

}  // namespace torvek::sim
