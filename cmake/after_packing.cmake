# Run by CPack once it has packed, on the packages still in its staging
# folder: rewrites each archive so that the same sources give the same bytes
# (packaging/repack.py). The release's one SHA256SUMS, for every package of
# both platforms, is scripts/release's.
if(NOT CPACK_DIV100_PYTHON)
  message(FATAL_ERROR "python3 is needed to make the release archives reproducible")
endif()
execute_process(COMMAND "${CPACK_DIV100_PYTHON}" "${CPACK_DIV100_REPACK}" "${CPACK_DIV100_SOURCE_DATE_EPOCH}"
                        ${CPACK_PACKAGE_FILES} COMMAND_ERROR_IS_FATAL ANY)
