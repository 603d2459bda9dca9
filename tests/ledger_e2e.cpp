// The built kestrin-ledger against a real mosquitto, fed documents published by hand with the
// bridge's properties (seq, epoch, captured, replayed), its confirmations read back from the broker.
#include <gtest/gtest.h>
#include <json/json.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <memory>

#include "harness.h"

namespace {

using namespace kt;

constexpr std::size_t kMaxDocument = 4096;  // the ledger's bound, kMaxDocumentBytes

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
           {"captured", "2026-12-09T01:00:00.000Z"}})
    argv.insert(argv.end(), {"-D", "publish", "user-property", name, value});
  if (d.replayed) argv.insert(argv.end(), {"-D", "publish", "user-property", "replayed", "1"});
  Process pub(argv);
  return pub.WaitExit(5000ms) == 0;
}
bool Publish(const TDoc& d) { return Publish(d, Payload(d)); }

// The retained confirmation of wheel 42 (or the ledger's status) as the broker has it now; null when
// there is none.
Json::Value Confirmation(const std::string& wheel = "42") {
  Process sub({"mosquitto_sub", "-h", "127.0.0.1", "-t", "/rng/roulette/kestrin_live/" + wheel + "/ledger", "-C", "1",
               "-W", "1"});
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
  std::string Db() const { return db_.empty() ? broker_.Dir() + "/ledger.db" : db_; }

  Broker broker_;
  std::string db_;
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

  // The box's replay fills the gap.
  for (const TDoc& d : {TDoc{3, 1, 2, true}, TDoc{4, 1, 3, true}}) ASSERT_TRUE(Publish(d));
  ASSERT_TRUE(Confirmed(5, 5, "[]", &c)) << c;
  EXPECT_EQ(c["missedGames"].asInt(), 1);

  // Documents published while the ledger is away wait in its session at the broker.
  StopLedger();
  for (const TDoc& d : {TDoc{6, 2, 6}, TDoc{7, 2, 6}}) ASSERT_TRUE(Publish(d));
  StartLedger();
  ASSERT_TRUE(Confirmed(7, 7, "[]", &c)) << c << ledger_->Out();
  EXPECT_EQ(c["restarts"].asInt(), 1);
  EXPECT_EQ(c["epoch"].asInt(), 2);
  StopLedger();

  // An export verifies with nothing but the file; a row changed in the database does not.
  std::string out;
  EXPECT_EQ(Verb({"verify", "--database", Db()}, &out), 0) << out;
  ASSERT_EQ(Verb({"export", "--wheel", "42", "--from-seq", "2", "--to-seq", "6", "--format", "json", "--database",
                  Db()}, &out), 0);
  const std::string file = broker_.Dir() + "/export.json";
  std::ofstream(file) << out;
  std::system(("mv " + Db() + " " + Db() + ".moved").c_str());  // nothing but the file
  EXPECT_EQ(Verb({"verify", "--file", file}, &out), 0) << out;
  std::system(("mv " + Db() + ".moved " + Db()).c_str());
  ASSERT_EQ(std::system(("sqlite3 " + Db() + " \"UPDATE documents SET payload = CAST('{}' AS BLOB) WHERE seq = 3\"")
                            .c_str()),
            0);
  EXPECT_EQ(Verb({"verify", "--wheel", "42", "--database", Db()}, &out), 1) << out;
  EXPECT_NE(out.find("(seq 3,"), std::string::npos) << out;
}

}  // namespace

namespace {

// A full disk: the ledger acknowledges nothing it has not stored. It stops storing, says so, ends its
// session; what comes meanwhile waits at the broker, and once there is room every document is stored
// once, with no publisher sending anything again. A document over the bound is refused and counted.
TEST_F(LedgerE2e, StoresEveryDocumentOnceAfterItsDiskWasFull) {
  const std::string fs = broker_.Dir() + "/fs";
  ASSERT_EQ(mkdir(fs.c_str(), 0755), 0);
  ASSERT_EQ(mount("tmpfs", fs.c_str(), "tmpfs", 0, "size=600k"), 0);  // the tests' own mount namespace
  const std::unique_ptr<const char, void (*)(const char*)> unmount(fs.c_str(), [](const char* p) {
    umount2(p, MNT_DETACH);
  });
  db_ = fs + "/ledger.db";
  StartLedger();
  Json::Value c;
  for (int seq = 1; seq <= 5; ++seq) ASSERT_TRUE(Publish(TDoc{seq, 1, seq}));
  ASSERT_TRUE(Confirmed(5, 5, "[]", &c)) << c << ledger_->Out();
  std::system(("dd if=/dev/zero of=" + fs + "/fill bs=4k 2>/dev/null").c_str());
  for (int seq = 6; seq <= 60; ++seq) ASSERT_TRUE(Publish(TDoc{seq, 1, seq}));
  EXPECT_TRUE(ledger_->WaitForOutput("Not storing", 10000ms)) << ledger_->Out();
  EXPECT_TRUE(WaitUntil([&] { return (c = Confirmation("site"))["storing"] == 0; }, 5000ms)) << c;
  EXPECT_LT(Confirmation()["seq"].asInt(), 60);
  unlink((fs + "/fill").c_str());
  ASSERT_TRUE(Confirmed(60, 60, "[]", &c)) << c << ledger_->Out();
  EXPECT_EQ(c["duplicates"].asInt(), 0);
  EXPECT_TRUE(ledger_->WaitForOutput("Storing again", 1000ms)) << ledger_->Out();
  ASSERT_TRUE(Publish(TDoc{61, 1, 61}, std::string(kMaxDocument + 1, ' ')));
  EXPECT_TRUE(WaitUntil([&] { return (c = Confirmation("site"))["refused"] == 1 && c["storing"] == 1; }, 5000ms))
      << c;
  StopLedger();
  EXPECT_EQ(Confirmation("site")["state"], "stopped");
}

}  // namespace
