# The account-service client against a scripted daemon, and against accountd.
auth_e2e_test(account_client_e2e_test SOURCES account_client_test.cpp LIBS tavrin_account)
auth_e2e_test(accountd_e2e_test SOURCES accountd_test.cpp LIBS tavrin_account)
add_dependencies(accountd_e2e_test accountd)
