# Run by CPack before it installs into its staging folder (DESTDIR): a Debian
# package carries its license as <prefix>/share/doc/div100/copyright.
if(CPACK_GENERATOR STREQUAL "DEB")
  file(INSTALL "${CPACK_DIV100_LICENSE}"
       DESTINATION "${CPACK_PACKAGING_INSTALL_PREFIX}/share/doc/div100" RENAME copyright)
endif()
