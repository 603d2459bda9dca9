// The ledger's verbs besides run: each works on the database (read-only, beside a running ledger) or
// on an exported file, prints to standard output and returns the process's exit status.
#pragma once

#include <cstdint>
#include <string>

#include "ledger_store.h"

namespace ledger {

constexpr int kExitOk = 0;
constexpr int kExitFound = 1;  // verify: a record does not match; stats: the wheel is flagged
constexpr int kExitError = 2;  // a wrong command line, a database or file that cannot be read

// Walks the chain of one wheel (wheel >= 0) or of all, checks each document's signature with the keys
// file and its link to the document at its prevseq, and holds the database to the newest checkpoint
// of each wheel in the checkpoint file (its signatures checked with the vkey in the file siteKey, when
// one is given). A keys or checkpoint file that is not there is not checked against, and said so.
int Verify(const std::string& database, int wheel, const std::string& keys = "", const std::string& checkpoints = "",
           const std::string& siteKey = "");
// Checks an exported file (CSV or JSON) with nothing but the file.
int VerifyFile(const std::string& path);
int Export(const std::string& database, int wheel, const TRange& range, bool json);
int Gaps(const std::string& database, int wheel);

// What a look-up or a bundle covers: a seq range, a period by arrival or by capture, a game, or the
// documents around a seq or a capture time.
struct TSelection {
  enum EBy { kBySeq, kByArrival, kByCapture, kByGame, kAroundSeq, kAroundTime } by = kBySeq;
  std::uint64_t fromSeq = 1, toSeq = UINT64_MAX;  // kBySeq; kAroundSeq: fromSeq
  std::int64_t fromMs = INT64_MIN, toMs = INT64_MAX;  // kByArrival, kByCapture
  int game = -1;                                       // kByGame
  std::int64_t atMs = INT64_MIN;  // kAroundTime; kByGame: the occurrence nearest it (game ids repeat)
  int around = 0;                 // kAroundSeq, kAroundTime: documents each side
};
TSelection SelectionOf(const TRange& range);
// Where the look-ups find the boxes' keys, the checkpoint file and the site's verifier key; a file
// that is not there is not used, and the verb says what it could therefore not check.
struct TSources {
  std::string keys, checkpoints, siteKey;
};
// show: the documents decoded, with their verdicts (ledger_show.cpp).
int Show(const std::string& database, std::uint32_t wheel, const TSelection& selection, const TSources& sources);
// audit: a period by capture time, one wheel (wheel >= 0) or all (ledger_audit.cpp).
int Audit(const std::string& database, int wheel, std::int64_t fromMs, std::int64_t toMs, bool json,
          const TSources& sources);
// The bundle (ledger_bundle.cpp): one JSON file with what a third party needs to check the records;
// to output, or standard output when it is empty.
int ExportBundle(const std::string& database, std::uint32_t wheel, const TSelection& selection,
                 const std::string& output, const TSources& sources = TSources());
int VerifyBundle(const std::string& path);
int Stats(const std::string& database, int wheel, int games);

// How an export writes a record's captured text: as it is when it is printable ASCII, else "hex:"
// and its bytes in hex; and back.
std::string EncodeText(const std::string& bytes);
bool DecodeText(const std::string& text, std::string* pBytes);
std::string Hex(const std::string& bytes);
bool FromHex(const std::string& hex, std::string* pBytes);

}  // namespace ledger
