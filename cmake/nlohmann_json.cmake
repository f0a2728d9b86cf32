# The JSON library (Debian's nlohmann-json3-dev, header-only). The Windows cross build looks for
# packages only in the MinGW tree, where Debian installs none; the headers hold no platform
# code, so there the host's copy is used through a folder that holds nothing else (adding
# /usr/include itself would put the host's C library headers before MinGW's).
if(CMAKE_CROSSCOMPILING AND WIN32)
  find_path(KORVANE_HOST_NLOHMANN_DIR nlohmann/json.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  set(korvane_json_dir ${CMAKE_BINARY_DIR}/host-json-headers)
  file(MAKE_DIRECTORY ${korvane_json_dir})
  file(CREATE_LINK ${KORVANE_HOST_NLOHMANN_DIR}/nlohmann ${korvane_json_dir}/nlohmann SYMBOLIC)
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
  set_target_properties(nlohmann_json::nlohmann_json PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${korvane_json_dir})
else()
  find_package(nlohmann_json 3 REQUIRED)
endif()
