#include "ledger_stats.h"

#include <cmath>

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

double ChiSquareSurvival(double x, int k, double lambda) {
  if (lambda <= 0) return 1 - GammaP(k / 2.0, x / 2);
  // Noncentral: a Poisson(lambda / 2) mixture of central chi-squares with k + 2j degrees of freedom.
  const double half = lambda / 2;
  double cdf = 0;
  for (int j = 0; j < 2000; ++j) {
    const double weight = std::exp(-half + j * std::log(half) - std::lgamma(j + 1.0));
    cdf += weight * GammaP(k / 2.0 + j, x / 2);
    if (j > half && weight < 1e-17) break;
  }
  return 1 - cdf;
}

double ChiSquareCritical(int k, double alpha) {
  double lo = 0, hi = 1000;
  for (int i = 0; i < 200; ++i) {
    const double mid = (lo + hi) / 2;
    (ChiSquareSurvival(mid, k) > alpha ? lo : hi) = mid;
  }
  return (lo + hi) / 2;
}

int GamesToFlag(double factor, double power) {
  // Noncentrality per game: sum over pockets of (p - p0)^2 / p0.
  const double p0 = 1.0 / kPockets, favoured = factor / (factor + kPockets - 1), other = 1 / (factor + kPockets - 1);
  const double perGame = (favoured - p0) * (favoured - p0) / p0 + (kPockets - 1) * (other - p0) * (other - p0) / p0;
  const double critical = ChiSquareCritical(kPockets - 1, kAlpha);
  int lo = 1, hi = 1000000;
  while (lo < hi) {
    const int mid = lo + (hi - lo) / 2;
    if (ChiSquareSurvival(critical, kPockets - 1, mid * perGame) >= power)
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
