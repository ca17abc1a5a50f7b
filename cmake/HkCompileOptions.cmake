# Warnings, sanitizers and the export macro shared by every target.

add_library(hk_warnings INTERFACE)
target_compile_options(hk_warnings INTERFACE -Wall -Wextra -Wno-unused-parameter)
if(HK_WERROR)
  target_compile_options(hk_warnings INTERFACE -Werror)
endif()
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  target_compile_options(hk_warnings INTERFACE -Wthread-safety)
endif()

if(WIN32)
  # <windows.h> must not pull in the old Winsock (the seam uses Winsock 2)
  # nor define min and max; off_t and lseek are 64-bit as on Linux.
  add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _FILE_OFFSET_BITS=64)
endif()

if(HK_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(HK_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(HK_SANITIZE)
  message(FATAL_ERROR "HK_SANITIZE must be address, thread or empty")
endif()

# hk_add_library(NAME EXPORT_MACRO SOURCES...): a shared library whose
# exported symbols are marked with EXPORT_MACRO (defined while building it).
function(hk_add_library name macro)
  set(sources ${ARGN})
  if(NOT sources)
    # A library whose subsystems are not written yet still links.
    set(sources ${PROJECT_SOURCE_DIR}/cmake/empty.cpp)
  endif()
  add_library(${name} SHARED ${sources})
  string(TOUPPER ${name} upper)
  target_compile_definitions(${name} PRIVATE ${upper}_BUILDING=1)
  target_link_libraries(${name} PRIVATE hk_warnings)
  set_target_properties(${name} PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
  if(WIN32)
    # The static OpenSSL linked in stays private to the DLL: a program that
    # links OpenSSL itself must not meet its symbols again in our import
    # libraries.
    target_link_options(${name} PRIVATE -Wl,--exclude-libs,libcrypto.a:libssl.a)
  endif()
endfunction()
