# nlohmann_json for cross builds: the library is header-only, so the host's
# headers serve every target. They are reached through a folder that holds
# nothing but them, so no other host header can shadow the target's own.
if(NOT TARGET nlohmann_json::nlohmann_json)
  set(json_root ${CMAKE_BINARY_DIR}/host-json)
  if(NOT EXISTS ${json_root}/nlohmann/json.hpp)
    file(MAKE_DIRECTORY ${json_root})
    file(CREATE_LINK /usr/include/nlohmann ${json_root}/nlohmann SYMBOLIC)
  endif()
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
  set_target_properties(nlohmann_json::nlohmann_json PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${json_root})
endif()
