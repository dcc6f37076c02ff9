# The Debian package of the programs, libraries, bundle, headers and CMake package (cpack -G DEB,
# or ./velm package). Its dependencies are the shared libraries it links, found by dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velm-uploader)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Velm Uploader developers <velm-uploader@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Uploads photos to the Velm photo service: velm-export, velm-server and the plug-in")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The libraries of this package itself are found beside each other, not among the system's.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR} ${CMAKE_BINARY_DIR}/lib)
# Programs the plug-in uses when they are there: the browser opener, a keyring for passwords.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils, gnome-keyring")
include(CPack)
