# Every library comes from a Debian package (scripts/install-deps) and is
# linked shared, so the distribution's security updates reach the programs
# without a rebuild.
find_package(PkgConfig REQUIRED)

pkg_check_modules(SODIUM REQUIRED IMPORTED_TARGET libsodium)
pkg_check_modules(ARGON2 REQUIRED IMPORTED_TARGET libargon2)
pkg_check_modules(NETTLE REQUIRED IMPORTED_TARGET nettle)
pkg_check_modules(UTF8PROC REQUIRED IMPORTED_TARGET libutf8proc)
pkg_check_modules(SQLITE3 REQUIRED IMPORTED_TARGET sqlite3)
pkg_check_modules(SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
find_package(nlohmann_json 3 REQUIRED)
find_package(Threads REQUIRED)
if(AUTH_BUILD_TESTS)
  find_package(GTest REQUIRED)
endif()
if(AUTH_BUILD_BENCH AND NOT AUTH_LIBFUZZER)
  find_package(benchmark REQUIRED)
endif()
