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

// P(X > x) for X chi-square with k degrees of freedom.
double ChiSquareSurvival(double x, int k);
// The x with ChiSquareSurvival(x, k) == alpha.
double ChiSquareCritical(int k, double alpha);

// How often the test flags a wheel on which one number comes `factor` times as often as each other
// number, after `games` games: the share of `trials` simulated runs (a fixed seed) that it flags.
// The noncentral chi-square that textbooks give for this overstates it (95 % at 626 games, where
// simulation flags 84 %), as one pocket that far from the rest skews the statistic.
double Power(int games, double factor, int trials, unsigned seed = 29);
// The fewest games with Power(games, factor, trials) >= power.
int GamesToFlag(double factor, double power, int trials);
// GamesToFlag(3, 0.95, 20000): what the help and the manual page state.
constexpr int kGamesToFlag3x = 797;

}  // namespace ledger
