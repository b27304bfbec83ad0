# 32-bit Windows, the tool's own target. Wine runs its programs with wine32:
# natively where the kernel runs 32-bit code, elsewhere with wine's i386 side
# under qemu user-mode emulation, which scripts/test sets up (binfmt_misc).
set(MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
find_program(WINE wine)
find_program(WINESERVER wineserver)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
