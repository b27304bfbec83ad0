# Run by CPack once it has packed, on the packages still in its staging
# folder: rewrites each archive so that the same sources give the same bytes
# (packaging/repack.py), then writes SHA256SUMS beside the packages, one line
# per package in the format `sha256sum -c` reads.
if(NOT CPACK_DIV100_PYTHON)
  message(FATAL_ERROR "python3 is needed to make the release archives reproducible")
endif()
execute_process(COMMAND "${CPACK_DIV100_PYTHON}" "${CPACK_DIV100_REPACK}" "${CPACK_DIV100_SOURCE_DATE_EPOCH}"
                        ${CPACK_PACKAGE_FILES} COMMAND_ERROR_IS_FATAL ANY)

# CPack runs this once per generator, always in the same order: the first
# starts the file afresh, the others add their lines.
set(sums "${CPACK_PACKAGE_DIRECTORY}/SHA256SUMS")
set(lines "")
list(GET CPACK_DIV100_GENERATORS 0 first)
if(NOT CPACK_GENERATOR STREQUAL first AND EXISTS "${sums}")
  file(STRINGS "${sums}" lines)
endif()
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  file(SHA256 "${package}" hash)
  get_filename_component(name "${package}" NAME)
  list(APPEND lines "${hash}  ${name}")
endforeach()
list(JOIN lines "\n" text)
file(WRITE "${sums}" "${text}\n")
