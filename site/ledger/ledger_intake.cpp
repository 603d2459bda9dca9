#include "ledger_intake.h"

#include <json/json.h>

#include "ledger_checks.h"

namespace ledger {

const char* const kLedgerStatusTopic = "/rng/roulette/kestrin_live/site/ledger";
const char* const kLedgerWill = "{\"state\":\"offline\",\"storing\":0}";

void TIntake::Keep(const TMessage& m) {
  if (held_.size() >= kMaxHeld) {
    ++figures_.unstored;
    return;
  }
  held_.push_back(m);
}

bool TIntake::HoldIfHolding(const TMessage& m) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (figures_.storing) return false;
  Keep(m);
  return true;
}

void TIntake::Hold(const TMessage& m, const std::string& reason) {
  std::lock_guard<std::mutex> lock(mutex_);
  Keep(m);
  if (!figures_.storing) return;
  figures_.storing = false;
  figures_.sinceMs = NowMs();
  figures_.reason = reason;
}

bool TIntake::Holding() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return !figures_.storing;
}

std::deque<TMessage> TIntake::TakeHeld() {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::move(held_);
}

void TIntake::PutBack(std::deque<TMessage> rest, const std::string& reason) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& m : held_) rest.push_back(std::move(m));
  held_ = std::move(rest);
  figures_.reason = reason;
}

bool TIntake::Resume() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!held_.empty()) return false;
  figures_.storing = true;
  figures_.sinceMs = NowMs();
  figures_.reason.clear();
  return true;
}

std::uint64_t TIntake::DropHeld() {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::uint64_t n = held_.size();
  figures_.unstored += n;
  held_.clear();
  return n;
}

void TIntake::Refused(std::uint64_t n) {
  std::lock_guard<std::mutex> lock(mutex_);
  figures_.refused = n;
}

TIntakeFigures TIntake::Figures() const {
  std::lock_guard<std::mutex> lock(mutex_);
  TIntakeFigures f = figures_;
  f.held = held_.size();
  return f;
}

std::string LedgerStatus(const TIntakeFigures& f, const char* state, std::int64_t nowMs) {
  Json::Value root(Json::objectValue);
  root["state"] = state;
  root["storing"] = std::string(state) == "storing" ? 1 : 0;
  if (f.sinceMs) root["since"] = FormatTime(f.sinceMs);
  if (!f.reason.empty()) root["reason"] = f.reason;
  root["held"] = Json::UInt64(f.held);
  root["unstored"] = Json::UInt64(f.unstored);
  root["refused"] = Json::UInt64(f.refused);
  root["time"] = FormatTime(nowMs);
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  return Json::writeString(builder, root);
}

}  // namespace ledger
