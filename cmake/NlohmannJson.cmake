# The target nlohmann_json::nlohmann_json (Debian nlohmann-json3-dev). The library is
# header-only and uses nothing but the standard library. A native build takes the installed
# package; the Windows cross build finds packages only in the MinGW tree and must never have
# the host's /usr/include on its include path, so it gets a folder holding only a link to the
# host's nlohmann/ headers.
if(NOT TARGET nlohmann_json::nlohmann_json)
  if(CMAKE_CROSSCOMPILING)
    find_path(KORVANE_NLOHMANN_DIR nlohmann/json.hpp PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH
              REQUIRED)
    set(_korvane_nlohmann ${PROJECT_BINARY_DIR}/nlohmann-include)
    file(MAKE_DIRECTORY ${_korvane_nlohmann})
    file(CREATE_LINK ${KORVANE_NLOHMANN_DIR}/nlohmann ${_korvane_nlohmann}/nlohmann SYMBOLIC)
    add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED GLOBAL)
    set_target_properties(nlohmann_json::nlohmann_json PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${_korvane_nlohmann})
  else()
    find_package(nlohmann_json 3 REQUIRED)
  endif()
endif()
