# The JSON library the companion writes its output with and its tests read it back with:
# nlohmann-json (Debian's nlohmann-json3-dev, header-only), as the target vellumo_json.
add_library(vellumo_json INTERFACE)
if(WIN32)
  # MinGW must never see /usr/include (glibc's headers would shadow its own): a folder of the
  # build's own holds only a link to the library's headers, and is searched as a system folder.
  find_path(VELLUMO_NLOHMANN_INCLUDE nlohmann/json.hpp PATHS /usr/include NO_DEFAULT_PATH
            NO_CMAKE_FIND_ROOT_PATH)
  if(NOT VELLUMO_NLOHMANN_INCLUDE)
    message(FATAL_ERROR "nlohmann/json.hpp not found in /usr/include: install nlohmann-json3-dev "
                        "(scripts/setup.sh)")
  endif()
  set(json_include ${CMAKE_BINARY_DIR}/json-include)
  file(MAKE_DIRECTORY ${json_include})
  file(CREATE_LINK ${VELLUMO_NLOHMANN_INCLUDE}/nlohmann ${json_include}/nlohmann SYMBOLIC)
  target_include_directories(vellumo_json SYSTEM INTERFACE ${json_include})
else()
  find_package(nlohmann_json 3.11 REQUIRED CONFIG)
  target_link_libraries(vellumo_json INTERFACE nlohmann_json::nlohmann_json)
endif()
