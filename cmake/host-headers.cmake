# The comm tool's libraries in a cross build, taken from the build machine's
# headers. The target's tree has no copies of them, but CLI11 and nlohmann-json
# are headers alone and fmt compiles into its user with FMT_HEADER_ONLY, and
# none of the three depends on the CPU: the build machine's Debian headers
# serve any target.
#
# They are reached through a folder of links to those three folders only: the
# build machine's /usr/include itself on the include path would put its own C
# library's headers ahead of the target's.

# Defines the interface target `target` for the header folder /usr/include/`folder`,
# with the compile definitions that follow, unless the target exists already or
# the folder does not.
function(comm_host_header_library target folder)
  if(TARGET ${target} OR NOT IS_DIRECTORY /usr/include/${folder})
    return()
  endif()
  set(links ${PROJECT_BINARY_DIR}/host-headers)
  file(MAKE_DIRECTORY ${links})
  file(CREATE_LINK /usr/include/${folder} ${links}/${folder} SYMBOLIC)
  add_library(${target} INTERFACE IMPORTED GLOBAL)
  set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${links}
                                             INTERFACE_COMPILE_DEFINITIONS "${ARGN}")
endfunction()

comm_host_header_library(CLI11::CLI11 CLI)
comm_host_header_library(nlohmann_json::nlohmann_json nlohmann)
comm_host_header_library(fmt::fmt fmt FMT_HEADER_ONLY=1)
