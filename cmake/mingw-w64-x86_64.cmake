# Cross-builds qmx.dll and the test programs for 64-bit Windows with
# MinGW-w64 on a Linux machine; ctest runs the programs under Wine.
#
# The -posix compilers are the ones whose libstdc++ has std::mutex and
# std::thread. Everything links with -static, so that qmx.dll and the test
# programs import only DLLs that every Windows (and Wine) already has, and
# a host can load the DLL without shipping the MinGW runtime beside it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QMX_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QMX_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QMX_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${QMX_MINGW_TRIPLET}-windres)

# Libraries, headers and packages come only from the MinGW sysroot, never
# from the Linux system (its GTest would not link); programs from anywhere.
set(CMAKE_FIND_ROOT_PATH /usr/${QMX_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# ctest (and gtest's test discovery) start every Windows program through it.
find_program(QMX_WINE wine)
if(QMX_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QMX_WINE})
endif()
