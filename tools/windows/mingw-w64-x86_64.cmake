# CMake toolchain for the Windows x64 cross build with Debian's mingw-w64 (tools/windows/build.py).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

# The POSIX-threads flavour is the one Debian installs as the default alternative; the
# win32 flavour compiles the module just as well.
find_program(VREL_MINGW_CXX NAMES x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-g++-win32 x86_64-w64-mingw32-g++
             REQUIRED)
set(CMAKE_CXX_COMPILER "${VREL_MINGW_CXX}")
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# No C++ runtime DLL may travel with the module: libgcc and libstdc++ are linked in (the
# module throws nothing and uses no RTTI, so hardly anything of them is pulled in).
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")

# The target interpreter cannot run here, so find_package(Python) resolves to the
# stand-in beside this file, which takes its answers from build.py.
list(PREPEND CMAKE_MODULE_PATH "${CMAKE_CURRENT_LIST_DIR}/cmake")
