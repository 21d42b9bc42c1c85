# Cross-building the uploader for 64-bit Windows on Debian with mingw-w64
# (g++-mingw-w64-x86-64-posix), against a Qt and an RtMidi built for it:
#
#   cmake -S . -B build/win64 -G Ninja -DCMAKE_BUILD_TYPE=Release \
#         -DCMAKE_TOOLCHAIN_FILE=packaging/windows/mingw-w64-x86_64.cmake -DCMAKE_PREFIX_PATH=/opt/qt5-win64-static
#
# packaging/windows/make-win64-zip.sh does this, and packs the program for Windows users.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

# The posix thread model: std::thread and std::mutex, which RtMidi and the
# receive path use; the win32 one has neither (and a Qt built with one
# compiler's runtime wants that same runtime).
set(TSU_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TSU_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TSU_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${TSU_MINGW_TRIPLET}-windres)

# Libraries, headers and CMake packages only from the mingw sysroot and the
# prefixes given (the Windows Qt and RtMidi); programs from the build
# machine, which is where Qt's moc, rcc and uic for a cross build run.
set(CMAKE_FIND_ROOT_PATH /usr/${TSU_MINGW_TRIPLET} ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config would answer with the build machine's Linux libraries: it may
# look only in the sysroot, which has no .pc files.
set(ENV{PKG_CONFIG_LIBDIR} /usr/${TSU_MINGW_TRIPLET}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} /usr/${TSU_MINGW_TRIPLET})
