# Cross-build for 64-bit Windows with MinGW-w64 (POSIX-threads flavour, so
# std::thread and std::mutex are available). Static OpenSSL and GoogleTest
# come from scripts/win-deps.sh; their prefix is HK_WIN_DEPS_PREFIX, by
# default build/win-deps/prefix in the source tree.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(HK_MINGW_HOST x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${HK_MINGW_HOST}-gcc-posix)
set(CMAKE_CXX_COMPILER ${HK_MINGW_HOST}-g++-posix)
set(CMAKE_RC_COMPILER ${HK_MINGW_HOST}-windres)

if(NOT HK_WIN_DEPS_PREFIX)
  if(DEFINED ENV{HK_WIN_DEPS_PREFIX})
    set(HK_WIN_DEPS_PREFIX $ENV{HK_WIN_DEPS_PREFIX})
  else()
    get_filename_component(HK_WIN_DEPS_PREFIX ${CMAKE_CURRENT_LIST_DIR}/../build/win-deps/prefix ABSOLUTE)
  endif()
endif()

set(CMAKE_FIND_ROOT_PATH /usr/${HK_MINGW_HOST} ${HK_WIN_DEPS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(OPENSSL_ROOT_DIR ${HK_WIN_DEPS_PREFIX})
set(OPENSSL_USE_STATIC_LIBS TRUE)
