// The ledger's chain, as verify sees it in the database and in an exported file, and its bias test.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <fstream>
#include <functional>
#include <random>

#include "ledger_stats.h"
#include "ledger_store.h"
#include "ledger_verbs.h"

namespace {

using namespace ledger;

std::string Game(int game, int win) {
  return "{\n\t\"game id\" : " + std::to_string(game) + ",\n\t\"win number\" : " + std::to_string(win) + "\n}\n";
}

// A database of wheel 42 with seq 1 to 6, then a conflict at seq 3, then 5 as a replay.
class LedgerChain : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/kestrin-ledger-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    std::string error;
    ThLedgerStore store = StoreInit(Db().c_str(), true, &error);
    ASSERT_NE(store, nullptr) << error;
    ASSERT_EQ(StoreBegin(store), 0);
    for (std::uint64_t seq : {1, 2, 3, 4, 6, 0, 5}) {
      TIncoming doc;
      doc.wheel = 42;
      doc.seq = seq ? seq : 3;
      doc.epoch = 1;
      doc.captured = "2026-12-09T01:00:0" + std::to_string(seq) + ".000Z";
      doc.replayed = seq == 5;
      doc.payload = Game(static_cast<int>(doc.seq), seq ? -1 : 9);
      doc.arrivedMs = 1796778000000 + static_cast<std::int64_t>(seq);
      ASSERT_EQ(StoreAdd(store, doc), seq ? kStored : kConflict);
    }
    ASSERT_EQ(StoreCommit(store), 0);
    StoreDestroy(store);
  }
  void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }
  std::string Db() const { return dir_ + "/ledger.db"; }
  void Sql(const std::string& sql) {
    sqlite3* db;
    ASSERT_EQ(sqlite3_open(Db().c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
  }
  // The verb's exit status, its output in *pOut.
  template <typename F>
  int Captured(F verb, std::string* pOut) {
    testing::internal::CaptureStdout();
    const int status = verb();
    *pOut = testing::internal::GetCapturedStdout();
    return status;
  }
  std::string dir_;
};

TEST_F(LedgerChain, VerifyNamesTheFirstRecordThatDoesNotMatch) {
  struct TCase {
    const char* what;
    const char* sql;
    const char* named;  // in verify's line
  };
  const TCase cases[] = {
      {"an altered byte", "UPDATE documents SET payload = CAST(REPLACE(CAST(payload AS TEXT), '3', '8') AS BLOB) "
                          "WHERE seq = 3", "record 3 (seq 3,"},
      {"an altered arrival", "UPDATE documents SET arrived = arrived + 1 WHERE seq = 2", "record 2 (seq 2,"},
      {"a removed record", "DELETE FROM documents WHERE seq = 4", "record 5 (seq 6,"},
      {"a reordered record", "UPDATE documents SET pos = -pos WHERE pos IN (4, 5); "
                             "UPDATE documents SET pos = 9 + pos WHERE pos < 0", "record 4 (seq 6,"},
      {"a replayed record made live", "UPDATE documents SET replayed = 0 WHERE seq = 5", "record 7 (seq 5,"},
      {"a removed conflict", "DELETE FROM apart", "record 7 (seq 5,"},
      {"an altered conflict", "UPDATE apart SET payload = CAST('{}' AS BLOB)", "record 6 (seq 3,"},
      {"a changed count", "INSERT OR REPLACE INTO wheels VALUES (42, 0, 0, 5)", "the count of missed games (5)"},
  };
  std::string out;
  ASSERT_EQ(Captured([&] { return Verify(Db(), 42); }, &out), kExitOk) << out;
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(std::system(("cp " + Db() + " " + Db() + ".orig").c_str()), 0);
    Sql(c.sql);
    EXPECT_EQ(Captured([&] { return Verify(Db(), -1); }, &out), kExitFound) << out;
    EXPECT_NE(out.find(c.named), std::string::npos) << out;
    ASSERT_EQ(std::system(("mv " + Db() + ".orig " + Db()).c_str()), 0);
  }
  // The winning numbers come from the payloads the chain covers, not from the column beside them.
  Sql("UPDATE documents SET win = 17");
  std::string error;
  ThLedgerStore store = StoreInit(Db().c_str(), false, &error);
  ASSERT_NE(store, nullptr) << error;
  EXPECT_TRUE(StoreWinningNumbers(store, 42, 10).empty());
  StoreDestroy(store);
}

TEST_F(LedgerChain, AnExportVerifiesFromTheFileAloneAndAChangedLineDoesNot) {
  for (bool json : {false, true}) {
    SCOPED_TRACE(json ? "json" : "csv");
    TRange range;
    range.fromSeq = 2;
    range.toSeq = 4;
    std::string text, out;
    // Seq 2 to 4 lie in records 2 to 4, seq 5 (record 6) not: the file holds records 2 to 4.
    ASSERT_EQ(Captured([&] { return Export(Db(), 42, range, json); }, &text), kExitOk);
    const std::string file = dir_ + "/export";
    std::ofstream(file) << text;
    EXPECT_EQ(Captured([&] { return VerifyFile(file); }, &out), kExitOk) << text << out;
    EXPECT_NE(out.find(json ? "proved: wheel 42, seq 2 to 4" : "records 2 to 4 (3)"), std::string::npos) << out;

    // The winning number of game 3 made 8 in the file ("33" is "3" in the payload's hex).
    const std::string from = Hex(Game(3, -1)), to = Hex(Game(3, 8));
    ASSERT_NE(text.find(from), std::string::npos);
    std::ofstream(file) << text.replace(text.find(from), from.size(), to);
    EXPECT_EQ(Captured([&] { return VerifyFile(file); }, &out), kExitFound) << out;
    EXPECT_NE(out.find("record 3 (seq 3"), std::string::npos) << out;
  }
}

TEST_F(LedgerChain, ADamagedDatabaseOrACutExportFailsEveryVerb) {
  std::string out, csv, json;
  TRange range;
  ASSERT_EQ(Captured([&] { return Export(Db(), 42, range, false); }, &csv), kExitOk);
  ASSERT_EQ(Captured([&] { return Export(Db(), 42, range, true); }, &json), kExitOk);
  // A file cut at a line's end (the CSV's end line gone) or inside the JSON.
  for (const std::string& cut : {csv.substr(0, csv.rfind("end,")), json.substr(0, json.size() / 2)}) {
    std::ofstream(dir_ + "/cut") << cut;
    EXPECT_EQ(Captured([&] { return VerifyFile(dir_ + "/cut"); }, &out), kExitError) << out;
  }
  TSelection game;
  game.by = TSelection::kByGame;
  game.game = 3;
  // Nothing there is a failure too.
  range.fromSeq = 7;
  EXPECT_EQ(Captured([&] { return Export(Db(), 42, range, false); }, &out), kExitError) << out;
  EXPECT_EQ(Captured([&] { return Verify(Db(), 43); }, &out), kExitError) << out;
  // A garbled page.
  ASSERT_EQ(std::system(("dd if=/dev/urandom of=" + Db() + " bs=4096 seek=1 count=1 conv=notrunc 2>/dev/null").c_str()), 0);
  const std::function<int()> verbs[] = {
      [&] { return Verify(Db(), -1); },
      [&] { return Export(Db(), 42, TRange(), false); },
      [&] { return Export(Db(), 42, TRange(), true); },
      [&] { return Gaps(Db(), -1); },
      [&] { return Stats(Db(), 42, 10); },
      [&] { return Show(Db(), 42, game, TSources()); },
      [&] { return Audit(Db(), -1, 0, INT64_MAX, false, TSources()); },
  };
  for (const auto& verb : verbs) EXPECT_EQ(Captured(verb, &out), kExitError) << out;
}

// Games from a wheel whose number `favoured` comes `factor` times as often as each other number.
std::vector<int> Spins(std::mt19937& random, int games, double factor, int favoured = 17) {
  std::vector<double> weights(kPockets, 1.0);
  weights[favoured] = factor;
  std::discrete_distribution<int> pocket(weights.begin(), weights.end());
  std::vector<int> out;
  for (int i = 0; i < games; ++i) out.push_back(pocket(random));
  return out;
}

TEST(LedgerBias, FlagsTheBiasedWheelAsOftenAsTheHelpSays) {
  const int games = kGamesToFlag3x;
  std::mt19937 random(29);
  int fairFlagged = 0, biasedFlagged = 0;
  const int kTrials = 400;
  for (int i = 0; i < kTrials; ++i) {
    fairFlagged += BiasTest(Spins(random, games, 1)).flagged;
    biasedFlagged += BiasTest(Spins(random, games, 3)).flagged;
  }
  // At significance 0.001 a fair wheel is flagged about once in a thousand runs; the biased one in
  // 95 of 100 (the help's figure). Bounds well outside what 400 trials scatter.
  EXPECT_LE(fairFlagged, 4);
  EXPECT_GE(biasedFlagged, 0.90 * kTrials);
  EXPECT_LE(biasedFlagged, 0.99 * kTrials);
  // Too few games are never judged, however skewed.
  EXPECT_FALSE(BiasTest(std::vector<int>(kMinGames - 1, 17)).flagged);
  EXPECT_TRUE(BiasTest(std::vector<int>(kMinGames, 17)).flagged);
}

}  // namespace
