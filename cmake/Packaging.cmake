# The Debian package (cpack -G DEB): one package, kestrim-matrix, holding
# every install component, installed under /usr.
set(CPACK_PACKAGE_NAME kestrim-matrix)
set(CPACK_PACKAGE_VENDOR "Kestrim")
set(CPACK_PACKAGE_CONTACT "Kestrim Matrix developers <kestrim-matrix@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Dense linear algebra library with bit-reproducible results, and the kestrim tool")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL OFF)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
include(CPack)

cpack_add_component(Runtime DISPLAY_NAME "Shared library")
cpack_add_component(Development DISPLAY_NAME "Headers, CMake and pkg-config files" DEPENDS Runtime)
cpack_add_component(Tool DISPLAY_NAME "kestrim command-line tool" DEPENDS Runtime)
