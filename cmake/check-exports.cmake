# Checks a shared libcomm: its SONAME carries the major version and it exports
# exactly the functions listed in comm.exports, nothing else; built with
# COMM_SHORT_NAMES off (-DSHORT_NAMES=OFF), exactly the comm_ ones among them.
#   cmake -DLIBRARY=path/libcomm.so -DMAJOR=0 [-DSHORT_NAMES=OFF] [-DNM=nm] [-DREADELF=readelf]
#         -P check-exports.cmake
if(NOT NM)
  set(NM nm)
endif()
if(NOT READELF)
  set(READELF readelf)
endif()

execute_process(COMMAND ${READELF} -d ${LIBRARY} OUTPUT_VARIABLE dynamic COMMAND_ERROR_IS_FATAL ANY)
if(NOT dynamic MATCHES "Library soname: \\[libcomm\\.so\\.${MAJOR}\\]")
  message(FATAL_ERROR "${LIBRARY}: SONAME is not libcomm.so.${MAJOR}:\n${dynamic}")
endif()

execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY} OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL "[^ \n]+\n" names "${symbols}")
list(TRANSFORM names STRIP)
list(SORT names)
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/comm.exports expected)
if(DEFINED SHORT_NAMES AND NOT SHORT_NAMES)
  list(FILTER expected INCLUDE REGEX "^comm_")
endif()
list(SORT expected)
if(NOT names STREQUAL expected)
  message(FATAL_ERROR "${LIBRARY} exports\n  ${names}\ninstead of\n  ${expected}")
endif()
message(STATUS "${LIBRARY}: SONAME libcomm.so.${MAJOR}, exports ${expected}")
