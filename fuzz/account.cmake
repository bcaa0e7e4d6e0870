# The account-service client's decoders and the daemon's request handling.
auth_fuzz_target(fuzz_account_reply fuzz_account_reply.cpp tavrin_account)
auth_fuzz_target(fuzz_security_flags fuzz_security_flags.cpp tavrin_account)
auth_fuzz_target(fuzz_endpoint_uri fuzz_endpoint_uri.cpp tavrin_account)
auth_fuzz_target(fuzz_accountd_request fuzz_accountd_request.cpp accountd_core)
