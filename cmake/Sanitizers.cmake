# VANTIKO_SANITIZE: a comma-separated list handed to -fsanitize, e.g. "address,undefined" or "thread".
set(VANTIKO_SANITIZE "" CACHE STRING "Sanitizers to build with (address,undefined | thread)")
if(VANTIKO_SANITIZE)
    message(STATUS "Building with -fsanitize=${VANTIKO_SANITIZE}")
    add_compile_options(-fsanitize=${VANTIKO_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    add_link_options(-fsanitize=${VANTIKO_SANITIZE})
endif()

# VANTIKO_FUZZ: builds the libFuzzer targets in tests/fuzz (clang only). Every library they link is compiled
# with the fuzzer's coverage instrumentation too, so coverage reaches into the code under test; combine with
# VANTIKO_SANITIZE=address,undefined.
option(VANTIKO_FUZZ "Build the libFuzzer targets (needs clang)" OFF)
if(VANTIKO_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        message(FATAL_ERROR "VANTIKO_FUZZ needs clang (configure with CC=clang CXX=clang++)")
    endif()
    add_compile_options(-fsanitize=fuzzer-no-link)
endif()
