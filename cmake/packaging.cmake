# What the release packages hold, and how they are packed: installs the
# programs, stripped, the documents the README links, and on Linux the manual
# pages; div100-<version>-win32.zip from the 32-bit Windows build, and from
# the Linux one div100-<version>-Linux-x86_64.tar.gz and
# div100_<version>_amd64.deb. scripts/release puts every package of a
# release in one folder with one SHA256SUMS.

# Programs are stripped of their symbols and of the compiler's .comment. strip
# would stamp a PE file with the time of the install; with SOURCE_DATE_EPOCH=0
# it keeps the 0 the linker left, so the same sources give the same bytes.
include(GNUInstallDirs)
# Folders made by an install are 755 whatever the umask, in every package.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                                                GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
if(WIN32)
  set(DIV100_BIN_DIR .)
  set(DIV100_DOC_DIR .)
else()
  set(DIV100_BIN_DIR ${CMAKE_INSTALL_BINDIR})
  set(DIV100_DOC_DIR ${CMAKE_INSTALL_DOCDIR})
endif()
# The README's links resolve in every package: the documents stand beside it
# as they do in the sources.
install(FILES README.md LICENSE CHANGELOG.md DESTINATION ${DIV100_DOC_DIR})

# What the programs carry besides div100's own code, and under which licences
# (packaging/notices.py): in the zip NOTICES.txt; in the tarball a
# machine-readable copyright, every licence in full; the .deb's is made as it
# is packed (cmake/deb_files.cmake). div100-bench holds Google Benchmark only
# where it is linked statically.
set(DIV100_NOTICES ${DIV100_PYTHON} ${PROJECT_SOURCE_DIR}/packaging/notices.py)
set(DIV100_NOTICES_OF --cxx ${CMAKE_CXX_COMPILER})
set(linked_programs div100 div100-exact)
if(DIV100_BENCHMARK_STATIC)
  list(APPEND linked_programs div100-bench)
  list(APPEND DIV100_NOTICES_OF --bench div100-bench --benchmark-source ${DIV100_BENCHMARK_SOURCE})
endif()
list(JOIN linked_programs "," linked_programs)
if(WIN32)
  set(notices ${CMAKE_CURRENT_BINARY_DIR}/NOTICES.txt)
  set(notices_form zip ${notices})
else()
  set(notices ${CMAKE_CURRENT_BINARY_DIR}/copyright)
  set(notices_form tarball ${notices} --license ${PROJECT_SOURCE_DIR}/LICENSE
                   --programs ${linked_programs})
endif()
add_custom_command(OUTPUT ${notices}
                   COMMAND ${DIV100_NOTICES} ${notices_form} ${DIV100_NOTICES_OF}
                   DEPENDS ${PROJECT_SOURCE_DIR}/packaging/notices.py ${PROJECT_SOURCE_DIR}/LICENSE
                   VERBATIM)
add_custom_target(notices ALL DEPENDS ${notices})
install(FILES ${notices} DESTINATION ${DIV100_DOC_DIR})
install(FILES docs/measuring.md docs/exact.md DESTINATION ${DIV100_DOC_DIR}/docs)

# The manual pages, gzipped with no name or time in the header (gzip -n), so
# that the same sources give the same bytes.
if(NOT WIN32)
  set(manual_pages div100 div100-exact)
  if(TARGET div100-bench)
    list(APPEND manual_pages div100-bench)
  endif()
  foreach(page IN LISTS manual_pages)
    configure_file(packaging/${page}.1.in ${page}.1 @ONLY)
    add_custom_command(OUTPUT ${page}.1.gz COMMAND gzip -9 -n -c ${page}.1 > ${page}.1.gz
                       DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/${page}.1 VERBATIM)
    list(APPEND gzipped_pages ${CMAKE_CURRENT_BINARY_DIR}/${page}.1.gz)
  endforeach()
  add_custom_target(manual_pages ALL DEPENDS ${gzipped_pages})
  install(FILES ${gzipped_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

foreach(program div100 div100-bench div100-exact)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${DIV100_BIN_DIR})
    set(installed "\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${DIV100_BIN_DIR}/$<TARGET_FILE_NAME:${program}>")
    install(CODE "execute_process(COMMAND \"${CMAKE_COMMAND}\" -E env SOURCE_DATE_EPOCH=0
                                          \"${CMAKE_STRIP}\" -R .comment \"${installed}\"
                                  COMMAND_ERROR_IS_FATAL ANY)")
  endif()
endforeach()

set(CPACK_PACKAGE_VENDOR "the div100 authors")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "cost of 32-bit DIV against the reciprocal for n / 100, and where they part")
if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  # The .deb: the programs in /usr/bin, the documents, a copyright naming
  # what is linked in (by reference to the system's licences) and Built-Using
  # with the source packages' versions, a Debian changelog made from
  # CHANGELOG.md, the manual pages, lintian's override for the static
  # programs; Depends from the programs' own shared libraries (none).
  set(CPACK_GENERATOR TGZ DEB)
  set(CPACK_SYSTEM_NAME ${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR})
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION devel)
  # A team, not a person; .invalid is reserved, so the address reaches no one.
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "div100 maintainers <maintainers@div100.invalid>")
  # The extended description, one line of the control file each, wrapped.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "div100 answers one question on the machine in front of you: what the"
      "processor's 32-bit DIV costs next to the multiply-by-reciprocal sequence for"
      "n / 100, ((n + 1) * 0xA3D70A3D) >> 38, and where that sequence stops"
      "agreeing with DIV. It times both in time-stamp-counter cycles, says so where"
      "the machine cannot resolve those counts (a hypervisor, a coarse counter) and"
      "then gives each sequence's latency in core cycles, and checks the reciprocal"
      "against DIV from 4294000000 upward to the first mismatch."
      ""
      "div100-bench answers the same question in core clock cycles, for latency and"
      "throughput, with controls that show the calibration holds."
      ""
      "div100-exact says, for any divisor and any multiply-by-reciprocal sequence,"
      "whether it is exact for every 32-bit dividend and where it first is not,"
      "by reasoning, and which sequences are exact.")
  list(JOIN CPACK_DEBIAN_PACKAGE_DESCRIPTION "\n" CPACK_DEBIAN_PACKAGE_DESCRIPTION)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DIV100_CHANGELOG ${CMAKE_CURRENT_SOURCE_DIR}/CHANGELOG.md)
  set(CPACK_DIV100_DEBIAN_CHANGELOG ${CMAKE_CURRENT_SOURCE_DIR}/packaging/changelog.py)
  set(CPACK_DIV100_NOTICES ${DIV100_NOTICES})
  set(CPACK_DIV100_NOTICES_OF ${DIV100_NOTICES_OF})
  set(CPACK_DIV100_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
  set(CPACK_DIV100_LINKED_PROGRAMS ${linked_programs})
  set(CPACK_DIV100_LINTIAN_OVERRIDES ${CMAKE_CURRENT_SOURCE_DIR}/packaging/lintian-overrides)
  set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_SOURCE_DIR}/cmake/deb_files.cmake)
endif()

# Every time in the archives is SOURCE_DATE_EPOCH where it is set, else the
# date of the newest release in CHANGELOG.md (its midnight, UTC): a date the
# sources themselves hold, so that a clone and an export without .git give the
# same bytes. Members, owners and modes are normalised after packing.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(DIV100_SOURCE_DATE_EPOCH $ENV{SOURCE_DATE_EPOCH})
  message(STATUS "The archives are dated SOURCE_DATE_EPOCH, ${DIV100_SOURCE_DATE_EPOCH}")
else()
  set(DIV100_SOURCE_DATE_EPOCH ${changelog_epoch})
  message(STATUS "The archives are dated ${DIV100_RELEASE_DATE}, the newest release in CHANGELOG.md")
endif()
set(CPACK_DIV100_PYTHON ${DIV100_PYTHON})
set(CPACK_DIV100_REPACK ${CMAKE_CURRENT_SOURCE_DIR}/packaging/repack.py)
set(CPACK_DIV100_SOURCE_DATE_EPOCH ${DIV100_SOURCE_DATE_EPOCH})
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_SOURCE_DIR}/cmake/after_packing.cmake)
set(CPACK_PACKAGE_VERSION ${DIV100_VERSION_LABEL})
include(CPack)
