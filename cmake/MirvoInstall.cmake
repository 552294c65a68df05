# What `cmake --install` puts under the prefix: the program, the static
# library and its public headers (consumers write #include <mirvo/mirvo.h>), a CMake
# package (find_package(mirvo) -> mirvo::mirvo), a pkg-config file, the
# manual page and the documents it refers to (README and docs/ under
# share/doc/mirvo).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(MIRVO_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/mirvo
    CACHE STRING "Folder of the CMake package files, relative to the prefix")
# Consumers have <prefix>/include on their path and write <mirvo/...>.
set(MIRVO_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR})

set_target_properties(libmirvo PROPERTIES EXPORT_NAME mirvo)
# The public headers need C++17 (string_view); consumers inherit that.
target_compile_features(libmirvo PUBLIC cxx_std_17)

install(TARGETS mirvo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS libmirvo EXPORT mirvoTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${MIRVO_INSTALL_INCLUDEDIR})
# The public headers; the private ones stay in src/ and are not installed.
install(FILES ${PROJECT_SOURCE_DIR}/include/mirvo/mirvo.h ${PROJECT_SOURCE_DIR}/include/mirvo/global.h
              ${PROJECT_SOURCE_DIR}/include/mirvo/cb.h ${PROJECT_SOURCE_DIR}/include/mirvo/file.h
              ${PROJECT_SOURCE_DIR}/include/mirvo/coding.h ${PROJECT_SOURCE_DIR}/include/mirvo/engine.h
              ${PROJECT_SOURCE_DIR}/include/mirvo/interfc.h
              ${PROJECT_BINARY_DIR}/generated/mirvo/version.h
        DESTINATION ${MIRVO_INSTALL_INCLUDEDIR}/mirvo)

install(EXPORT mirvoTargets NAMESPACE mirvo:: DESTINATION ${MIRVO_INSTALL_CMAKEDIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/mirvoConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/mirvoConfig.cmake
                              INSTALL_DESTINATION ${MIRVO_INSTALL_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/mirvoConfigVersion.cmake
                                 COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/mirvoConfig.cmake ${PROJECT_BINARY_DIR}/mirvoConfigVersion.cmake
        DESTINATION ${MIRVO_INSTALL_CMAKEDIR})

# The pkg-config file finds the prefix from its own folder.
file(RELATIVE_PATH MIRVO_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" MIRVO_PC_TO_PREFIX "${MIRVO_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/mirvo.pc.in ${PROJECT_BINARY_DIR}/mirvo.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/mirvo.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(FILES ${PROJECT_SOURCE_DIR}/man/mirvo.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)
