# Cross-build for 64-bit Windows with Debian's MinGW-w64 (posix thread
# model). The compilers are named with their -posix suffix: the win32 thread
# model lacks std::mutex and std::thread, and wins the alternatives when
# another package pulls it in.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TR52K_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TR52K_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TR52K_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${TR52K_MINGW}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TR52K_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every .exe stands alone: the C and C++ runtimes and winpthread linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Tests run the programs under Wine.
find_program(TR52K_WINE NAMES wine wine64)
if(TR52K_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TR52K_WINE})
endif()
