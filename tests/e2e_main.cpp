// Each end-to-end test process gets a network namespace of its own, so its broker on port 1883 clashes
// with nothing on the machine nor with the other tests running beside it.
#include <gtest/gtest.h>
#include <sched.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (unshare(CLONE_NEWNET) != 0) {
    std::fprintf(stderr, "unshare(CLONE_NEWNET): %s (the end-to-end tests need root)\n", std::strerror(errno));
    return 1;
  }
  if (std::system("ip link set lo up") != 0) return 1;
  return RUN_ALL_TESTS();
}
