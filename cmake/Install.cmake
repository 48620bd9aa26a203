# Installation: the shared library (versioned, with its SONAME), the public
# headers, a CMake package (find_package(KestrimMatrix) gives
# KestrimMatrix::kestrim_matrix), a pkg-config file and the kestrim tool.
#
# Components: Runtime (the shared library), Development (headers, the
# unversioned link, CMake and pkg-config files), Tool (kestrim). Other
# programs built on the library add their own component; the Debian package
# (cmake/Packaging.cmake) holds every component.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(KESTRIM_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/KestrimMatrix)

# The subsystem libraries are linked into the shared library whole and
# privately, so the exported target needs nothing but itself.
target_include_directories(kestrim_matrix INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
# The public headers need C++17.
target_compile_features(kestrim_matrix INTERFACE cxx_std_17)
install(TARGETS kestrim_matrix EXPORT KestrimMatrixTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime NAMELINK_COMPONENT Development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/kestrim
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT Development
  FILES_MATCHING PATTERN "*.h")

install(EXPORT KestrimMatrixTargets NAMESPACE KestrimMatrix::
  DESTINATION ${KESTRIM_CMAKE_PACKAGE_DIR} COMPONENT Development)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/KestrimMatrixConfig.cmake.in
  ${PROJECT_BINARY_DIR}/KestrimMatrixConfig.cmake
  INSTALL_DESTINATION ${KESTRIM_CMAKE_PACKAGE_DIR})
# 2.x releases keep the interface: any 2.y asks accept a newer 2.z.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/KestrimMatrixConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/KestrimMatrixConfig.cmake
              ${PROJECT_BINARY_DIR}/KestrimMatrixConfigVersion.cmake
  DESTINATION ${KESTRIM_CMAKE_PACKAGE_DIR} COMPONENT Development)

# pkg-config: paths relative to the .pc file, so that an install under any
# prefix (cmake --install --prefix, the Debian package) is found correctly.
file(RELATIVE_PATH KESTRIM_PC_TO_PREFIX
  ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" KESTRIM_PC_TO_PREFIX "${KESTRIM_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/kestrim-matrix.pc.in
  ${PROJECT_BINARY_DIR}/kestrim-matrix.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/kestrim-matrix.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT Development)

install(TARGETS kestrim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Tool)

include(${CMAKE_CURRENT_LIST_DIR}/Packaging.cmake)
