# Warnings and sanitizers per compiler.
if(MSVC)
    add_compile_options(/W4 /WX)
    if(NOT QM_SANITIZE STREQUAL "" OR QM_FUZZ)
        message(FATAL_ERROR "QM_SANITIZE and QM_FUZZ need GCC or Clang")
    endif()
    return()
endif()

if(CMAKE_CXX_COMPILER_ID MATCHES "^(GNU|Clang|AppleClang)$")
    add_compile_options(-Wall -Wextra -Werror)
else()
    message(WARNING "Unknown compiler ${CMAKE_CXX_COMPILER_ID}: no warning flags set")
endif()

if(QM_SANITIZE STREQUAL "address")
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
elseif(QM_SANITIZE STREQUAL "thread")
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
elseif(NOT QM_SANITIZE STREQUAL "")
    message(FATAL_ERROR "QM_SANITIZE must be '', 'address' or 'thread'")
endif()

if(QM_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        message(FATAL_ERROR "QM_FUZZ needs clang (libFuzzer)")
    endif()
    # Coverage instrumentation for everything the fuzz targets link.
    add_compile_options(-fsanitize=fuzzer-no-link)
endif()

# Link-time optimisation of the programs and the benchmarks. The serial
# reader's wake-up runs code from five libraries, cold, a couple of thousand
# times a second; inlined across them it is some 16 % shorter. The libraries
# keep ordinary object code beside the intermediate code, and everything else
# (the tests) links that as before, without the optimiser's link time.
option(QM_LTO "Link-time optimise the programs and benchmarks (GCC release builds)" ON)
if(QM_LTO AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND QM_SANITIZE STREQUAL "" AND NOT QM_FUZZ
        AND NOT CMAKE_CROSSCOMPILING AND CMAKE_BUILD_TYPE MATCHES "^(Release|RelWithDebInfo|MinSizeRel)$")
    add_compile_options(-flto=auto -ffat-lto-objects)
    # GCC optimises any link of such objects unless told not to.
    add_link_options("$<IF:$<BOOL:$<TARGET_PROPERTY:QM_LINK_OPTIMISED>>,-flto=auto,-fno-lto>")
endif()

# The given programs link with link-time optimisation where it is on (the
# property is read only then).
function(qm_link_optimised)
    set_target_properties(${ARGN} PROPERTIES QM_LINK_OPTIMISED ON)
endfunction()
