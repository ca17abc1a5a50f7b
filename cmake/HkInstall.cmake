# Installation: the three libraries, the public headers (with the core and
# SNMP libraries' headers) under include/hksrv, the programs, a CMake package
# (find_package(hksrv) gives hksrv::hksrv) and pkg-config files. Included by
# the top-level CMakeLists.txt once every target exists.
include(CMakePackageConfigHelpers)

set(HK_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/hksrv)
set(HK_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/hksrv)
set(HK_INSTALL_PKGCONFIGDIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Installed programs find the installed libraries wherever the prefix is.
file(RELATIVE_PATH HK_BIN_TO_LIB ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}
     ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR})
foreach(program hkagent hkquery hksnmp_tool)
  if(TARGET ${program})
    set_target_properties(${program} PROPERTIES INSTALL_RPATH "$ORIGIN/${HK_BIN_TO_LIB}")
  endif()
endforeach()
set_target_properties(hesker hksnmp hksrv PROPERTIES INSTALL_RPATH "$ORIGIN")

install(TARGETS hesker hksnmp hksrv
        EXPORT hksrvTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        INCLUDES DESTINATION ${HK_INSTALL_INCLUDEDIR})

# Only the declarations a consumer compiles against; the libraries'
# internal headers stay behind.
file(GLOB HK_PUBLIC_HEADERS ${PROJECT_SOURCE_DIR}/include/*.h)
set(HK_OUTSIDE_HEADERS
    ${PROJECT_SOURCE_DIR}/src/outside/hesker/hesker.h
    ${PROJECT_SOURCE_DIR}/src/outside/hesker/hesker_export.h
    ${PROJECT_SOURCE_DIR}/src/outside/hesker/hk_platform.h
    ${PROJECT_SOURCE_DIR}/src/outside/hesker/hk_util.h
    ${PROJECT_SOURCE_DIR}/src/outside/hesker/hkcp.h
    ${PROJECT_SOURCE_DIR}/src/outside/hesker/hkcp_codes.h
    ${PROJECT_SOURCE_DIR}/src/outside/hesker/agent_codes.h
    ${PROJECT_SOURCE_DIR}/src/outside/hesker/hk_text.h
    ${PROJECT_SOURCE_DIR}/src/outside/hesker/hkcp_connection.h
    ${PROJECT_SOURCE_DIR}/src/outside/hesker/hkcp_tls.h
    ${PROJECT_SOURCE_DIR}/src/outside/hesker/hkcp_tls_client.h
    ${PROJECT_SOURCE_DIR}/src/outside/hksnmp/hksnmp.h
    ${PROJECT_SOURCE_DIR}/src/outside/hksnmp/hksnmp_export.h)
install(FILES ${HK_PUBLIC_HEADERS} ${HK_OUTSIDE_HEADERS} DESTINATION ${HK_INSTALL_INCLUDEDIR})

install(EXPORT hksrvTargets NAMESPACE hksrv:: DESTINATION ${HK_INSTALL_CMAKEDIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/hksrvConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/hksrvConfig.cmake
                              INSTALL_DESTINATION ${HK_INSTALL_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/hksrvConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/hksrvConfig.cmake ${PROJECT_BINARY_DIR}/hksrvConfigVersion.cmake
        DESTINATION ${HK_INSTALL_CMAKEDIR})

# pkg-config files find their prefix from where they lie, so an installed
# tree can be moved (or installed with --prefix elsewhere).
file(RELATIVE_PATH HK_PC_TO_PREFIX ${CMAKE_INSTALL_PREFIX}/${HK_INSTALL_PKGCONFIGDIR}
     ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" HK_PC_TO_PREFIX "${HK_PC_TO_PREFIX}")
foreach(pc hesker hksnmp hksrv)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/${pc}.pc.in ${PROJECT_BINARY_DIR}/pkgconfig/${pc}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/pkgconfig/${pc}.pc DESTINATION ${HK_INSTALL_PKGCONFIGDIR})
endforeach()
