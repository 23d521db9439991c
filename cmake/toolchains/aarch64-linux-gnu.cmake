# 64-bit ARM (little-endian), run under qemu-aarch64:
#   cmake -S . -B build-aarch64 --toolchain cmake/toolchains/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(COMM_CROSS_TRIPLE aarch64-linux-gnu)
set(COMM_CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-gnu-cross.cmake)
