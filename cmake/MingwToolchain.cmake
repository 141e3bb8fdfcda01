# Shared body of the two MinGW-w64 toolchain files: set QM_TRIPLET and CMAKE_SYSTEM_PROCESSOR,
# then include this. Debian's posix-thread compilers, static linking; tests run under Wine
# through scripts/wine-run.
set(CMAKE_SYSTEM_NAME Windows)
# Kept in the cache: scripts/wine-session.sh reads it to make a prefix of the build's kind.
set(QM_TRIPLET ${QM_TRIPLET} CACHE STRING "MinGW-w64 target triplet")

set(CMAKE_C_COMPILER ${QM_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QM_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${QM_TRIPLET}-windres)
set(CMAKE_AR ${QM_TRIPLET}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${QM_TRIPLET}-ranlib CACHE FILEPATH "")

# objdump's name for the build's PE format, which the program checks expect.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
    set(QM_PE_FORMAT pei-i386)
else()
    set(QM_PE_FORMAT pei-x86-64)
endif()

# The dependency prefix made by scripts/setup-deps.sh for this triplet.
# CMake reads this file again for every compiler check, in the same process and without the
# cache: the prefix must come out the same there (variable passed on, or the environment), or the
# pkg-config path set below would point the rest of the configure at another prefix.
if(NOT DEFINED QM_DEPS_PREFIX)
    if(DEFINED ENV{QM_DEPS_PREFIX})
        set(QM_DEPS_PREFIX $ENV{QM_DEPS_PREFIX})
    else()
        set(QM_DEPS_PREFIX /opt/qm-mingw-deps/current-${QM_TRIPLET})
    endif()
endif()
set(QM_DEPS_PREFIX ${QM_DEPS_PREFIX} CACHE PATH "${QM_TRIPLET} static dependency prefix")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QM_DEPS_PREFIX)

set(CMAKE_FIND_ROOT_PATH /usr/${QM_TRIPLET} ${QM_DEPS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR} ${QM_DEPS_PREFIX}/lib/pkgconfig)
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# Windows 7 is the oldest target; the dependencies are built with the same value.
add_compile_definitions(_WIN32_WINNT=0x0601 WINVER=0x0601 UNICODE _UNICODE)

# No MinGW runtime DLL may be needed beside an exe or an adapter DLL.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

get_filename_component(QM_SOURCE_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${QM_SOURCE_ROOT}/scripts/wine-run)
