# Cross build of the Windows DLLs and programs with Debian's MinGW-w64 (posix thread model, for
# std::thread and std::mutex). Everything runs under Wine on the build machine: the test stage
# and gtest use it as the emulator.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KX_MINGW_PREFIX x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${KX_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KX_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KX_MINGW_PREFIX}-windres)
set(CMAKE_AR ${KX_MINGW_PREFIX}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${KX_MINGW_PREFIX}-ranlib CACHE FILEPATH "")

# Windows 7 API level (GetIpInterfaceEntry and the other Vista-and-later IP Helper calls); the
# lean windows.h keeps winsock.h out and min/max macros off std::min and std::max; M_PI as on
# glibc.
set(CMAKE_C_FLAGS_INIT "-D_WIN32_WINNT=0x0601 -DWIN32_LEAN_AND_MEAN -DNOMINMAX -D_USE_MATH_DEFINES")
set(CMAKE_CXX_FLAGS_INIT "-D_WIN32_WINNT=0x0601 -DWIN32_LEAN_AND_MEAN -DNOMINMAX -D_USE_MATH_DEFINES")

# Libraries and headers of the target come from the MinGW tree only; programs from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${KX_MINGW_PREFIX} ${CMAKE_CURRENT_LIST_DIR}/../windows)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Header-only packages of the host (stb, nlohmann/json, CLI11) build for Windows unchanged. They
# are offered through a folder of links, without the rest of /usr/include (glibc's headers must
# never reach MinGW).
set(KX_HOST_HEADERS ${CMAKE_BINARY_DIR}/kx-host-headers)
foreach(dir stb nlohmann CLI)
  if(EXISTS /usr/include/${dir} AND NOT EXISTS ${KX_HOST_HEADERS}/${dir})
    file(MAKE_DIRECTORY ${KX_HOST_HEADERS})
    file(CREATE_LINK /usr/include/${dir} ${KX_HOST_HEADERS}/${dir} SYMBOLIC)
  endif()
endforeach()
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES ${KX_HOST_HEADERS})
set(nlohmann_json_DIR ${CMAKE_CURRENT_LIST_DIR}/../windows CACHE PATH "")

# The compiler's own runtime (libgcc, libstdc++, winpthread) goes into every DLL and program, so
# that they need nothing beyond the system's DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

find_program(KX_WINE64 NAMES wine64 wine PATHS /usr/lib/wine)
if(KX_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KX_WINE64})
endif()
set(ZLIB_USE_STATIC_LIBS ON)  # zlib into kxeye.exe, not zlib1.dll beside it
