# nlohmann_json for the Windows build: its headers, linked into VANTREL_WINDOWS_DEPS.
if(NOT TARGET nlohmann_json::nlohmann_json)
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
  set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${VANTREL_WINDOWS_DEPS}/include")
endif()
set(nlohmann_json_FOUND TRUE)
set(nlohmann_json_VERSION 3.11.2)
