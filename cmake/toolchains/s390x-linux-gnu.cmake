# IBM Z (64-bit, big-endian), run under qemu-s390x:
#   cmake -S . -B build-s390x --toolchain cmake/toolchains/s390x-linux-gnu.cmake
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(COMM_CROSS_TRIPLE s390x-linux-gnu)
set(COMM_CROSS_QEMU qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-gnu-cross.cmake)
