# Cross-build for 64-bit Windows with Debian's mingw-w64, posix-thread variant
# (std::thread and std::mutex come from winpthreads). Everything the runtime
# needs is linked in statically, so the .exe files run on a bare Windows.
# Tests run under wine: gtest_discover_tests lists each program's tests through
# CMAKE_CROSSCOMPILING_EMULATOR while building.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QUAYSIDE_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QUAYSIDE_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUAYSIDE_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QUAYSIDE_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QUAYSIDE_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No libgcc, libstdc++ or libwinpthread DLLs beside the programs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Through a script that tries a program once more when wine failed to start it.
find_program(QUAYSIDE_WINE NAMES wine wine64)
if(QUAYSIDE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../../scripts/wine-test-run.sh)
endif()
