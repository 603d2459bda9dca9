// The box's chain and its record of what was sent. The link of the next document (the newest's seq and
// hash) is the worker's alone; the record of what was sent is shared with the thread that checks the
// site's checkpoints, behind one mutex. Its day files are written as documents come, without a sync:
// a power cut may lose what the kernel had not written back yet (some 30 s), and a checkpoint of a document the box no longer knows is
// then not compared (never called different).
#include "kestrin_chain.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "kestrin_console.h"

namespace chain {
namespace {

constexpr std::size_t kEntry = 8 + kSentPrefix;

struct TChain {
  ThKestrinKey hKey = nullptr;
  ThKestrinJournal hJournal = nullptr;
  std::string wheel;
  std::string dir;  // DIRECTORY/WHEEL/sent
  std::uint64_t nEpoch = 0;
  char keyId[signature::kKeyIdSize] = {};
  journal::TLink next;  // the worker's: the link the next document gets
  // The worker's: the payloads rendered for the newest documents' hashes, which their publication
  // takes rather than render them again.
  std::deque<std::pair<std::uint64_t, std::string>> rendered;

  std::mutex mutex;  // guards what follows
  std::deque<std::pair<std::uint64_t, std::array<unsigned char, kSentPrefix>>> recent;
  int nFd = -1;           // today's file
  long nDay = -1;         // its day (days since 1970, UTC)
  bool bFailing = false;  // the last write failed: said once until one works again
  // The last seq looked for in the day files and what was found (bFound): a site that states the
  // same old N again, or one this box never sent, costs one reading of the files, not one a checkpoint.
  std::uint64_t nLookedFor = 0;
  bool bFound = false;
  std::array<unsigned char, kSentPrefix> found{};
  ~TChain() {
    if (nFd >= 0) close(nFd);
  }
};

TChain& ChainOf(ThKestrinChain h) { return *static_cast<TChain*>(h); }

std::string DayName(long nDay) {
  const std::time_t t = static_cast<std::time_t>(nDay) * 86400;
  std::tm tm{};
  gmtime_r(&t, &tm);
  char name[32];
  std::strftime(name, sizeof name, "%Y-%m-%d.sent", &tm);
  return name;
}

// The day files in dir, oldest first, by name (their dates sort so).
std::vector<std::string> DayFiles(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* pDir = opendir(dir.c_str())) {
    while (dirent* pEntry = readdir(pDir)) {
      const std::string name = pEntry->d_name;
      if (name.size() == 15 && name.compare(10, 5, ".sent") == 0) names.push_back(name);
    }
    closedir(pDir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Under the mutex: the file of nDay open, and the files older than kSentDays removed.
bool OpenDay(TChain& c, long nDay) {
  if (c.nFd >= 0 && c.nDay == nDay) return true;
  if (c.nFd >= 0) close(c.nFd);
  c.nDay = nDay;
  c.nFd = open((c.dir + "/" + DayName(nDay)).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
  const std::string oldest = DayName(nDay - kSentDays);
  for (const std::string& name : DayFiles(c.dir))
    if (name < oldest) unlink((c.dir + "/" + name).c_str());
  return c.nFd >= 0;
}

void Record(TChain& c, std::uint64_t nSeq, const unsigned char* pHash) {
  std::array<unsigned char, kSentPrefix> prefix;
  std::memcpy(prefix.data(), pHash, kSentPrefix);
  unsigned char entry[kEntry];
  for (int i = 0; i < 8; ++i) entry[i] = static_cast<unsigned char>(nSeq >> (56 - 8 * i));
  std::memcpy(entry + 8, pHash, kSentPrefix);
  const std::time_t now = std::time(nullptr);
  const long nDay = static_cast<long>(now / 86400);
  std::lock_guard<std::mutex> lock(c.mutex);
  c.recent.emplace_back(nSeq, prefix);
  if (c.recent.size() > kSentRecent) c.recent.pop_front();
  // Written at once into the page cache, as the journal writes each document: a kill loses none.
  const bool bOk = OpenDay(c, nDay) && write(c.nFd, entry, kEntry) == static_cast<ssize_t>(kEntry);
  if (!bOk && !c.bFailing)
    console::Warning("Cannot keep the hashes of wheel %s's documents in %s: %s\n", c.wheel.c_str(),
                     c.dir.c_str(), std::strerror(errno));
  c.bFailing = !bOk;
}

// M's fields of a document as published.
signature::TDocument Document(const char* pWheel, std::uint64_t nSeq, std::uint64_t nEpoch, const char* pCaptured,
                              const std::string& payload, const journal::TLink& link) {
  signature::TDocument d;
  d.pWheel = pWheel;
  d.nSeq = nSeq;
  d.nEpoch = nEpoch;
  d.pCaptured = pCaptured;
  d.nPrevSeq = link.nPrevSeq;
  d.pPrevHash = link.prevHash;
  d.pPayload = reinterpret_cast<const unsigned char*>(payload.data());
  d.nPayload = payload.size();
  return d;
}

// H of a document: the wheel's text and the payload (rendered into *pPayload) come from its frame.
bool HashOf(const frame::TStatus& status, std::uint64_t nSeq, std::uint64_t nEpoch,
            std::int64_t nCapturedMs, const journal::TLink& link, unsigned char* pHash, std::string* pPayload) {
  char wheel[16], captured[32];
  std::snprintf(wheel, sizeof wheel, "%i", status.nSerial);
  FormatCaptured(nCapturedMs, captured);
  *pPayload = frame::Document(status);
  return signature::Hash(Document(wheel, nSeq, nEpoch, captured, *pPayload, link), pHash) == signature::kOk;
}

constexpr std::size_t kRendered = 256;

}  // namespace

void FormatCaptured(std::int64_t nMs, char (&text)[32]) noexcept {
  const std::time_t t = static_cast<std::time_t>(nMs / 1000);
  std::tm tm{};
  gmtime_r(&t, &tm);
  const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
  std::snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(nMs % 1000));
}

ThKestrinChain Init(ThKestrinKey hKey, ThKestrinJournal hJournal, const char* pDirectory,
                    const char* pWheel) noexcept {
  if (hKey == nullptr || hJournal == nullptr || pDirectory == nullptr || pWheel == nullptr) return nullptr;
  try {
    auto pChain = std::make_unique<TChain>();
    TChain& c = *pChain;
    c.hKey = hKey;
    c.hJournal = hJournal;
    c.wheel = pWheel;
    c.dir = std::string(pDirectory) + "/" + pWheel + "/sent";
    if (mkdir(c.dir.c_str(), 0750) != 0 && errno != EEXIST) {
      console::Warning("Cannot make %s: %s\n", c.dir.c_str(), std::strerror(errno));
      return nullptr;
    }
    signature::KeyId(hKey, c.keyId, sizeof c.keyId);
    journal::TState state;
    journal::GetState(hJournal, &state);
    c.nEpoch = state.nEpoch;
    // The newest document journaled is where the chain goes on (after a power cut, the last synced).
    journal::TRecord last;
    if (journal::ReadLast(hJournal, &last)) {
      frame::TStatus status;
      frame::Decode(last.frame, &status);
      std::string payload;
      if (HashOf(status, last.nSeq, last.nEpoch, last.nCapturedMs, last.link, c.next.prevHash, &payload))
        c.next.nPrevSeq = last.nSeq;
    }
    return pChain.release();
  } catch (...) {
    return nullptr;
  }
}

void Destroy(ThKestrinChain hChain) noexcept { delete static_cast<TChain*>(hChain); }

int Append(ThKestrinChain hChain, const unsigned char* pFrame, const frame::TStatus& status,
           std::int64_t nCapturedMs, std::uint64_t* pSeq, journal::TLink* pLink) noexcept {
  if (hChain == nullptr || pFrame == nullptr || pSeq == nullptr || pLink == nullptr) return kBadArgument;
  TChain& c = ChainOf(hChain);
  try {
    *pLink = c.next;
    const int rc = journal::Append(c.hJournal, pFrame, nCapturedMs, pSeq, pLink);
    if (*pSeq == 0) return rc;  // not numbered
    unsigned char hash[signature::kHashLength];
    std::string payload;
    if (HashOf(status, *pSeq, c.nEpoch, nCapturedMs, *pLink, hash, &payload)) {
      c.next.nPrevSeq = *pSeq;
      std::memcpy(c.next.prevHash, hash, sizeof hash);
      Record(c, *pSeq, hash);
      if (c.rendered.size() >= kRendered) c.rendered.pop_front();
      c.rendered.emplace_back(*pSeq, std::move(payload));
    }
    return rc;
  } catch (...) {
    return kFailed;
  }
}

int Sign(ThKestrinChain hChain, int nSerial, std::uint64_t nSeq, std::uint64_t nEpoch, const char* pCaptured,
         const std::string& payload, const journal::TLink& link, TProperties* pProperties) noexcept {
  if (hChain == nullptr || pCaptured == nullptr || pProperties == nullptr) return kBadArgument;
  TChain& c = ChainOf(hChain);
  char wheel[16];
  std::snprintf(wheel, sizeof wheel, "%i", nSerial);
  unsigned char sig[signature::kSignatureLength];
  if (signature::SignDocument(c.hKey, Document(wheel, nSeq, nEpoch, pCaptured, payload, link), nullptr, sig) !=
      signature::kOk)
    return kFailed;
  signature::Base64Encode(sig, sizeof sig, pProperties->sig, sizeof pProperties->sig);
  pProperties->prev[0] = '\0';
  if (link.nPrevSeq != 0)
    signature::FormatPrev(link.nPrevSeq, link.prevHash, pProperties->prev, sizeof pProperties->prev);
  std::memcpy(pProperties->key, c.keyId, sizeof c.keyId);
  return kOk;
}

bool TakePayload(ThKestrinChain hChain, std::uint64_t nSeq, std::string* pPayload) noexcept {
  if (hChain == nullptr || pPayload == nullptr) return false;
  TChain& c = ChainOf(hChain);
  // Published in seq order as a rule: the ones before it will not be asked for again but after a failure.
  while (!c.rendered.empty() && c.rendered.front().first < nSeq) c.rendered.pop_front();
  if (c.rendered.empty() || c.rendered.front().first != nSeq) return false;
  pPayload->swap(c.rendered.front().second);
  c.rendered.pop_front();
  return true;
}

bool SentHash(ThKestrinChain hChain, std::uint64_t nSeq, unsigned char* pPrefix) noexcept {
  if (hChain == nullptr || pPrefix == nullptr || nSeq == 0) return false;
  TChain& c = ChainOf(hChain);
  try {
    std::string dir;
    {
      std::lock_guard<std::mutex> lock(c.mutex);
      for (auto it = c.recent.rbegin(); it != c.recent.rend(); ++it) {
        if (it->first != nSeq) continue;
        std::memcpy(pPrefix, it->second.data(), kSentPrefix);
        return true;
      }
      if (c.nLookedFor == nSeq) {
        std::memcpy(pPrefix, c.found.data(), kSentPrefix);
        return c.bFound;
      }
      dir = c.dir;
    }
    // Older: the day files, newest first, each read from its end.
    std::vector<std::string> names = DayFiles(dir);
    for (auto name = names.rbegin(); name != names.rend(); ++name) {
      std::FILE* pFile = std::fopen((dir + "/" + *name).c_str(), "rbe");
      if (pFile == nullptr) continue;
      std::vector<unsigned char> bytes;
      unsigned char block[1 << 16];
      for (std::size_t n; (n = std::fread(block, 1, sizeof block, pFile)) > 0;) bytes.insert(bytes.end(), block, block + n);
      std::fclose(pFile);
      for (std::size_t at = bytes.size() / kEntry * kEntry; at >= kEntry; at -= kEntry) {
        const unsigned char* p = bytes.data() + at - kEntry;
        std::uint64_t nFound = 0;
        for (int i = 0; i < 8; ++i) nFound = nFound << 8 | p[i];
        if (nFound != nSeq) continue;
        std::memcpy(pPrefix, p + 8, kSentPrefix);
        std::lock_guard<std::mutex> lock(c.mutex);
        c.nLookedFor = nSeq;
        c.bFound = true;
        std::memcpy(c.found.data(), p + 8, kSentPrefix);
        return true;
      }
    }
    std::lock_guard<std::mutex> lock(c.mutex);
    c.nLookedFor = nSeq;
    c.bFound = false;
    return false;
  } catch (...) {
    return false;
  }
}

}  // namespace chain
