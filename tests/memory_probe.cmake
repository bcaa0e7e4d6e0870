# The program built once more with a hook that, as the process exits, searches
# its own memory for given bytes: the proof that secrets do not outlive their
# use. Test-only; never installed.
add_executable(auth_password_memory_probe
  ${PROJECT_SOURCE_DIR}/libexec/auth_password/src/main.cpp
  ${PROJECT_SOURCE_DIR}/libexec/auth_password/src/memory_probe.cpp)
target_compile_definitions(auth_password_memory_probe PRIVATE AUTH_MEMORY_PROBE)
target_link_libraries(auth_password_memory_probe PRIVATE auth_password_core)
auth_project_target(auth_password_memory_probe)
# Linked like the real program, so the memory searched is laid out alike.
if(NOT AUTH_SANITIZE AND NOT AUTH_LIBFUZZER)
  target_link_options(auth_password_memory_probe PRIVATE -static-libstdc++ -static-libgcc)
endif()

auth_e2e_test(memory_probe_e2e_test SOURCES memory_probe_test.cpp LIBS auth_password_backend tavrin_account)
target_compile_definitions(memory_probe_e2e_test PRIVATE
  MEMORY_PROBE_BIN="$<TARGET_FILE:auth_password_memory_probe>")
add_dependencies(memory_probe_e2e_test auth_password_memory_probe accountd)
