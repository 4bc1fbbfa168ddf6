# nlohmann/json for the Windows cross build: Debian's header-only copy, reached through the
# toolchain's folder of host header links (KX_HOST_HEADERS).
set(nlohmann_json_VERSION 3.11.2)
if(NOT TARGET nlohmann_json::nlohmann_json)
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
endif()
