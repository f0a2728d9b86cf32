# Windows build of the program: the application manifest (UTF-8 as the process's ANSI code
# page) goes into korvane.exe, and the test programs that run under Wine are added.
enable_language(RC)
set(KORVANE_WINDOWS_MANIFEST_RC ${PROJECT_SOURCE_DIR}/platform/korvane.rc)
set_source_files_properties(${KORVANE_WINDOWS_MANIFEST_RC} PROPERTIES
  OBJECT_DEPENDS ${PROJECT_SOURCE_DIR}/platform/korvane.manifest)
target_sources(korvane PRIVATE ${KORVANE_WINDOWS_MANIFEST_RC})

option(KORVANE_WINDOWS_TESTS "Build the Windows test programs (run under Wine by CTest)" OFF)
if(KORVANE_WINDOWS_TESTS)
  enable_testing()
  add_subdirectory(tests/windows)
endif()
