# The version set at the top of CMakeLists.txt, carried into the programs: the About box's text
# through a generated header, and each .exe's version information through a resource script made
# per program from version.rc.in. Explorer shows that information in a file's Properties.

configure_file(${CMAKE_CURRENT_LIST_DIR}/tarvex_version.h.in
  ${CMAKE_BINARY_DIR}/generated/tarvex_version.h @ONLY)
# windres has no dependency scanning: the resource scripts that include the header name it.
set(TARVEX_VERSION_HEADER ${CMAKE_BINARY_DIR}/generated/tarvex_version.h)
set(CMAKE_RC_FLAGS "${CMAKE_RC_FLAGS} -I${CMAKE_BINARY_DIR}/generated")

# Gives the program TARGET version information: DESCRIPTION is what Explorer shows as its file
# description. Call it once per program, in the directory that includes this file.
function(tarvex_version_resource TARGET DESCRIPTION)
  get_target_property(name ${TARGET} OUTPUT_NAME)
  if(NOT name)
    set(name ${TARGET})
  endif()
  set(TARVEX_RC_NAME ${name})
  set(TARVEX_RC_FILE ${name}${CMAKE_EXECUTABLE_SUFFIX})
  set(TARVEX_RC_DESCRIPTION "${DESCRIPTION}")
  set(rc ${CMAKE_BINARY_DIR}/generated/${TARGET}_version.rc)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  target_sources(${TARGET} PRIVATE ${rc})
endfunction()
