# Tarvex.exe: the Win32 shell around the portable core, with its resources.
enable_language(RC)
set(CMAKE_RC_FLAGS "${CMAKE_RC_FLAGS} -I${CMAKE_SOURCE_DIR}/res -I${CMAKE_SOURCE_DIR}")
include(${CMAKE_CURRENT_LIST_DIR}/version.cmake)

# The Win32 side of the seam, which needs nothing of the core. Its file calls stand alone, so that
# a test can run the log on real files under Wine.
add_library(tarvex_os_win_files STATIC platform/os_files_win.cpp)
target_include_directories(tarvex_os_win_files PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(tarvex_os_win_files PUBLIC tarvex_warnings)
add_library(tarvex_os_win STATIC
  platform/os_draw_win.cpp
  platform/os_serial_win.cpp
  platform/os_thread_win.cpp
  platform/os_ui_win.cpp
  platform/os_wait_win.cpp
)
# winmm: the timer resolution that an attempt raises.
target_link_libraries(tarvex_os_win PUBLIC tarvex_os_win_files winmm)

add_executable(Tarvex WIN32
  app/main_window_win.cpp
  app/menu_win.cpp
  display/buttons_win.cpp
  res/tarvex.rc
)
set_source_files_properties(res/tarvex.rc PROPERTIES OBJECT_DEPENDS ${TARVEX_VERSION_HEADER})
tarvex_version_resource(Tarvex "Tarvex live K-line data logger")
target_compile_definitions(Tarvex PRIVATE UNICODE _UNICODE)
target_link_options(Tarvex PRIVATE -municode)
# The core first: the seam below it resolves what the core asks of the system.
target_link_libraries(Tarvex PRIVATE tarvex_core tarvex_os_win
  comctl32 comdlg32 gdi32 user32 kernel32)
