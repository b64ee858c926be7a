# Read by cpack once per generator: the packages' names. The zip's one folder is stravik-3.3.
if(CPACK_GENERATOR STREQUAL "ZIP")
  set(CPACK_PACKAGE_FILE_NAME "stravik-${CPACK_PACKAGE_VERSION}-windows-x64")
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  set(CPACK_PACKAGING_INSTALL_PREFIX "/stravik-${CPACK_PACKAGE_VERSION}")
elseif(CPACK_GENERATOR STREQUAL "NSIS")
  set(CPACK_PACKAGE_FILE_NAME "stravik-${CPACK_PACKAGE_VERSION}-setup")
endif()
