# Run by CPack once it has packed, on the packages still in its staging
# folder: rewrites each archive so that the same sources give the same bytes
# (packaging/repack.py), then writes SHA256SUMS beside the packages, one line
# per package in the format `sha256sum -c` reads, sorted by name.
if(NOT CPACK_DIV100_PYTHON)
  message(FATAL_ERROR "python3 is needed to make the release archives reproducible")
endif()
execute_process(COMMAND "${CPACK_DIV100_PYTHON}" "${CPACK_DIV100_REPACK}" "${CPACK_DIV100_SOURCE_DATE_EPOCH}"
                        ${CPACK_PACKAGE_FILES} COMMAND_ERROR_IS_FATAL ANY)

set(lines "")
list(SORT CPACK_PACKAGE_FILES)
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  file(SHA256 "${package}" hash)
  get_filename_component(name "${package}" NAME)
  string(APPEND lines "${hash}  ${name}\n")
endforeach()
if(lines)
  # The sums go where CPack copies the packages to.
  file(WRITE "${CPACK_PACKAGE_DIRECTORY}/SHA256SUMS" "${lines}")
endif()
