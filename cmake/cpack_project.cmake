# Read by CPack before each generator runs: its archive writer takes every
# time in the .deb (and the first cut of the other archives) from
# SOURCE_DATE_EPOCH.
set(ENV{SOURCE_DATE_EPOCH} "${CPACK_DIV100_SOURCE_DATE_EPOCH}")
