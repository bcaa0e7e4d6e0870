# Warnings, hardening and sanitizers for the project's own targets.
include(CheckPIESupported)
check_pie_supported()
set(CMAKE_POSITION_INDEPENDENT_CODE ON)

set(AUTH_WARNINGS -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
    -Wno-missing-field-initializers -Wnon-virtual-dtor -Wold-style-cast -Wcast-align -Wnull-dereference -Wformat=2)
# GCC 12 at -O3 reports impossible overlaps in "literal" + std::string
# (its bug 105329); the warning is noise there, not a finding.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  list(APPEND AUTH_WARNINGS -Wno-restrict)
endif()
if(AUTH_WERROR)
  list(APPEND AUTH_WARNINGS -Werror)
endif()

# Debian's hardening: stack protector, fortified libc calls (needs optimisation),
# PIE and full RELRO.
set(AUTH_HARDENING -fstack-protector-strong -fstack-clash-protection)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64")
  list(APPEND AUTH_HARDENING -fcf-protection)
endif()
if(NOT AUTH_SANITIZE AND NOT AUTH_LIBFUZZER)
  list(APPEND AUTH_HARDENING $<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2>)
endif()
add_link_options(-Wl,-z,relro,-z,now)

if(AUTH_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
endif()

if(AUTH_LIBFUZZER)
  add_compile_options(-stdlib=libc++ -fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  # The fuzzer runtime itself is built against libstdc++, so the link keeps
  # the default C++ library and adds libc++ for our code.
  add_link_options(-fsanitize=address,undefined)
  link_libraries(c++ c++abi)
endif()

# auth_project_target(TARGET): warnings and hardening for one of our targets.
function(auth_project_target target)
  target_compile_options(${target} PRIVATE ${AUTH_WARNINGS} ${AUTH_HARDENING})
endfunction()
