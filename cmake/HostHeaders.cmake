# CLI11 and nlohmann/json are header-only: a cross-build takes Debian's
# copies from the build machine. Only their own folders are made visible,
# never the whole of /usr/include, whose C library headers are not the
# target's.
set(_hdr ${CMAKE_BINARY_DIR}/host-headers)
file(MAKE_DIRECTORY ${_hdr})
foreach(dir CLI nlohmann)
  if(NOT EXISTS /usr/include/${dir})
    message(FATAL_ERROR "/usr/include/${dir} is missing: run scripts/install-deps.sh")
  endif()
  file(CREATE_LINK /usr/include/${dir} ${_hdr}/${dir} SYMBOLIC)
endforeach()
include_directories(SYSTEM ${_hdr})
add_library(CLI11::CLI11 INTERFACE IMPORTED)
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
