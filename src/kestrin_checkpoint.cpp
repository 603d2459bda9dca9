// Checks and keeps the site's checkpoints. A checkpoint is held to two things: the hash this box kept
// for document N (a site that rewrote a chain), and the newest checkpoint the box accepted before (a
// site that dropped a tail or a wheel states a smaller N than it signed before). Files are written
// whole under a temporary name and renamed, so a power cut leaves the old one or the new one.
#include "kestrin_checkpoint.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "kestrin_console.h"
#include "kestrin_health.h"

namespace checkpoint {
namespace {

struct TKeeper {
  ThKestrinKey hSiteKey = nullptr;
  ThKestrinChain hChain = nullptr;
  std::string wheel, dir, topic;
  bool bHeld = false;  // newest holds the newest accepted
  signature::TCheckpoint newest;
  std::string newestText;
  std::string said;  // the last checkpoint that differed, so that a copy sent again is not told again
};

std::string Day(std::int64_t nMs) {
  const std::time_t t = static_cast<std::time_t>(nMs / 1000);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char name[32];
  std::strftime(name, sizeof name, "%Y-%m-%d", &tm);
  return name;
}

bool WriteWhole(const std::string& path, const std::string& text, bool bSync) {
  const std::string temporary = path + ".new";
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
  if (fd < 0) return false;
  const bool bOk = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                   (!bSync || fdatasync(fd) == 0);
  close(fd);
  return bOk && rename(temporary.c_str(), path.c_str()) == 0;
}

// The day files beyond kKeptDays give way.
void Prune(const std::string& dir, std::int64_t nNowMs) {
  const std::string oldest = Day(nNowMs - std::int64_t{kKeptDays} * 86400 * 1000) + ".note";
  if (DIR* pDir = opendir(dir.c_str())) {
    std::vector<std::string> gone;
    while (dirent* pEntry = readdir(pDir)) {
      const std::string name = pEntry->d_name;
      if (name.size() == 15 && name.compare(10, 5, ".note") == 0 && name[0] >= '0' && name[0] <= '9' &&
          name < oldest)
        gone.push_back(name);
    }
    closedir(pDir);
    for (const std::string& name : gone) unlink((dir + "/" + name).c_str());
  }
}

std::int64_t NowMs() { return static_cast<std::int64_t>(std::time(nullptr)) * 1000; }

}  // namespace

ThKestrinCheckpoints Init(ThKestrinKey hSiteKey, ThKestrinChain hChain, const char* pDirectory,
                          const char* pWheel, const char* pTopic) noexcept {
  if (hSiteKey == nullptr || hChain == nullptr || pDirectory == nullptr || pWheel == nullptr || pTopic == nullptr)
    return nullptr;
  try {
    auto pKeeper = std::make_unique<TKeeper>();
    TKeeper& k = *pKeeper;
    k.hSiteKey = hSiteKey;
    k.hChain = hChain;
    k.wheel = pWheel;
    k.topic = pTopic;
    k.dir = std::string(pDirectory) + "/" + pWheel + "/checkpoints";
    if (mkdir(k.dir.c_str(), 0750) != 0 && errno != EEXIST) {
      console::Warning("Cannot make %s: %s\n", k.dir.c_str(), std::strerror(errno));
      return nullptr;
    }
    std::ifstream in(k.dir + "/newest.note", std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    k.newestText = text.str();
    std::size_t nBody = 0;
    if (signature::VerifyNote(hSiteKey, k.newestText.data(), k.newestText.size(), &nBody) == signature::kOk &&
        signature::ParseCheckpoint(k.newestText.data(), nBody, &k.newest) == signature::kOk) {
      k.bHeld = true;
      health::SetCheckpoint(k.newest.nSize);
    }
    return pKeeper.release();
  } catch (...) {
    return nullptr;
  }
}

void Destroy(ThKestrinCheckpoints hCheckpoints) noexcept { delete static_cast<TKeeper*>(hCheckpoints); }

int Take(ThKestrinCheckpoints hCheckpoints, const char* pNote, std::size_t nNote) noexcept {
  if (hCheckpoints == nullptr || pNote == nullptr) return kBadArgument;
  TKeeper& k = *static_cast<TKeeper*>(hCheckpoints);
  try {
    const std::string text(pNote, nNote);
    if (k.bHeld && text == k.newestText) return kAlreadyHeld;
    std::size_t nBody = 0;
    const int rc = signature::VerifyNote(k.hSiteKey, pNote, nNote, &nBody);
    if (rc != signature::kOk) {
      console::Warning("A checkpoint on %s %s: not accepted\n", k.topic.c_str(),
                       rc == signature::kBadSignature ? "whose signature does not verify with the site's key"
                                                      : "that is not a signed note");
      return kNotAccepted;
    }
    signature::TCheckpoint c;
    const std::string origin = "/kestrin-ledger/wheel/" + k.wheel;
    if (signature::ParseCheckpoint(pNote, nBody, &c) != signature::kOk ||
        std::strlen(c.origin) <= origin.size() ||
        std::strcmp(c.origin + std::strlen(c.origin) - origin.size(), origin.c_str()) != 0) {
      console::Warning("A checkpoint on %s that is not one of wheel %s: not accepted\n", k.topic.c_str(),
                       k.wheel.c_str());
      return kNotAccepted;
    }
    if (k.bHeld && c.nTimeMs < k.newest.nTimeMs) return kAlreadyHeld;

    // The seq where the site's record differs from what was sent; 0: none found.
    std::uint64_t nDiffers = 0;
    unsigned char sent[chain::kSentPrefix];
    if (k.bHeld && c.nSize < k.newest.nSize)
      nDiffers = k.newest.nSize;  // it no longer states what it signed before
    else if (c.nSize > 0 && chain::SentHash(k.hChain, c.nSize, sent) &&
             std::memcmp(sent, c.hash, chain::kSentPrefix) != 0)
      nDiffers = c.nSize;
    if (nDiffers != 0) {
      char line[128];
      std::snprintf(line, sizeof line, "the site's record of wheel %s at seq %" PRIu64
                    " differs from what this box sent", k.wheel.c_str(), nDiffers);
      WriteWhole(k.dir + "/differs-" + std::to_string(c.nTimeMs) + ".note", text, true);
      if (k.said != text) console::Warning("%s\n", line);
      k.said = text;
      health::SetSiteDiffers(line);
      return kDiffers;
    }
    // Accepted: the newest, and the first of its day.
    const std::string day = k.dir + "/" + Day(NowMs()) + ".note";
    struct stat st {};
    if (stat(day.c_str(), &st) != 0) {
      WriteWhole(day, text, true);
      Prune(k.dir, NowMs());
    }
    if (!WriteWhole(k.dir + "/newest.note", text, false))
      console::Warning("Cannot keep the site's checkpoint in %s: %s\n", k.dir.c_str(), std::strerror(errno));
    k.newest = c;
    k.newestText = text;
    k.bHeld = true;
    health::SetCheckpoint(c.nSize);
    return kAccepted;
  } catch (...) {
    return kBadArgument;
  }
}

}  // namespace checkpoint
