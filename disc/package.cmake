# CPack reads this once per generator: the zip holds the release for Windows,
# the .deb the author tools.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_INSTALL_CMAKE_PROJECTS "${CPACK_QUENLO_BUILD};Quenlo;deb;/")
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_PACKAGE_FILE_NAME quenlo-disc_${CPACK_PACKAGE_VERSION}_all)
else()
  set(CPACK_INSTALL_CMAKE_PROJECTS "${CPACK_QUENLO_BUILD};Quenlo;zip;/")
endif()
