# Cross-compiling on a Debian machine with the armhf multiarch -dev packages and g++-arm-linux-gnueabihf:
#   cmake -S . -B build-arm -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
# The tests and the programs they start run under qemu-user, named here rather than registered with
# binfmt_misc, which would change how the whole machine runs foreign programs. Its libraries are the
# multiarch ones under / that the programs were linked with: the cross toolchain's own C library under
# /usr/<triplet> can lag behind them, and a program mixing the two hangs in its first thread.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /)
