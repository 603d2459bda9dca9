#include "ledger_checks.h"

#include <json/json.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>

namespace ledger {

void TGaps::Stored(std::uint64_t seq, std::uint64_t highest) {
  // A box numbers a wheel's documents from 1: whatever lies below the first one stored is missing.
  if (seq > highest) {
    if (seq > highest + 1) open_[highest + 1] = seq - 1;
    return;
  }
  // Inside the range: it fills (part of) the gap that holds it.
  auto it = open_.upper_bound(seq);
  if (it == open_.begin()) return;
  --it;
  const std::uint64_t first = it->first, last = it->second;
  if (seq > last) return;
  open_.erase(it);
  if (first < seq) open_[first] = seq - 1;
  if (seq < last) open_[seq + 1] = last;
}

void TGaps::Skip(std::uint64_t first, std::uint64_t last) {
  for (auto it = open_.begin(); it != open_.end();) {
    const std::uint64_t a = it->first, b = it->second;
    if (b < first || a > last) {
      ++it;
      continue;
    }
    it = open_.erase(it);
    if (a < first) open_[a] = first - 1;
    if (b > last) open_[last + 1] = b;
  }
}

std::uint64_t TGaps::Missing() const {
  std::uint64_t n = 0;
  for (const auto& [first, last] : open_) n += last - first + 1;
  return n;
}

std::uint64_t TWheel::Confirmed() const {
  if (stored == 0) return 0;
  const auto& open = gaps.Open();
  return open.empty() ? highest : open.begin()->first - 1;
}

std::uint64_t MissedGames(int gameBefore, int gameAfter) {
  if (gameBefore < 0 || gameAfter < 0) return 0;
  const int step = ((gameAfter - gameBefore) % 10000 + 10000) % 10000;
  return step >= 2 && step <= 5000 ? static_cast<std::uint64_t>(step - 1) : 0;
}

std::string Confirmation(const TWheel& w, std::int64_t timeMs, const std::string& checkpoint) {
  Json::Value root(Json::objectValue);
  root["seq"] = Json::UInt64(w.Confirmed());
  root["epoch"] = Json::UInt64(w.newestEpoch);
  root["time"] = FormatTime(timeMs);
  root["timeMs"] = Json::Int64(timeMs);  // the same, for the metrics' arithmetic
  root["stored"] = Json::UInt64(w.stored);
  root["duplicates"] = Json::UInt64(w.duplicates);
  root["conflicts"] = Json::UInt64(w.conflicts);
  root["restarts"] = Json::UInt64(w.epochs.empty() ? 0 : w.epochs.size() - 1);
  root["missedGames"] = Json::UInt64(w.missedGames);
  Json::Value gaps(Json::arrayValue);
  for (const auto& [first, last] : w.gaps.Open()) {
    if (gaps.size() == 100) break;
    Json::Value gap(Json::arrayValue);
    gap.append(Json::UInt64(first));
    gap.append(Json::UInt64(last));
    gaps.append(gap);
  }
  root["gaps"] = gaps;
  root["missing"] = Json::UInt64(w.gaps.Missing());
  root["latenessMs"] = Json::Int64(w.latenessMs);
  root["rejected"] = Json::UInt64(w.rejected);
  if (!w.lastRejected.empty()) root["rejectedReason"] = w.lastRejected;
  root["forks"] = Json::UInt64(w.forks);
  root["skipped"] = Json::UInt64(w.skipped);
  if (!checkpoint.empty()) root["checkpoint"] = checkpoint;
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  return Json::writeString(builder, root);
}

std::string FormatTime(std::int64_t ms) {
  const std::time_t seconds = static_cast<std::time_t>(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  char text[80];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms - seconds * 1000LL));
  return text;
}

bool ParseTime(const std::string& text, std::int64_t* pMs) {
  int year, month, day, hour, minute, second, used = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &year, &month, &day, &hour, &minute, &second,
                  &used) != 6 || used != 19)
    return false;
  std::size_t at = 19;
  int ms = 0;
  if (at < text.size() && text[at] == '.') {
    int digits = 0;
    for (++at; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at, ++digits)
      if (digits < 3) ms = ms * 10 + (text[at] - '0');
    if (digits == 0) return false;
    for (; digits < 3; ++digits) ms *= 10;
  }
  int offsetMinutes = 0;
  if (at + 1 == text.size() && (text[at] == 'Z' || text[at] == 'z')) {
  } else if (at + 6 == text.size() && (text[at] == '+' || text[at] == '-') && text[at + 3] == ':') {
    int oh, om;
    if (std::sscanf(text.c_str() + at + 1, "%2d:%2d", &oh, &om) != 2) return false;
    offsetMinutes = (text[at] == '-' ? -1 : 1) * (oh * 60 + om);
  } else {
    return false;
  }
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) return false;
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  const std::int64_t seconds = timegm(&tm) - offsetMinutes * 60LL;
  *pMs = seconds * 1000 + ms;
  return true;
}

std::int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

TGameFields ReadGameFields(const std::string& payload) {
  TGameFields f;
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value root;
  if (!reader->parse(payload.data(), payload.data() + payload.size(), &root, nullptr) || !root.isObject())
    return f;
  auto member = [&root](const char* key) {
    const Json::Value& v = root[key];
    return v.isInt() ? v.asInt() : -1;
  };
  f.game = member("game id");
  f.phase = member("phase");
  f.win = member("win number");
  return f;
}

}  // namespace ledger
