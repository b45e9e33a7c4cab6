# Source selection and test helpers shared by all subsystems.

# qm_os_sources(<out> [COMMON <files>...] [POSIX <files>...] [WIN32 <files>...])
# Names the files of a library per platform: COMMON everywhere, POSIX on
# Linux (and other POSIX systems), WIN32 on Windows. Files are relative to the
# calling directory. Every OS half is listed by name here, so a glance at a
# CMakeLists.txt shows what each platform compiles.
function(qm_os_sources out)
    cmake_parse_arguments(ARG "" "" "COMMON;POSIX;WIN32" ${ARGN})
    set(srcs ${ARG_COMMON})
    if(WIN32)
        list(APPEND srcs ${ARG_WIN32})
    else()
        list(APPEND srcs ${ARG_POSIX})
    endif()
    list(TRANSFORM srcs PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/)
    set(${out} ${srcs} PARENT_SCOPE)
endfunction()

# qm_threaded_test(<target>)
# Records the executable of a test labelled "threaded" in the global property
# QM_THREADED_TEST_TARGETS. tests/CMakeLists.txt makes the target
# qm_threaded_tests of them (with the programs they run), which is all the
# ThreadSanitizer build builds. A test given the label by hand calls this too.
function(qm_threaded_test target)
    set_property(GLOBAL APPEND PROPERTY QM_THREADED_TEST_TARGETS ${target})
endfunction()

# qm_add_gtest(<file.cpp> LIBS <libs...> [LABELS <labels...>])
# One GoogleTest executable per test file, named after the file. A file whose
# name ends in _mt_test.cpp runs threads and gets the "threaded" label, which
# the ThreadSanitizer build runs. In a cross build ctest runs the program
# through CMAKE_CROSSCOMPILING_EMULATOR (wine64 for Windows).
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
    if("threaded" IN_LIST labels)
        qm_threaded_test(${name})
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
    if("threaded" IN_LIST labels)
        qm_threaded_test(${name})
    endif()
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES LABELS "${labels}" TIMEOUT 300
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
endfunction()
