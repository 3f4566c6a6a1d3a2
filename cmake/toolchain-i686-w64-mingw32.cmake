# Cross-build for 32-bit Windows with mingw-w64 (Debian's g++-mingw-w64-i686).
#
#   cmake -S . -B build/win32 \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake
#
# The DLL links libgcc, libstdc++ and winpthread statically, so that a Windows
# host needs nothing beside it but the system's own DLLs (mapi32, ole32,
# oleaut32, kernel32, msvcrt).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(TOLVANE_MINGW_TRIPLET i686-w64-mingw32)

# The posix thread model: std::mutex and std::thread exist there; GCC 12's
# win32 thread model lacks them. Its one extra runtime (winpthread) goes in
# statically with the rest.
find_program(TOLVANE_MINGW_CC NAMES ${TOLVANE_MINGW_TRIPLET}-gcc-posix ${TOLVANE_MINGW_TRIPLET}-gcc)
find_program(TOLVANE_MINGW_CXX NAMES ${TOLVANE_MINGW_TRIPLET}-g++-posix ${TOLVANE_MINGW_TRIPLET}-g++)
find_program(TOLVANE_MINGW_WINDRES NAMES ${TOLVANE_MINGW_TRIPLET}-windres)
if(NOT TOLVANE_MINGW_CC OR NOT TOLVANE_MINGW_CXX)
  message(FATAL_ERROR "mingw-w64 for i686 not found: install g++-mingw-w64-i686 "
                      "(scripts/install-deps.sh does)")
endif()
set(CMAKE_C_COMPILER ${TOLVANE_MINGW_CC})
set(CMAKE_CXX_COMPILER ${TOLVANE_MINGW_CXX})
if(TOLVANE_MINGW_WINDRES)
  set(CMAKE_RC_COMPILER ${TOLVANE_MINGW_WINDRES})
endif()

set(CMAKE_FIND_ROOT_PATH /usr/${TOLVANE_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
