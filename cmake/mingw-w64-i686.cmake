# Cross build for 32-bit Windows with Debian's mingw-w64 toolchain (win32
# thread model: nothing to link for threads). libcrypto comes from
# scripts/build-openssl-mingw.sh, which caches it under
# $PATCHER_DEPS_CACHE or ~/.cache/patcher-deps.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(PATCHER_MINGW_TRIPLET i686-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${PATCHER_MINGW_TRIPLET}-gcc-win32
                                    ${PATCHER_MINGW_TRIPLET}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${PATCHER_MINGW_TRIPLET}-g++-win32
                                      ${PATCHER_MINGW_TRIPLET}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${PATCHER_MINGW_TRIPLET}-windres REQUIRED)

if(DEFINED ENV{PATCHER_DEPS_CACHE})
  set(_patcher_deps "$ENV{PATCHER_DEPS_CACHE}")
else()
  set(_patcher_deps "$ENV{HOME}/.cache/patcher-deps")
endif()
set(OPENSSL_ROOT_DIR "${_patcher_deps}/openssl-${PATCHER_MINGW_TRIPLET}"
    CACHE PATH "libcrypto cross-built for ${PATCHER_MINGW_TRIPLET}")
set(OPENSSL_USE_STATIC_LIBS TRUE)
if(NOT EXISTS "${OPENSSL_ROOT_DIR}/lib/libcrypto.a")
  message(FATAL_ERROR "No cross-built libcrypto in ${OPENSSL_ROOT_DIR}: "
                      "run scripts/build-openssl-mingw.sh first.")
endif()

set(CMAKE_FIND_ROOT_PATH /usr/${PATCHER_MINGW_TRIPLET} "${OPENSSL_ROOT_DIR}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
