# What a Windows user downloads (scripts/release.sh): tarvex-VERSION-win64.zip, one folder holding
# the programs and README.txt, a guide with Windows' line ends. Each program carries the version
# information that Explorer shows in its Properties.
#
# The programs: Tarvex, and the tools beside it when they are part of this build.
set(TARVEX_PROGRAMS Tarvex tarvex-log)
tarvex_version_resource(tarvex-log "Tarvex log converter: CSV and HTML report")
if(TARGET tarvex-port)
  tarvex_version_resource(tarvex-port "Tarvex adapter and port check")
  list(APPEND TARVEX_PROGRAMS tarvex-port)
endif()
install(TARGETS ${TARVEX_PROGRAMS} RUNTIME DESTINATION .)
# Their files, one a line, for the checks that a build made them all (tests/windows_build).
list(TRANSFORM TARVEX_PROGRAMS REPLACE "(.+)" "$<TARGET_FILE:\\1>" OUTPUT_VARIABLE files)
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/programs.txt CONTENT "$<JOIN:${files},\n>\n")

# The guide: the part of README.md written for Windows users, as plain text. Python makes it; a
# build without Python (MSYS2 needs none for the programs) makes no package guide.
find_package(Python3 COMPONENTS Interpreter)
if(Python3_Interpreter_FOUND)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/README.txt
    COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/scripts/guide_text.py
      ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_BINARY_DIR}/README.txt
    DEPENDS ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/scripts/guide_text.py
    COMMENT "The Windows guide, README.txt")
  add_custom_target(tarvex_guide ALL DEPENDS ${CMAKE_BINARY_DIR}/README.txt)
  install(FILES ${CMAKE_BINARY_DIR}/README.txt DESTINATION .)
else()
  message(STATUS "Python 3 not found: the package will hold no README.txt")
endif()

# CPack's ZIP, written by CMake's own archive library: one top folder named as the zip.
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME tarvex)
set(CPACK_PACKAGE_VENDOR Tarvex)
set(CPACK_PACKAGE_VERSION ${TARVEX_VERSION})
set(CPACK_PACKAGE_FILE_NAME tarvex-${TARVEX_VERSION}-win64)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON) # no symbol tables in what users download
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
