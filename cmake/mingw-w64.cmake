# Cross-builds tarvex.exe for 64-bit Windows with Debian's mingw-w64
# (package g++-mingw-w64-x86-64-posix or g++-mingw-w64-x86-64-win32):
#
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
#         -DTARVEX_PACKER=<linux build>/tarvex-pack
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TARVEX_MINGW_TRIPLET x86_64-w64-mingw32)
# The posix-threads variant first: it has std::thread and std::mutex.
find_program(CMAKE_CXX_COMPILER NAMES ${TARVEX_MINGW_TRIPLET}-g++-posix ${TARVEX_MINGW_TRIPLET}-g++
             REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${TARVEX_MINGW_TRIPLET}-windres)

# A release tarvex.exe carries no symbols.
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT "-s")

set(CMAKE_FIND_ROOT_PATH /usr/${TARVEX_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
