// The journal on a real file system: reopened, torn, full, read back after a confirmation.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>

#include "harness.h"
#include "kestrin_console.h"
#include "kestrin_journal.h"
#include "kestrin_journal_l.h"
#include "kestrin_outbox.h"

namespace {

namespace fs = std::filesystem;

// The frame of game g, so that each record is told apart by its bytes.
std::string GameFrame(int g) { return kt::Frame(42, g % 10, "  ", 100, 1, 0, 0, 0, g % 10000, 0); }

class JournalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kestrin-journal-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    // The journal's lines go to standard output through the console; the test reads them from a file.
    fflush(stdout);
    saved_out_ = dup(STDOUT_FILENO);
    const int fd = open((dir_ + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    dup2(fd, STDOUT_FILENO);
    close(fd);
  }
  void TearDown() override {
    journal::Destroy(j_);
    console::Flush(2000);
    dup2(saved_out_, STDOUT_FILENO);
    close(saved_out_);
    fs::remove_all(dir_);
  }
  void Open(const journal::TOptions* options = nullptr) {
    journal::Destroy(j_);
    j_ = journal::Init(dir_.c_str(), "42", options);
    ASSERT_NE(j_, nullptr);
  }
  journal::TState State() {
    journal::TState s;
    journal::GetState(j_, &s);
    return s;
  }
  void Append(int from, int to) {  // the documents of games from..to, captured at game * 1000 ms
    for (int g = from; g <= to; ++g) {
      std::uint64_t seq = 0;
      ASSERT_EQ(
          journal::Append(j_, reinterpret_cast<const unsigned char*>(GameFrame(g).data()), g * 1000LL, &seq),
          journal::kOk);
      EXPECT_EQ(seq, static_cast<std::uint64_t>(g));
    }
    ASSERT_TRUE(journal::Sync(j_, 5000));
  }
  // Reads everything after seq in batches of `batch`; checks each record against its game.
  std::vector<std::uint64_t> ReadAfter(std::uint64_t seq, int batch = 1000) {
    std::vector<std::uint64_t> seqs;
    std::vector<journal::TRecord> records(batch);
    for (int n; (n = journal::Read(j_, seq, records.data(), batch)) > 0;) {
      for (int i = 0; i < n; ++i) {
        const journal::TRecord& r = records[i];
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(r.frame), 42),
                  GameFrame(static_cast<int>(r.nSeq)));
        EXPECT_EQ(r.nCapturedMs, static_cast<std::int64_t>(r.nSeq) * 1000);
        seqs.push_back(seq = r.nSeq);
      }
    }
    return seqs;
  }
  std::string Lines() {
    console::Flush(2000);
    std::ifstream in(dir_ + "/out");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  std::vector<fs::path> Segments() {
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(dir_ + "/42"))
      if (e.path().extension() == ".journal") files.push_back(e.path());
    std::sort(files.begin(), files.end());
    return files;
  }
  static std::vector<std::uint64_t> Range(std::uint64_t first, std::uint64_t last) {
    std::vector<std::uint64_t> v;
    for (std::uint64_t s = first; s <= last; ++s) v.push_back(s);
    return v;
  }

  std::string dir_;
  int saved_out_ = -1;
  ThKestrinJournal j_ = nullptr;
};

TEST_F(JournalTest, ReopenedItNumbersOnCountsTheStartAndKeepsTheMarks) {
  Open();
  EXPECT_EQ(State().nEpoch, 1u);
  EXPECT_EQ(State().nNextSeq, 1u);
  Append(1, 10);
  journal::Acknowledge(j_, 9);
  journal::Confirm(j_, 4);
  journal::Confirm(j_, 3);       // lower: ignored
  journal::Acknowledge(j_, 11);  // beyond the last document: ignored
  Open();                        // Destroy writes the marks
  journal::TState s = State();
  EXPECT_EQ(s.nEpoch, 2u);
  EXPECT_EQ(s.nNextSeq, 11u);
  EXPECT_EQ(s.nFirstSeq, 1u);
  EXPECT_EQ(s.nAcknowledged, 9u);
  EXPECT_EQ(s.nConfirmed, 4u);
  // Replay after the confirmation, in batches that go on where the last ended, then the new ones.
  EXPECT_EQ(ReadAfter(s.nConfirmed, 3), Range(5, 10));
  Append(11, 12);
  EXPECT_EQ(ReadAfter(10, 3), Range(11, 12));
  journal::TRecord r;
  ASSERT_EQ(journal::Read(j_, 10, &r, 1), 1);
  EXPECT_EQ(r.nEpoch, 2u);
  Open();
  EXPECT_EQ(State().nEpoch, 3u);
  EXPECT_EQ(ReadAfter(0), Range(1, 12));
  EXPECT_EQ(Lines(), "");  // nothing to report about a whole journal

  // The site confirms beyond the numbering (this journal lost or replaced): it numbers on after that,
  // with one line, and a reopen keeps it.
  journal::Confirm(j_, 5000);
  EXPECT_NE(Lines().find("confirmed seq 5000, the journal's last seq is 12; numbering goes on at seq 5001"),
            std::string::npos);
  Append(5001, 5001);
  Open();
  EXPECT_EQ(State().nNextSeq, 5002u);
}

// Killed in the unsynced window, after documents 1 to 3 were written out and 4 and 5 (published, say)
// were only numbered; or the same with a power cut, which loses what was not synced; or killed after
// writing out each document while a small segment fills; or just after a segment began; or while the
// writer changes segments at up to 4000 documents/s, as soon as a document written out is not in the file
// (else at the end): the next start gives none of their seqs to other frames, says what it skipped and
// since when, and holds every document written out.
TEST_F(JournalTest, AKillInTheUnsyncedWindowGivesNoSeqTwice) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer starts no thread in a process forked from one with threads";
#endif
  enum { kKill, kPowerCut, kSegmentChange, kJustBegun, kChangeUnderWay };
  const int kCases[] = {kKill, kPowerCut, kSegmentChange, kJustBegun, kChangeUnderWay};
  journal::Destroy(j_);
  j_ = nullptr;
  journal::TOptions small;
  small.nSegmentBytes = 4096;  // 35 documents after the header and the reservation
  small.nCommitMs = 1;
  small.nSegments = 200;
  // Every child forked before this process starts a thread again: qemu-user's forked children of a
  // process whose threads came and went do not run.
  for (const int how : kCases) {
    const int last = how == kSegmentChange ? 63 : how == kJustBegun ? 30 : how == kChangeUnderWay ? 4000 : 5;
    const pid_t pid = fork();
    if (pid == 0) {
      const std::string dir = dir_ + "/case" + std::to_string(how);
      ThKestrinJournal j = journal::Init(dir.c_str(), "42", how >= kSegmentChange ? &small : nullptr);
      journal::TMyData& d = *static_cast<journal::TMyData*>(j);
      int g = 1;
      for (; g <= last; ++g) {
        journal::Append(j, reinterpret_cast<const unsigned char*>(GameFrame(g).data()), g * 1000LL, nullptr);
        if (g == 3 || (how == kSegmentChange && g > 53) || how == kChangeUnderWay) journal::WriteOut(j);
        if ((how == kSegmentChange && g == 53) || (how == kJustBegun && g == last)) journal::Sync(j, 5000);
        if (how != kChangeUnderWay) continue;
        std::unique_lock<std::mutex> lock(d.mutex);
        const std::int64_t nRoom = small.nSegmentBytes - d.segments.back().nSize;
        const bool bFits = nRoom >= static_cast<std::int64_t>(journal::kDocumentBytes);
        if (d.bWriting && !d.pending.empty() && bFits) break;
        lock.unlock();
        usleep(250);
      }
      if (how == kChangeUnderWay && g > last) journal::Sync(j, 5000);  // all in the file
      std::ofstream(dir + "/last") << std::min(g, last);
      raise(SIGKILL);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status));
  }
  for (const int how : kCases) {
    SCOPED_TRACE(how);
    journal::Destroy(j_);
    j_ = nullptr;
    fs::remove_all(dir_ + "/42");
    int last = 0;
    std::ifstream(dir_ + "/case" + std::to_string(how) + "/last") >> last;
    fs::rename(dir_ + "/case" + std::to_string(how) + "/42", dir_ + "/42");
    // What a power cut leaves: the records synced at Init, nothing written since.
    if (how == kPowerCut) fs::resize_file(Segments().back(), journal::kRecordHead * 2 + journal::kHeaderBody + 16);
    const int written = how == kPowerCut ? 0 : how == kKill ? 3 : last;
    const std::string before = Lines();
    Open(how >= kSegmentChange ? &small : nullptr);
    const journal::TState s = State();
    EXPECT_EQ(s.nSkippedFirst, how == kPowerCut ? 1u : static_cast<std::uint64_t>(written) + 1);
    EXPECT_GE(s.nSkippedLast, static_cast<std::uint64_t>(last));
    EXPECT_EQ(s.nNextSeq, s.nSkippedLast + 1);
    EXPECT_EQ(ReadAfter(0), Range(1, written));
    const std::string lines = Lines().substr(before.size());
    char captured[80];
    std::snprintf(captured, sizeof captured,
                  "its last document is seq %d, captured 1970-01-01T%02d:%02d:%02d.000Z;", written,
                  written / 3600, written / 60 % 60, written % 60);
    EXPECT_NE(lines.find(how == kPowerCut ? "was not closed cleanly (a crash, a kill or a power cut): it holds no document;"
                         : how == kKill   ? "its last document is seq 3, captured 1970-01-01T00:00:03.000Z; frames read "
                                            "after it may be lost, and seq 4 to "
                                          : captured),
              std::string::npos)
        << lines;
    Open(how >= kSegmentChange ? &small : nullptr);  // closed cleanly: nothing more is skipped
    EXPECT_EQ(State().nSkippedFirst, 0u);
    EXPECT_EQ(State().nNextSeq, s.nNextSeq);
  }
}

// One bridge per journal: a second is refused at once with a line naming the first's PID.
TEST_F(JournalTest, ASecondOpeningIsRefusedNamingTheFirst) {
  Open();
  EXPECT_EQ(journal::Init(dir_.c_str(), "42", nullptr), nullptr);
  EXPECT_NE(Lines().find("is in use by another bridge (PID " + std::to_string(getpid()) + ")"),
            std::string::npos);
  Open();  // closed first: opens again
}

TEST_F(JournalTest, ATornOrCorruptTailIsCutAtTheLastWholeRecord) {
  // How a power cut or a bad sector leaves the newest segment's last document (20); the room after it
  // is allocated, never written: zeros.
  struct Damage {
    const char* what;
    std::streamoff at;  // from the document's first byte
    std::string bytes;
    bool line;  // worth a line: something was there and is cut off
  };
  const std::vector<Damage> damages = {
      {"a write cut short", 44, std::string(30, '\0'), true},
      {"a byte changed", 60, "#", true},
      {"never written", 0, std::string(journal::kDocumentBytes + 24, '\0'), false},
  };
  // A new journal's segment: its header, the reservation, the documents, the reservation released.
  const std::streamoff last = 2 * journal::kRecordHead + journal::kHeaderBody + journal::kReserveBody +
                              19 * journal::kDocumentBytes;
  for (const Damage& damage : damages) {
    SCOPED_TRACE(damage.what);
    journal::Destroy(j_);
    j_ = nullptr;
    fs::remove_all(dir_ + "/42");
    Open();
    Append(1, 20);
    journal::Destroy(j_);
    j_ = nullptr;
    const std::vector<fs::path> files = Segments();
    ASSERT_EQ(files.size(), 1u);
    {
      std::fstream io(files[0], std::ios::in | std::ios::out | std::ios::binary);
      std::string record(journal::kDocumentBytes + journal::kRecordHead, '?');
      io.seekg(last);
      io.read(record.data(), static_cast<std::streamsize>(record.size()));
      journal::TFound f;
      ASSERT_TRUE(journal::Parse(reinterpret_cast<const unsigned char*>(record.data()), record.size(), &f));
      ASSERT_EQ(f.nType, journal::kTypeDocument);
      ASSERT_EQ(static_cast<unsigned char>(record[journal::kDocumentBytes + 6]), journal::kTypeReserve);
      io.seekp(last + damage.at);
      io.write(damage.bytes.data(), static_cast<std::streamsize>(damage.bytes.size()));
    }
    const std::string before = Lines();
    Open();
    // Its release lost with it: numbered on past the reservation, and read on past the cut.
    EXPECT_EQ(State().nSkippedFirst, 20u);
    EXPECT_EQ(State().nNextSeq, 1025u);
    EXPECT_EQ(State().nEpoch, 2u);
    Append(1025, 1026);
    std::vector<std::uint64_t> kept = Range(1, 19);
    kept.push_back(1025);
    kept.push_back(1026);
    EXPECT_EQ(ReadAfter(0), kept);
    const std::string lines = Lines().substr(before.size());
    EXPECT_EQ(lines.find("The journal of wheel 42 ended in a torn or corrupt record:") == 0, damage.line)
        << lines;
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), damage.line ? 2 : 1) << lines;
  }
  // A segment cut short as it began (no whole header): it goes, and the one before carries on.
  journal::Destroy(j_);
  j_ = nullptr;
  std::ofstream(dir_ + "/42/0000000002.journal") << "KJ";
  Open();
  EXPECT_EQ(State().nNextSeq, 1027u);
  EXPECT_EQ(State().nEpoch, 3u);
  EXPECT_EQ(Segments().size(), 1u);
}

// Each document's link in the wheel's chain is kept with it (a prevseq not below its seq is none); a
// document record of a journal written before the chain is read as one without a link, and the newest
// document is read back for the chain to go on from.
TEST_F(JournalTest, ALinkIsKeptAndAnUnchainedRecordOfAnOlderVersionStillReads) {
  Open();
  for (int g = 1; g <= 3; ++g) {
    journal::TLink link;
    link.nPrevSeq = g == 3 ? 7 : g - 1;
    std::memset(link.prevHash, g, sizeof link.prevHash);
    std::uint64_t seq = 0;
    journal::Append(j_, reinterpret_cast<const unsigned char*>(GameFrame(g).data()), g * 1000LL, &seq, &link);
    EXPECT_EQ(link.nPrevSeq, g == 3 ? 0u : g - 1u);
  }
  journal::Destroy(j_);
  j_ = nullptr;
  // Seq 4 as the version before wrote it, after the last whole record.
  std::fstream file(Segments().back(), std::ios::in | std::ios::out | std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(file)), {});
  std::size_t end = 0;
  for (journal::TFound f; journal::Parse(reinterpret_cast<const unsigned char*>(bytes.data()) + end,
                                         bytes.size() - end, &f);)
    end += f.nBytes;
  unsigned char record[journal::kRecordHead + journal::kUnchainedBody] = {0, 0, 0, 0, journal::kUnchainedBody, 0,
                                                                         journal::kTypeDocumentUnchained, 0};
  const std::uint64_t fields[] = {4, 1, 4000};
  for (int i = 0; i < 24; ++i) record[8 + i] = static_cast<unsigned char>(fields[i / 8] >> (8 * (i % 8)));
  std::memcpy(record + 32, GameFrame(4).data(), 42);
  const std::uint32_t crc = journal::Crc32c(record + 4, sizeof record - 4);
  std::memcpy(record, &crc, 4);  // little-endian, as the machines this runs on
  file.seekp(static_cast<std::streamoff>(end));
  file.write(reinterpret_cast<const char*>(record), sizeof record);
  file.close();
  Open();
  EXPECT_EQ(State().nNextSeq, 5u);
  journal::TRecord r[5];
  ASSERT_EQ(journal::Read(j_, 0, r, 5), 4);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(r[i].link.nPrevSeq, i == 1 ? 1u : 0u) << i;
    EXPECT_EQ(r[i].link.prevHash[31], i == 1 ? 2 : 0) << i;
  }
  ASSERT_TRUE(journal::ReadLast(j_, r));
  EXPECT_EQ(r[0].nSeq, 4u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(r[0].frame), 42), GameFrame(4));
}

TEST_F(JournalTest, AFullJournalsOldestSegmentGivesWayCounted) {
  // Four segments of 4 KiB: 35 documents each after the header.
  journal::TOptions small;
  small.nSegmentBytes = 4096;
  small.nSegments = 4;
  Open(&small);
  Append(1, 100);
  journal::Confirm(j_, 50);
  Append(101, 250);
  journal::TState s = State();
  EXPECT_EQ(Segments().size(), 4u);
  EXPECT_GT(s.nGivenWay, 0);
  EXPECT_EQ(s.nFirstSeq, static_cast<std::uint64_t>(s.nGivenWay) + 1);
  // Documents up to 50 were the site's already: only those after it count as lost.
  EXPECT_EQ(s.nGivenWayUnconfirmed, std::max(0L, s.nGivenWay - 50));
  EXPECT_LE(s.nBytes, 4 * 4096);
  EXPECT_EQ(ReadAfter(0), Range(s.nFirstSeq, 250));
  EXPECT_EQ(ReadAfter(s.nFirstSeq + 10), Range(s.nFirstSeq + 11, 250));
  const std::string lines = Lines();
  EXPECT_NE(lines.find("The journal of wheel 42 is full: its oldest 35 documents (seq 1 to 35) gave way, "
                       "0 of them not confirmed by the site\n"),
            std::string::npos)
      << lines;
  EXPECT_NE(lines.find("(seq 36 to 70) gave way, 20 of them not confirmed"), std::string::npos) << lines;
  // A segment nearly full is closed at a batch's end, so that writing out never waits for the next.
  EXPECT_NE(lines.find("(seq 71 to 100) gave way, 30 of them not confirmed"), std::string::npos) << lines;
  // The numbering, the epoch and the marks outlive the segments that held them.
  Open(&small);
  EXPECT_EQ(State().nNextSeq, 251u);
  EXPECT_EQ(State().nEpoch, 2u);
  EXPECT_EQ(State().nConfirmed, 50u);
  EXPECT_EQ(ReadAfter(0), Range(s.nFirstSeq, 250));
  EXPECT_EQ(Lines().find("does not check out"), std::string::npos);  // a segment's room is no fault
}

// A segment that cannot begin (a directory of its name) costs no document: the journal writes on in
// the newest, with one line, and begins the next once it can.
TEST_F(JournalTest, ASegmentThatCannotBeginCostsNoDocument) {
  journal::TOptions small;
  small.nSegmentBytes = 4096;
  Open(&small);
  const std::string blocked = dir_ + "/42/0000000002.journal";
  fs::create_directory(blocked);
  Append(1, 30);  // the segment nearly full: the next one is begun early, and cannot be
  fs::remove(blocked);
  Append(31, 100);
  EXPECT_EQ(State().nNotKept, 0);
  EXPECT_EQ(ReadAfter(0), Range(1, 100));
  EXPECT_NE(Lines().find("Cannot begin the next segment of the journal of wheel 42"), std::string::npos);
  small.nCommitMs = 1;
  Open(&small);
  for (int g = 101; g <= 400; ++g) {  // written out one by one while the writer changes segments
    journal::Append(j_, reinterpret_cast<const unsigned char*>(GameFrame(g).data()), g * 1000LL, nullptr);
    journal::WriteOut(j_);
    usleep(300);
  }
  ASSERT_TRUE(journal::Sync(j_, 5000));
  Open(&small);
  EXPECT_EQ(ReadAfter(0), Range(1, 400));
}

// Documents the site confirmed stay for the retention, counted in their capture times, then their
// segments go, uncounted; those it has not confirmed stay whatever their age.
TEST_F(JournalTest, ConfirmedDocumentsStayForTheRetention) {
  journal::TOptions o;
  o.nSegmentBytes = 4096;
  o.nSegments = 100;
  o.nRetentionMs = 100 * 1000;  // 100 games
  Open(&o);
  Append(1, 100);
  journal::Confirm(j_, 60);
  Append(101, 300);
  EXPECT_EQ(State().nFirstSeq, 36u);  // the first segment, 1 to 35, went; the second holds 61 to 70
  journal::Confirm(j_, 250);
  Append(301, 310);
  const journal::TState s = State();
  EXPECT_GT(s.nFirstSeq, 100u);
  EXPECT_LE(s.nFirstSeq, 211u);  // what began after 210 (the newest, 310, less 100) stays
  EXPECT_EQ(ReadAfter(0), Range(s.nFirstSeq, 310));
  EXPECT_EQ(s.nGivenWay, 0);
}

}  // namespace

namespace {

// The outbox reads the replay from the journal as it goes, gives history at most half the window, and
// lets the journal hear of a confirmed seq only once nothing of this start or the replay before it waits.
TEST_F(JournalTest, TheOutboxReplaysInOrderAndTheAcknowledgementWaitsForTheReplay) {
  Open();
  Append(1, 5);
  Open();  // the next start: 1 to 5 are history
  outbox::TOptions options;
  options.hJournal = j_;
  options.nWindow = 4;
  ThKestrinOutbox h = outbox::Init(options);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(outbox::Replay(h, 2), 5u);
  outbox::TDocument live;
  live.nSeq = live.nOrder = 6;
  std::memcpy(live.bytes, GameFrame(6).data(), sizeof live.bytes);
  ASSERT_EQ(outbox::AddLive(h, live, nullptr), outbox::kOk);
  const auto now = outbox::Clock::now();
  for (const std::uint64_t seq : {3, 4, 6}) {  // two of history fill its half: then the live one
    const outbox::TDocument* p = outbox::Next(h, now);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->nSeq, seq);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(p->bytes), 42), GameFrame(static_cast<int>(seq)));
    outbox::Started(h, seq, now);  // its seq as its publication's id
  }
  EXPECT_EQ(outbox::Next(h, now), nullptr);  // 5 waits for history's room
  outbox::TSettled settled;
  for (const auto& [id, ack] : {std::pair<std::uint64_t, std::uint64_t>{3, 3}, {4, 4}, {6, 0}}) {  // 6: 5 waits
    ASSERT_EQ(outbox::Settle(h, id, true, true, &settled), outbox::kOk);
    EXPECT_EQ(settled.nAcknowledge, ack) << id;
  }
  const outbox::TDocument* p = outbox::Next(h, now);
  ASSERT_NE(p, nullptr);
  EXPECT_TRUE(p->Replayed());
  outbox::Started(h, 5, now);
  ASSERT_EQ(outbox::Settle(h, 5, true, true, &settled), outbox::kOk);
  EXPECT_EQ(settled.nAcknowledge, 6u);  // 3 to 6 all confirmed
  outbox::Destroy(h);
}

}  // namespace
