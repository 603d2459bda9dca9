#include "ledger_stats.h"

#include <cmath>
#include <random>

namespace ledger {
namespace {

// Regularized lower incomplete gamma P(a, x): its series below a + 1, else 1 - the continued fraction
// of Q (Lentz's method).
double GammaP(double a, double x) {
  if (x <= 0) return 0;
  const double lead = std::exp(-x + a * std::log(x) - std::lgamma(a));
  if (x < a + 1) {
    double term = 1 / a, sum = term;
    for (int n = 1; n < 10000 && std::fabs(term) > std::fabs(sum) * 1e-15; ++n) {
      term *= x / (a + n);
      sum += term;
    }
    return sum * lead;
  }
  const double tiny = 1e-300;
  double b = x + 1 - a, c = 1 / tiny, d = 1 / b, h = d;
  for (int i = 1; i < 10000; ++i) {
    const double an = -i * (i - a);
    b += 2;
    d = an * d + b;
    if (std::fabs(d) < tiny) d = tiny;
    c = b + an / c;
    if (std::fabs(c) < tiny) c = tiny;
    d = 1 / d;
    const double step = d * c;
    h *= step;
    if (std::fabs(step - 1) < 1e-15) break;
  }
  return 1 - lead * h;
}

}  // namespace

double ChiSquareSurvival(double x, int k) { return 1 - GammaP(k / 2.0, x / 2); }

double ChiSquareCritical(int k, double alpha) {
  double lo = 0, hi = 1000;
  for (int i = 0; i < 200; ++i) {
    const double mid = (lo + hi) / 2;
    (ChiSquareSurvival(mid, k) > alpha ? lo : hi) = mid;
  }
  return (lo + hi) / 2;
}

double Power(int games, double factor, int trials, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<double> weights(kPockets, 1.0);
  weights[0] = factor;
  std::discrete_distribution<int> pocket(weights.begin(), weights.end());
  const double critical = ChiSquareCritical(kPockets - 1, kAlpha), expected = double(games) / kPockets;
  int flagged = 0;
  for (int t = 0; t < trials; ++t) {
    std::array<int, kPockets> counts{};
    for (int g = 0; g < games; ++g) ++counts[pocket(random)];
    double chi = 0;
    for (int c : counts) chi += (c - expected) * (c - expected) / expected;
    flagged += games >= kMinGames && chi > critical;
  }
  return double(flagged) / trials;
}

int GamesToFlag(double factor, double power, int trials) {
  int lo = kMinGames, hi = 100000;
  while (lo < hi) {
    const int mid = lo + (hi - lo) / 2;
    if (Power(mid, factor, trials) >= power)
      hi = mid;
    else
      lo = mid + 1;
  }
  return lo;
}

TBias BiasTest(const std::vector<int>& winning) {
  TBias b;
  for (int n : winning) {
    if (n < 0 || n >= kPockets) continue;
    ++b.counts[n];
    ++b.games;
  }
  b.critical = ChiSquareCritical(kPockets - 1, kAlpha);
  b.enough = b.games >= kMinGames;
  if (b.games == 0) return b;
  const double expected = static_cast<double>(b.games) / kPockets;
  for (int c : b.counts) b.chiSquare += (c - expected) * (c - expected) / expected;
  b.pValue = ChiSquareSurvival(b.chiSquare, kPockets - 1);
  b.flagged = b.enough && b.pValue < kAlpha;
  return b;
}

}  // namespace ledger
