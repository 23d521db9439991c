# Shared part of the cross toolchain files: Debian's cross compiler for
# COMM_CROSS_TRIPLE, its C library under /usr/<triple> as the only place
# libraries and packages are looked for, and qemu-user to run what is built,
# so that ctest runs the tests on the emulated CPU.
#
# Expects COMM_CROSS_TRIPLE (e.g. aarch64-linux-gnu) and COMM_CROSS_QEMU
# (e.g. qemu-aarch64) to be set by the file that includes this one.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${COMM_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${COMM_CROSS_TRIPLE}-g++)

set(comm_cross_root /usr/${COMM_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH ${comm_cross_root})
# Programs (qemu, nm) come from the build machine; libraries, headers and
# CMake packages only from the target's tree, never the build machine's.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(comm_cross_qemu_program ${COMM_CROSS_QEMU})
if(NOT comm_cross_qemu_program)
  message(FATAL_ERROR "${COMM_CROSS_QEMU} not found: install qemu-user (tools/cross-test.sh does)")
endif()
# -L: the target's dynamic loader and shared libraries.
set(CMAKE_CROSSCOMPILING_EMULATOR ${comm_cross_qemu_program} -L ${comm_cross_root})
