# liblz4 (Debian: liblz4-dev): the peer that the benchmark and `comm stat` set
# beside comm's methods. Looked for once; the library itself never needs it.
include_guard(GLOBAL)

find_path(COMM_LZ4_INCLUDE_DIR lz4.h)
find_library(COMM_LZ4_LIBRARY lz4)
if(COMM_LZ4_INCLUDE_DIR AND COMM_LZ4_LIBRARY)
  set(COMM_LZ4_FOUND TRUE)
else()
  set(COMM_LZ4_FOUND FALSE)
endif()

# comm_use_lz4(<target> <macro> [PUBLIC]): where liblz4 is found, <target>
# compiles against lz4.h, links liblz4 and sees <macro> as 1; elsewhere <macro>
# is 0. PUBLIC passes all three on to the targets that link <target>.
function(comm_use_lz4 target macro)
  set(scope PRIVATE)
  if(ARGV2 STREQUAL "PUBLIC")
    set(scope PUBLIC)
  endif()
  if(COMM_LZ4_FOUND)
    target_include_directories(${target} SYSTEM ${scope} ${COMM_LZ4_INCLUDE_DIR})
    target_link_libraries(${target} ${scope} ${COMM_LZ4_LIBRARY})
    target_compile_definitions(${target} ${scope} ${macro}=1)
  else()
    target_compile_definitions(${target} ${scope} ${macro}=0)
  endif()
endfunction()
