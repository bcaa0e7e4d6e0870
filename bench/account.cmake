# get_secret round trips against accountd, and the bare socket floor.
add_executable(bench_account bench_account.cpp)
auth_project_target(bench_account)
target_link_libraries(bench_account PRIVATE tavrin_account benchmark::benchmark benchmark::benchmark_main)
target_compile_definitions(bench_account PRIVATE ACCOUNTD_BIN="$<TARGET_FILE:accountd>")
add_dependencies(bench_account accountd)
