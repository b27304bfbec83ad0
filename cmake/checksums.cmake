# Run by CPack after it packs: SHA256SUMS beside the packages, one line per
# package in the format `sha256sum -c` reads, sorted by name.
set(lines "")
list(SORT CPACK_PACKAGE_FILES)
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  file(SHA256 "${package}" hash)
  get_filename_component(name "${package}" NAME)
  string(APPEND lines "${hash}  ${name}\n")
endforeach()
if(lines)
  # The packages are still in CPack's staging folder: the sums go where they
  # are copied to.
  file(WRITE "${CPACK_PACKAGE_DIRECTORY}/SHA256SUMS" "${lines}")
endif()
