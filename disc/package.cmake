# CPack reads this once per generator: the zip holds the release for Windows,
# the two .debs the author tools (one a component: deb, debtry).
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_INSTALL_CMAKE_PROJECTS "${CPACK_QUENLO_BUILD};Quenlo;ALL;/")
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL deb debtry)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_DEB_FILE_NAME quenlo-disc_${CPACK_DEBIAN_PACKAGE_VERSION}_all.deb)
  set(CPACK_DEBIAN_DEBTRY_FILE_NAME quenlo-disc-try_${CPACK_DEBIAN_PACKAGE_VERSION}_all.deb)
else()
  set(CPACK_INSTALL_CMAKE_PROJECTS "${CPACK_QUENLO_BUILD};Quenlo;zip;/")
endif()
# The same commit makes the same packages: every date in them is the commit's,
# unless SOURCE_DATE_EPOCH names another.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  execute_process(COMMAND git -C "${CPACK_QUENLO_SOURCE}" log -1 --format=%ct
                  OUTPUT_VARIABLE committed OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE failed)
  if(NOT failed AND committed)
    set(ENV{SOURCE_DATE_EPOCH} "${committed}")
  endif()
endif()
