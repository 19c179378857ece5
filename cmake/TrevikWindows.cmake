# The Windows build, cross-compiled with cmake/mingw-w64.cmake by
# scripts/build-windows.sh. hidapi, minizip and libcurl come built for
# Windows from TREVIK_WINDOWS_DEPS (their install folders); the header-only
# libraries (nlohmann-json, CLI11, cpp-httplib) are the host's own headers,
# copied into the build so the rest of /usr/include stays out of sight;
# GoogleTest is built from /usr/src/googletest. The window is not built.
set(TREVIK_WINDOWS_DEPS "" CACHE STRING "Install folders of hidapi, minizip and curl for Windows")
set(TREVIK_GUI OFF CACHE BOOL "" FORCE)
enable_language(RC)
set(CMAKE_RC_FLAGS "${CMAKE_RC_FLAGS} -I${PROJECT_SOURCE_DIR}/res/windows")

function(_trevik_windows_dep var file)
  foreach(dir IN LISTS TREVIK_WINDOWS_DEPS)
    if(EXISTS ${dir}/${file})
      set(${var} ${dir} PARENT_SCOPE)
      return()
    endif()
  endforeach()
  message(FATAL_ERROR "${file} is in none of TREVIK_WINDOWS_DEPS (run scripts/build-windows.sh)")
endfunction()

_trevik_windows_dep(_hidapi lib/libhidapi.a)
add_library(trevik::hidapi STATIC IMPORTED GLOBAL)
set_target_properties(trevik::hidapi PROPERTIES IMPORTED_LOCATION ${_hidapi}/lib/libhidapi.a
  INTERFACE_INCLUDE_DIRECTORIES ${_hidapi}/include/hidapi
  INTERFACE_COMPILE_DEFINITIONS HID_API_STATIC INTERFACE_LINK_LIBRARIES "setupapi;hid;cfgmgr32")

find_package(ZLIB REQUIRED)
_trevik_windows_dep(_minizip lib/libminizip.a)
add_library(trevik::minizip STATIC IMPORTED GLOBAL)
set_target_properties(trevik::minizip PROPERTIES IMPORTED_LOCATION ${_minizip}/lib/libminizip.a
  INTERFACE_INCLUDE_DIRECTORIES ${_minizip}/include INTERFACE_LINK_LIBRARIES ZLIB::ZLIB)

# Each package a folder asks for by find_package is answered by a stub
# config here, after the target it names is made.
set(_stubs ${PROJECT_BINARY_DIR}/windows-packages)
function(_trevik_windows_package name)
  file(MAKE_DIRECTORY ${_stubs}/${name})
  file(WRITE ${_stubs}/${name}/${name}Config.cmake "# Made by TrevikWindows.cmake\n")
  set(${name}_DIR ${_stubs}/${name} CACHE PATH "" FORCE)
endfunction()

_trevik_windows_dep(_curl lib/libcurl.a)
add_library(CURL::libcurl STATIC IMPORTED GLOBAL)
set_target_properties(CURL::libcurl PROPERTIES IMPORTED_LOCATION ${_curl}/lib/libcurl.a
  INTERFACE_INCLUDE_DIRECTORIES ${_curl}/include INTERFACE_COMPILE_DEFINITIONS CURL_STATICLIB
  INTERFACE_LINK_LIBRARIES "ws2_32;crypt32;secur32;bcrypt;normaliz;advapi32;iphlpapi")
_trevik_windows_package(CURL)

set(_host_include ${PROJECT_BINARY_DIR}/host-include)
file(COPY /usr/include/nlohmann /usr/include/CLI DESTINATION ${_host_include})
file(COPY /usr/include/httplib.h DESTINATION ${_host_include})
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED GLOBAL)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES ${_host_include})
_trevik_windows_package(nlohmann_json)
add_library(CLI11::CLI11 INTERFACE IMPORTED GLOBAL)
set_target_properties(CLI11::CLI11 PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${_host_include})
_trevik_windows_package(CLI11)

set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
# (its own CMake names the targets GTest::gtest, GTest::gmock, ...)
add_subdirectory(/usr/src/googletest ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
# Test lists are read when the tests run (under Wine), not at build time.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)

# The manifest (UTF-8 code page) in every program built.
function(trevik_windows_manifests)
  foreach(t trevik-cli trevik-pkgbuild support_tests package_tests config_tests device_tests
            online_tests update_tests)
    if(TARGET ${t})
      target_sources(${t} PRIVATE ${PROJECT_SOURCE_DIR}/res/windows/trevik.rc)
    endif()
  endforeach()
endfunction()
