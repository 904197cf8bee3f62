# VANTIKO_SANITIZE: a comma-separated list handed to -fsanitize, e.g. "address,undefined" or "thread".
set(VANTIKO_SANITIZE "" CACHE STRING "Sanitizers to build with (address,undefined | thread)")
if(VANTIKO_SANITIZE)
    message(STATUS "Building with -fsanitize=${VANTIKO_SANITIZE}")
    add_compile_options(-fsanitize=${VANTIKO_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    add_link_options(-fsanitize=${VANTIKO_SANITIZE})
endif()
