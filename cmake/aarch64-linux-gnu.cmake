# Cross-compiling on a Debian machine with the arm64 multiarch -dev packages and g++-aarch64-linux-gnu:
#   cmake -S . -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
# The tests and the programs they start run under qemu-user, named here rather than registered with
# binfmt_misc, which would change how the whole machine runs foreign programs. Its libraries are the
# multiarch ones under / that the programs were linked with: the cross toolchain's own C library under
# /usr/<triplet> can lag behind them, and a program mixing the two hangs in its first thread.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /)
