# The password prompt driven through a pseudo-terminal.
add_executable(prompt_probe prompt_probe.cpp)
auth_project_target(prompt_probe)
target_link_libraries(prompt_probe PRIVATE prompt)

auth_e2e_test(prompt_e2e_test SOURCES prompt_e2e_test.cpp)
target_compile_definitions(prompt_e2e_test PRIVATE PROMPT_PROBE_BIN="$<TARGET_FILE:prompt_probe>")
add_dependencies(prompt_e2e_test prompt_probe)
