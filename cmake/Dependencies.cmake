# Every library comes from a Debian package (scripts/install-deps).
find_package(PkgConfig REQUIRED)

pkg_check_modules(SODIUM REQUIRED IMPORTED_TARGET libsodium)
pkg_check_modules(UTF8PROC REQUIRED IMPORTED_TARGET libutf8proc)

# auth_password starts once per operation, and loading and binding the shared
# libcrypto was more than half of its start-up. Its archive is linked in
# instead (an OpenSSL security update then needs a rebuild). libsodium and
# libargon2 must stay shared: libsodium.a exports its own internal argon2_ctx,
# which would silently take the place of libargon2's in a static link.
option(AUTH_STATIC_LIBCRYPTO "Link OpenSSL's libcrypto statically" ON)
if(AUTH_STATIC_LIBCRYPTO)
  set(OPENSSL_USE_STATIC_LIBS TRUE)
endif()
find_package(OpenSSL 3 REQUIRED COMPONENTS Crypto)
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
