# The program as a person at a terminal meets it, and the backend operations
# beneath it, against the scripted daemon and against accountd.
auth_e2e_test(cli_e2e_test SOURCES cli_e2e_test.cpp LIBS auth_password_backend tavrin_account)
add_dependencies(cli_e2e_test auth_password accountd)

auth_e2e_test(backend_operations_e2e_test SOURCES backend_operations_test.cpp LIBS auth_password_backend tavrin_account)
add_dependencies(backend_operations_e2e_test accountd)
