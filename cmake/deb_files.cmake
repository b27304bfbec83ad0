# Run by CPack once it has installed into its staging folder, before it
# packs: what a Debian package holds in <prefix>/share besides the install.
# Its copyright names what each program carries, the system's licences by
# reference, and stands for LICENSE (not a second copy beside it); the Debian
# changelog made from CHANGELOG.md is doc/div100/changelog.gz; and lintian's
# overrides.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(share "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/share")
  file(REMOVE "${share}/doc/div100/LICENSE")
  execute_process(COMMAND ${CPACK_DIV100_NOTICES} deb "${share}/doc/div100/copyright"
                          --license "${CPACK_DIV100_LICENSE}"
                          --programs "${CPACK_DIV100_LINKED_PROGRAMS}" ${CPACK_DIV100_NOTICES_OF}
                  COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND "${CPACK_DIV100_PYTHON}" "${CPACK_DIV100_DEBIAN_CHANGELOG}" debian
                          "${CPACK_DIV100_CHANGELOG}" "${CPACK_DEBIAN_PACKAGE_MAINTAINER}"
                          "${share}/doc/div100/changelog.gz" COMMAND_ERROR_IS_FATAL ANY)
  # (file(INSTALL) would add DESTDIR, which CPack still sets, once more.)
  file(MAKE_DIRECTORY "${share}/lintian/overrides")
  file(COPY_FILE "${CPACK_DIV100_LINTIAN_OVERRIDES}" "${share}/lintian/overrides/div100")
endif()
