// A set of seqs kept as disjoint ranges [first, last]: the site's gaps that the worker publishes again
// from the journal, and those it said the journal no longer holds. A gap of a restored ledger may span
// a hundred thousand seqs: kept as ranges, never seq by seq.
#pragma once

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <map>
#include <vector>

class TSeqRanges {
 public:
  struct TRange {
    std::uint64_t nFirst = 0, nLast = 0;
  };

  bool Empty() const { return ranges_.empty(); }
  TRange First() const { return {ranges_.begin()->first, ranges_.begin()->second}; }
  void Clear() { ranges_.clear(); }

  std::uint64_t Count() const {
    std::uint64_t n = 0;
    for (const auto& [first, last] : ranges_) n += last - first + 1;
    return n;
  }

  // Adds [nFirst, nLast], merged with the ranges it touches.
  void Add(std::uint64_t nFirst, std::uint64_t nLast) {
    if (nFirst > nLast) return;
    auto it = ranges_.upper_bound(nFirst);
    // A range that grows by its end, short of the next (seqs confirmed in order): changed in place,
    // without a node freed and made for each seq.
    if (it != ranges_.begin() && std::prev(it)->second + 1 >= nFirst &&
        (it == ranges_.end() || nLast < it->first - 1)) {
      std::prev(it)->second = std::max(std::prev(it)->second, nLast);
      return;
    }
    if (it != ranges_.begin() && std::prev(it)->second + 1 >= nFirst) --it;
    while (it != ranges_.end() && it->first <= nLast + 1 && nLast + 1 != 0) {
      nFirst = std::min(nFirst, it->first);
      nLast = std::max(nLast, it->second);
      it = ranges_.erase(it);
    }
    ranges_[nFirst] = nLast;
  }

  // Takes [nFirst, nLast] out.
  void Remove(std::uint64_t nFirst, std::uint64_t nLast) {
    if (nFirst > nLast) return;
    auto it = ranges_.upper_bound(nFirst);
    if (it != ranges_.begin()) --it;
    while (it != ranges_.end() && it->first <= nLast) {
      const std::uint64_t nFrom = it->first, nTo = it->second;
      if (nTo < nFirst) {
        ++it;
        continue;
      }
      it = ranges_.erase(it);
      if (nFrom < nFirst) ranges_[nFrom] = nFirst - 1;
      if (nTo > nLast) ranges_[nLast + 1] = nTo;
    }
  }

  // The last seq of the range that holds n; 0: none does.
  std::uint64_t LastOfRange(std::uint64_t n) const {
    auto it = ranges_.upper_bound(n);
    if (it == ranges_.begin() || std::prev(it)->second < n) return 0;
    return std::prev(it)->second;
  }

  // The parts of [nFirst, nLast] that this set does not hold, in order.
  std::vector<TRange> Outside(std::uint64_t nFirst, std::uint64_t nLast) const {
    std::vector<TRange> out;
    if (nFirst > nLast) return out;
    auto it = ranges_.upper_bound(nFirst);
    if (it != ranges_.begin()) --it;
    for (; it != ranges_.end() && it->first <= nLast; ++it) {
      if (it->second < nFirst) continue;
      if (it->first > nFirst) out.push_back({nFirst, it->first - 1});
      if (it->second >= nLast) return out;
      nFirst = it->second + 1;
    }
    out.push_back({nFirst, nLast});
    return out;
  }

 private:
  std::map<std::uint64_t, std::uint64_t> ranges_;  // first -> last
};
