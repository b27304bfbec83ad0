# Windows with Debian's mingw-w64, the -posix flavour (its C++ runtime has
# std::thread and std::mutex, which GoogleTest needs), for the target named by
# MINGW_TRIPLE. WINE, where found, runs the programs here; building needs only
# the compilers.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLE}-windres)
set(CMAKE_OBJDUMP ${MINGW_TRIPLE}-objdump CACHE FILEPATH "" FORCE)
set(CMAKE_STRIP ${MINGW_TRIPLE}-strip CACHE FILEPATH "" FORCE)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The compiler's own runtime linked in, so an exe needs only KERNEL32.dll and
# msvcrt.dll, which every Windows has.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

if(WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE})
endif()
