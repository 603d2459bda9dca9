// The built kestrin-ledger against a real mosquitto, fed documents published by hand with the
// bridge's properties (seq, epoch, captured, replayed), its confirmations read back from the broker.
#include <gtest/gtest.h>
#include <json/json.h>
#include <signal.h>

#include <cstdlib>
#include <fstream>
#include <memory>

#include "harness.h"

namespace {

using namespace kt;

struct TDoc {
  int seq, epoch, game;
  bool replayed = false;
  int win = -1;
};

std::string Payload(const TDoc& d) {
  return "{\n\t\"game id\" : " + std::to_string(d.game) + ",\n\t\"win number\" : " + std::to_string(d.win) + "\n}\n";
}

bool Publish(const TDoc& d, const std::string& payload) {
  std::vector<std::string> argv = {"mosquitto_pub", "-V", "5", "-h", "127.0.0.1", "-q", "1", "-t",
                                   "/rng/roulette/kestrin_live/42/gameStatus", "-m", payload};
  for (const auto& [name, value] : std::vector<std::pair<std::string, std::string>>{
           {"seq", std::to_string(d.seq)}, {"epoch", std::to_string(d.epoch)},
           {"captured", "2026-12-09T01:00:0" + std::to_string(d.seq) + ".000Z"}})
    argv.insert(argv.end(), {"-D", "publish", "user-property", name, value});
  if (d.replayed) argv.insert(argv.end(), {"-D", "publish", "user-property", "replayed", "1"});
  Process pub(argv);
  return pub.WaitExit(5000ms) == 0;
}
bool Publish(const TDoc& d) { return Publish(d, Payload(d)); }

// The retained confirmation of wheel 42 as the broker has it now; null when there is none.
Json::Value Confirmation() {
  Process sub({"mosquitto_sub", "-h", "127.0.0.1", "-t", "/rng/roulette/kestrin_live/42/ledger", "-C", "1", "-W",
               "1"});
  sub.WaitExit(5000ms);
  Json::Value v;
  Json::Reader().parse(sub.Out(), v);
  return v;
}

// Waits until the confirmation says seq, stored and the gaps given (as JSON text, e.g. "[[3,4]]").
bool Confirmed(int seq, int stored, const std::string& gaps, Json::Value* pLast) {
  return WaitUntil([&] {
    *pLast = Confirmation();
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    return pLast->isObject() && (*pLast)["seq"].asInt() == seq && (*pLast)["stored"].asInt() == stored &&
           Json::writeString(b, (*pLast)["gaps"]) == gaps;
  }, 10000ms);
}

class LedgerE2e : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(broker_.Start()); }
  void StartLedger() {
    ledger_ = std::make_unique<Process>(std::vector<std::string>{
        KESTRIN_LEDGER_PATH, "run", "--broker", "tcp://127.0.0.1:1883", "--database", Db()});
    ASSERT_TRUE(ledger_->WaitForOutput("Connected to the broker", 10000ms)) << ledger_->Out();
  }
  void StopLedger() {
    ledger_->Signal(SIGTERM);
    EXPECT_EQ(ledger_->WaitExit(10000ms), 0) << ledger_->Out() << ledger_->Err();
  }
  int Verb(std::vector<std::string> args, std::string* pOut = nullptr) {
    args.insert(args.begin(), KESTRIN_LEDGER_PATH);
    Process verb(args);
    const int status = verb.WaitExit(10000ms);
    if (pOut) *pOut = verb.Out();
    return status;
  }
  std::string Db() const { return broker_.Dir() + "/ledger.db"; }

  Broker broker_;
  std::unique_ptr<Process> ledger_;
};

TEST_F(LedgerE2e, StoresOnceConfirmsClosesGapsAndProvesItsRecords) {
  StartLedger();
  Json::Value c;
  // 2 stored first: 1 is missing (a box numbers from 1), nothing is confirmed; 2 again a duplicate; 2
  // with other bytes a conflict; 5 opens the gap 3-4 (and game 5 after game 3 will have missed game 4).
  for (const TDoc& d : {TDoc{2, 1, 1, false, 7}, TDoc{2, 1, 1, false, 7}, TDoc{5, 1, 5}}) ASSERT_TRUE(Publish(d));
  ASSERT_TRUE(Publish(TDoc{2, 1, 1}, Payload(TDoc{2, 1, 1, false, 8})));
  ASSERT_TRUE(Confirmed(0, 2, "[[1,1],[3,4]]", &c)) << c << ledger_->Out();
  ASSERT_TRUE(Publish(TDoc{1, 1, 1}));
  ASSERT_TRUE(Confirmed(2, 3, "[[3,4]]", &c)) << c << ledger_->Out();
  EXPECT_EQ(c["missing"].asInt(), 2);
  ASSERT_TRUE(WaitUntil([&] { return (c = Confirmation())["conflicts"].asInt() == 1; }, 5000ms)) << c;
  EXPECT_EQ(c["duplicates"].asInt(), 1);
  std::string out;
  const std::vector<std::string> period = {"audit", "--from", "2026-12-09T01:00:00Z", "--to", "2026-12-09T01:01:00Z",
                                           "--database", Db()};
  EXPECT_EQ(Verb(period, &out), 1) << out;
  EXPECT_NE(out.find("OPEN: seq 3 to 4 missing"), std::string::npos) << out;

  // The box's replay fills the gap.
  for (const TDoc& d : {TDoc{3, 1, 2, true}, TDoc{4, 1, 3, true}}) ASSERT_TRUE(Publish(d));
  ASSERT_TRUE(Confirmed(5, 5, "[]", &c)) << c;
  EXPECT_EQ(c["missedGames"].asInt(), 1);
  // The period's report: the gap closed by the replay, the conflict with both versions, game 4 missed.
  EXPECT_EQ(Verb(period, &out), 1) << out;
  for (const char* line : {"seq 3 to 4 opened 2026-12-09T", "by replay\n", "game 3 to 5: 4 never reached",
                           "win number 7", "win number 8", "a conflict at seq 2"})
    EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
  // A game and a capture time looked up: game 1's result is seq 2's 7, beside the conflict's 8.
  EXPECT_EQ(Verb({"show", "--wheel", "42", "--game", "1", "--database", Db()}, &out), 1) << out;
  EXPECT_NE(out.find("game 1 (seq 1 to 2): result 7, from seq 2"), std::string::npos) << out;
  EXPECT_NE(out.find("CONFLICT: other bytes for seq 2"), std::string::npos) << out;
  EXPECT_EQ(Verb({"show", "--wheel", "42", "--at", "2026-12-09T01:00:04.400Z", "--around", "0", "--database", Db()},
                 &out), 0) << out;
  EXPECT_NE(out.find("game 3 (seq 4 to 4)"), std::string::npos) << out;
  EXPECT_NE(out.find("replayed"), std::string::npos) << out;

  // Documents published while the ledger is away wait in its session at the broker.
  StopLedger();
  for (const TDoc& d : {TDoc{6, 2, 6}, TDoc{7, 2, 6}}) ASSERT_TRUE(Publish(d));
  StartLedger();
  ASSERT_TRUE(Confirmed(7, 7, "[]", &c)) << c << ledger_->Out();
  EXPECT_EQ(c["restarts"].asInt(), 1);
  EXPECT_EQ(c["epoch"].asInt(), 2);
  StopLedger();

  // An export verifies with nothing but the file; a row changed in the database does not.
  EXPECT_EQ(Verb({"verify", "--database", Db()}, &out), 0) << out;
  ASSERT_EQ(Verb({"export", "--wheel", "42", "--from-seq", "2", "--to-seq", "6", "--format", "json", "--database",
                  Db()}, &out), 0);
  const std::string file = broker_.Dir() + "/export.json";
  std::ofstream(file) << out;
  std::system(("mv " + Db() + " " + Db() + ".moved").c_str());  // nothing but the file
  EXPECT_EQ(Verb({"verify", "--file", file}, &out), 0) << out;
  EXPECT_EQ(out.rfind("proved: wheel 42, seq 2 to 6\n", 0), 0u) << out;
  std::system(("mv " + Db() + ".moved " + Db()).c_str());
  ASSERT_EQ(std::system(("sqlite3 " + Db() + " \"UPDATE documents SET payload = CAST('{}' AS BLOB) WHERE seq = 3\"")
                            .c_str()),
            0);
  EXPECT_EQ(Verb({"verify", "--wheel", "42", "--database", Db()}, &out), 1) << out;
  EXPECT_NE(out.find("(seq 3,"), std::string::npos) << out;
}

}  // namespace
