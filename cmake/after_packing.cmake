# Run by CPack once it has packed, on the packages still in its staging
# folder: rewrites each archive so that the same sources give the same bytes
# (packaging/repack.py), and gives the .deb its Built-Using field, the source
# packages linked into its programs (packaging/notices.py). The release's one
# SHA256SUMS, for every package of both platforms, is scripts/release's.
set(built_using "")
if(CPACK_PACKAGE_FILES MATCHES "\\.deb(;|$)")
  execute_process(COMMAND ${CPACK_DIV100_NOTICES} built-using ${CPACK_DIV100_NOTICES_OF}
                  OUTPUT_VARIABLE built_using OUTPUT_STRIP_TRAILING_WHITESPACE
                  COMMAND_ERROR_IS_FATAL ANY)
  set(built_using --built-using "${built_using}")
endif()
execute_process(COMMAND "${CPACK_DIV100_PYTHON}" "${CPACK_DIV100_REPACK}" ${built_using}
                        "${CPACK_DIV100_SOURCE_DATE_EPOCH}" ${CPACK_PACKAGE_FILES}
                COMMAND_ERROR_IS_FATAL ANY)
