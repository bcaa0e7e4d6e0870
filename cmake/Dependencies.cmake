# Every library comes from a Debian package (scripts/install-deps).
find_package(PkgConfig REQUIRED)

# Static archives of libcrypto, libsodium and utf8proc instead of the shared
# libraries: a faster start, but their security updates then need a rebuild.
# libargon2 stays shared either way: its internal symbols clash with the
# Argon2 copy inside libsodium.a.
option(AUTH_STATIC_CRYPTO "Link libcrypto, libsodium and utf8proc statically" OFF)
if(AUTH_STATIC_CRYPTO)
  set(auth_saved_suffixes ${CMAKE_FIND_LIBRARY_SUFFIXES})
  set(CMAKE_FIND_LIBRARY_SUFFIXES .a)
  set(OPENSSL_USE_STATIC_LIBS TRUE)
endif()
pkg_check_modules(SODIUM REQUIRED IMPORTED_TARGET libsodium)
pkg_check_modules(UTF8PROC REQUIRED IMPORTED_TARGET libutf8proc)
find_package(OpenSSL 3 REQUIRED COMPONENTS Crypto)
if(AUTH_STATIC_CRYPTO)
  set(CMAKE_FIND_LIBRARY_SUFFIXES ${auth_saved_suffixes})
endif()
pkg_check_modules(ARGON2 REQUIRED IMPORTED_TARGET libargon2)
pkg_check_modules(SQLITE3 REQUIRED IMPORTED_TARGET sqlite3)
find_package(nlohmann_json 3 REQUIRED)
find_package(Threads REQUIRED)
if(AUTH_BUILD_TESTS)
  find_package(GTest REQUIRED)
endif()
if(AUTH_BUILD_BENCH AND NOT AUTH_LIBFUZZER)
  find_package(benchmark REQUIRED)
endif()
