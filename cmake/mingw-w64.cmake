# Cross-compiling for 64-bit Windows with Debian's mingw-w64: the -posix
# compilers (std::thread and std::mutex need them), programs linked
# statically so no runtime DLL has to ship beside them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TREVIK_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TREVIK_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TREVIK_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${TREVIK_MINGW}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TREVIK_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Static zlib: the import library would make the program need zlib1.dll.
set(ZLIB_USE_STATIC_LIBS ON)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
