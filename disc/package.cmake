# CPack reads this once per generator: the zip holds the release for Windows,
# the .deb the author tools.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_INSTALL_CMAKE_PROJECTS "${CPACK_QUENLO_BUILD};Quenlo;deb;/")
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_PACKAGE_FILE_NAME quenlo-disc_${CPACK_PACKAGE_VERSION}_all)
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
