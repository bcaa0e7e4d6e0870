# Password hash and envelope next to bare libsodium, libargon2 calls.
add_executable(bench_backend bench_backend.cpp)
auth_project_target(bench_backend)
target_link_libraries(bench_backend PRIVATE auth_password_backend PkgConfig::SODIUM PkgConfig::ARGON2
                      benchmark::benchmark benchmark::benchmark_main)
