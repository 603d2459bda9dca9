// The bias test of a wheel's winning numbers: Pearson's chi-square goodness of fit against a fair
// single-zero wheel (37 pockets, each 1/37), 36 degrees of freedom, at significance kAlpha.
#pragma once

#include <array>
#include <vector>

namespace ledger {

constexpr int kPockets = 37;
constexpr double kAlpha = 0.001;
// Below this many games some pocket expects fewer than 5 hits and the test is not trusted.
constexpr int kMinGames = 5 * kPockets;

struct TBias {
  std::array<int, kPockets> counts{};
  int games = 0;
  double chiSquare = 0, pValue = 1, critical = 0;
  bool enough = false;  // games >= kMinGames
  bool flagged = false;  // enough and pValue < kAlpha
};

TBias BiasTest(const std::vector<int>& winning);

// P(X > x) for X chi-square with k degrees of freedom; noncentral with lambda > 0.
double ChiSquareSurvival(double x, int k, double lambda = 0);
// The x with ChiSquareSurvival(x, k) == alpha.
double ChiSquareCritical(int k, double alpha);
// How many games the test needs to flag, with probability `power`, a wheel on which one number comes
// `factor` times as often as each other number.
int GamesToFlag(double factor, double power);

}  // namespace ledger
