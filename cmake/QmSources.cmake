# Source selection shared by all subsystems.
#
# qm_platform_sources(<out> <glob>...) collects the .cpp files matching the
# globs and keeps only the backend of the platform being built: *_posix.cpp on
# POSIX systems, *_win32.cpp on Windows.
function(qm_platform_sources out)
    file(GLOB srcs CONFIGURE_DEPENDS ${ARGN})
    if(WIN32)
        list(FILTER srcs EXCLUDE REGEX "_posix\\.cpp$")
    else()
        list(FILTER srcs EXCLUDE REGEX "_win32\\.cpp$")
    endif()
    set(${out} ${srcs} PARENT_SCOPE)
endfunction()

# qm_add_gtest(<file.cpp> LIBS <libs...> [LABELS <labels...>])
# One GoogleTest executable per test file, named after the file. A file whose
# name ends in _mt_test.cpp runs threads and gets the "threaded" label, which
# the ThreadSanitizer build runs.
function(qm_add_gtest file)
    cmake_parse_arguments(ARG "" "" "LIBS;LABELS" ${ARGN})
    get_filename_component(name ${file} NAME_WE)
    add_executable(${name} ${file})
    # Helpers shared by the tests' directories: #include "common/...".
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
    set(labels ${ARG_LABELS})
    if(name MATCHES "_mt_test$")
        list(APPEND labels threaded)
    endif()
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES LABELS "${labels}" TIMEOUT 300)
endfunction()

# qm_add_qtest(<file.cpp> LIBS <libs...> [LABELS ...]): one Qt Test executable
# per file, run on the offscreen platform.
function(qm_add_qtest file)
    cmake_parse_arguments(ARG "" "" "LIBS;LABELS" ${ARGN})
    get_filename_component(name ${file} NAME_WE)
    add_executable(${name} ${file})
    set_target_properties(${name} PROPERTIES AUTOMOC ON)
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} Qt6::Test Qt6::Widgets Threads::Threads)
    set(labels ${ARG_LABELS} gui)
    if(name MATCHES "_mt_qtest$")
        list(APPEND labels threaded)
    endif()
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES LABELS "${labels}" TIMEOUT 300
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
endfunction()
