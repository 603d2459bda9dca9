// Each end-to-end test process gets a network namespace of its own, so its broker on port 1883 clashes
// with nothing on the machine nor with the other tests running beside it; and pseudo-terminals of its
// own (a private devpts instance), so that no other program on the machine (another bridge waiting
// for /dev/pts/N to appear) opens or locks the ones its tests make. Each test's service entry keeps its
// journals in a directory of the test's own.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

class JournalDirectories : public testing::EmptyTestEventListener {
  void OnTestStart(const testing::TestInfo&) override {
    char dir[] = "/tmp/kestrin-journal-XXXXXX";
    if (mkdtemp(dir) != nullptr) dir_ = dir, setenv("KESTRIN_JOURNAL_DIRECTORY", dir, 1);
  }
  void OnTestEnd(const testing::TestInfo&) override {
    if (!dir_.empty() && std::system(("rm -rf " + dir_).c_str()) != 0) std::perror(dir_.c_str());
    dir_.clear();
  }
  std::string dir_;
};

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (unshare(CLONE_NEWNET) != 0) {
    std::fprintf(stderr, "unshare(CLONE_NEWNET): %s (the end-to-end tests need root)\n", std::strerror(errno));
    return 1;
  }
  if (std::system("ip link set lo up") != 0) return 1;
  if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("devpts", "/dev/pts", "devpts", 0, "newinstance,ptmxmode=0666,mode=0620") != 0 ||
      mount("/dev/pts/ptmx", "/dev/ptmx", nullptr, MS_BIND, nullptr) != 0) {
    std::fprintf(stderr, "private pseudo-terminals: %s\n", std::strerror(errno));
    return 1;
  }
  testing::UnitTest::GetInstance()->listeners().Append(new JournalDirectories);
  return RUN_ALL_TESTS();
}
