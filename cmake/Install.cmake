# Installs the library (shared and static), its headers, the programs, a CMake package and a pkg-config file.
include(CMakePackageConfigHelpers)

# libtembra-logger.so.1 (with its full version and the .so link) and libtembra-logger.a.
install(TARGETS logger_shared logger EXPORT TembraLoggerTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/logger/logger.h ${PROJECT_SOURCE_DIR}/logger/log_format.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tembra/logger)
install(TARGETS tembra-demo tembra-drain tembra-log RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

set(config_dir ${CMAKE_INSTALL_LIBDIR}/cmake/TembraLogger)
install(EXPORT TembraLoggerTargets NAMESPACE TembraLogger:: DESTINATION ${config_dir})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/TembraLoggerConfig.cmake.in
  ${PROJECT_BINARY_DIR}/TembraLoggerConfig.cmake INSTALL_DESTINATION ${config_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TembraLoggerConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/TembraLoggerConfig.cmake
              ${PROJECT_BINARY_DIR}/TembraLoggerConfigVersion.cmake DESTINATION ${config_dir})

# The .pc file takes the prefix at install time, so "make install PREFIX=..." is honoured.
configure_file(${PROJECT_SOURCE_DIR}/cmake/tembra-logger.pc.in
  ${PROJECT_BINARY_DIR}/tembra-logger.pc.in.stage @ONLY)
install(CODE "
  file(READ \"${PROJECT_BINARY_DIR}/tembra-logger.pc.in.stage\" pc)
  string(REPLACE \"${CMAKE_INSTALL_PREFIX}\" \"\${CMAKE_INSTALL_PREFIX}\" pc \"\${pc}\")
  file(WRITE \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig/tembra-logger.pc\" \"\${pc}\")
  message(STATUS \"Installing: \$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig/tembra-logger.pc\")
")
