// What the journal writes to the disk: appends a wheel's documents at a given rate (or as fast as it
// takes them) for a given time and prints the bytes this process had written to the storage
// (/proc/self/io write_bytes: each page the journal dirties, counted when it is dirtied again after a
// sync) per document and per day, and the syncs per second.
//
//   journal_wear [--rate FRAMES_PER_S | --flood] [--seconds N] [--dir DIRECTORY]
//   journal_wear --retention-days D [--rate FRAMES_PER_S] [--dir DIRECTORY]
//
// The second form prints what the journal holds on the disk with the retention of D days at that rate:
// it numbers D + 2 days of documents as fast as the disk takes them, their capture times 1/RATE apart,
// with a batch, its marks (the box's broker acknowledging, the site confirming a second behind) and its
// sync every 0.75 s of those times, as the service entry does (on a tmpfs it runs in seconds: the bytes
// are the same).
//
// The directory (a fresh one under /var/tmp by default, removed at the end) must be on the disk to be
// measured, not on a tmpfs. Beside it, the sectors written to the directory's block device in the same
// time (/sys/dev/block/MAJOR:MINOR/stat), which include the file system's own journal and metadata but
// also every other writer on that device: on a device of its own (a loop device with a file system
// made for the run) it is what the journal costs the storage in all.
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "kestrin_journal.h"

namespace {

long long IoField(const char* pName) {
  std::ifstream in("/proc/self/io");
  std::string key;
  long long value = 0;
  while (in >> key >> value)
    if (key == std::string(pName) + ":") return value;
  return -1;
}

// Sectors (512 bytes) written to the block device that holds path; -1 when it cannot tell.
long long DeviceSectors(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return -1;
  std::ifstream in("/sys/dev/block/" + std::to_string(major(st.st_dev)) + ":" +
                   std::to_string(minor(st.st_dev)) + "/stat");
  long long field[7] = {};
  for (long long& f : field)
    if (!(in >> f)) return -1;
  return field[6];
}

int Usage() {
  std::fprintf(stderr,
               "usage: journal_wear [--rate FRAMES_PER_S | --flood] [--seconds N] [--dir DIRECTORY]\n");
  return 2;
}

}  // namespace

// The --retention-days form.
int Retention(const std::string& dir, double rate, double days) {
  journal::TOptions options;
  options.nRetentionMs = static_cast<std::int64_t>(days * 86400e3);
  ThKestrinJournal j = journal::Init(dir.c_str(), "42", &options);
  if (j == nullptr) return 1;
  const char* frame = "*000004 2;  ;0100;1;0000;0;00;0123;0000;\r\n";
  const long long total = static_cast<long long>((days + 2) * 86400 * rate);
  const long long batch = std::max(1LL, static_cast<long long>(rate * 0.75 + 0.5));
  const std::int64_t t0 = 1796688000000;  // 2026-12-09T00:00:00Z
  std::uint64_t seq = 0;
  for (long long i = 0; i < total; ++i) {
    journal::Append(j, reinterpret_cast<const unsigned char*>(frame),
                    t0 + static_cast<std::int64_t>(static_cast<double>(i) * 1000 / rate), &seq);
    if ((i + 1) % batch == 0) {
      journal::Acknowledge(j, seq);
      if (seq > rate) journal::Confirm(j, seq - static_cast<std::uint64_t>(rate));
      journal::Sync(j, 10000);
    }
  }
  journal::Sync(j, 10000);
  journal::TState s;
  journal::GetState(j, &s);
  journal::Destroy(j);
  std::uintmax_t files = 0;
  int segments = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir + "/42"))
    if (e.path().extension() == ".journal") files += e.file_size(), ++segments;
  const double held_days = static_cast<double>(seq - s.nFirstSeq + 1) / rate / 86400;
  std::printf("journal_wear: %lld documents at %.1f frames/s (%.1f days), retention %.1f days, budget %d "
              "segments of %lld MiB\n",
              total, rate, days + 2, days, options.nSegments, static_cast<long long>(options.nSegmentBytes >> 20));
  std::printf("held: seq %llu to %llu, %.2f days; records %.1f MB; files %d segments, %.1f MB (%.1f MiB) on the "
              "disk; %ld gave way to the budget\n",
              static_cast<unsigned long long>(s.nFirstSeq), static_cast<unsigned long long>(seq), held_days,
              static_cast<double>(s.nBytes) / 1e6, segments, static_cast<double>(files) / 1e6,
              static_cast<double>(files) / 1048576, s.nGivenWay);
  return 0;
}

int main(int argc, char** argv) {
  double rate = 5;
  bool flood = false;
  double seconds = 60;
  std::string dir;
  double retention_days = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--flood") {
      flood = true;
    } else if (i + 1 < argc && arg == "--rate") {
      rate = std::atof(argv[++i]);
    } else if (i + 1 < argc && arg == "--seconds") {
      seconds = std::atof(argv[++i]);
    } else if (i + 1 < argc && arg == "--retention-days") {
      retention_days = std::atof(argv[++i]);
    } else if (i + 1 < argc && arg == "--dir") {
      dir = argv[++i];
    } else {
      return Usage();
    }
  }
  if ((!flood && rate <= 0) || seconds <= 0 || retention_days < 0) return Usage();
  bool made = false;
  if (dir.empty()) {
    char tmpl[] = "/var/tmp/kestrin-journal-wear-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return std::perror("mkdtemp"), 1;
    dir = tmpl;
    made = true;
  }
  struct statfs fs {};
  if (statfs(dir.c_str(), &fs) == 0 && fs.f_type == 0x01021994)  // TMPFS_MAGIC
    std::fprintf(stderr, "journal_wear: %s is on a tmpfs: nothing reaches a disk\n", dir.c_str());

  if (retention_days > 0) {
    const int status = Retention(dir, rate, retention_days);
    if (made) std::filesystem::remove_all(dir);
    return status;
  }
  ThKestrinJournal j = journal::Init(dir.c_str(), "42", nullptr);
  if (j == nullptr) return 1;
  // A well-formed frame; its bytes do not matter to the disk.
  const char* frame = "*000004 2;  ;0100;1;0000;0;00;0123;0000;\r\n";
  const long long written0 = IoField("write_bytes"), cancelled0 = IoField("cancelled_write_bytes");
  const long long sectors0 = DeviceSectors(dir);
  journal::TState s0;
  journal::GetState(j, &s0);
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  const auto end = start + std::chrono::duration<double>(seconds);
  const auto period = std::chrono::duration<double>(flood ? 0 : 1 / rate);
  long long frames = 0, refused = 0;
  for (auto next = start; Clock::now() < end; ++frames) {
    if (journal::Append(j, reinterpret_cast<const unsigned char*>(frame), 0, nullptr) != journal::kOk)
      ++refused;
    if (!flood) {
      next += std::chrono::duration_cast<Clock::duration>(period);
      std::this_thread::sleep_until(next);
    }
  }
  journal::Sync(j, 10000);
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  journal::TState s;
  journal::GetState(j, &s);
  const long long written = IoField("write_bytes") - written0;
  const long long cancelled = IoField("cancelled_write_bytes") - cancelled0;
  const long long device = sectors0 < 0 ? -1 : (DeviceSectors(dir) - sectors0) * 512;
  journal::Destroy(j);
  if (made) std::filesystem::remove_all(dir);

  const long long kept = frames - refused;
  const double per_frame = kept > 0 ? static_cast<double>(written) / static_cast<double>(kept) : 0;
  std::printf(
      "journal_wear: %lld documents in %.1f s (%.1f/s) in %s; kept %lld (%.1f/s), %lld not kept "
      "(the buffer full)\n",
      frames, elapsed, static_cast<double>(frames) / elapsed, dir.c_str(), kept,
      static_cast<double>(kept) / elapsed, refused);
  std::printf(
      "written to the disk: %lld bytes (%lld cancelled), %.1f bytes per document kept, %.1f MB per "
      "day at this rate\n",
      written, cancelled, per_frame, static_cast<double>(written) / elapsed * 86400 / 1e6);
  if (device >= 0 && kept > 0)
    std::printf(
        "written to its block device meanwhile (every writer): %lld bytes, %.1f per document kept, "
        "%.1f MB per day at this rate\n",
        device, static_cast<double>(device) / static_cast<double>(kept),
        static_cast<double>(device) / elapsed * 86400 / 1e6);
  std::printf("syncs: %ld, %.2f per second, the longest write and sync %ld ms; records: %zu bytes each\n",
              s.nSyncs - s0.nSyncs, static_cast<double>(s.nSyncs - s0.nSyncs) / elapsed, s.nLongestCommitMs,
              static_cast<std::size_t>(74));
  return 0;
}
