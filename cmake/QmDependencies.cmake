# Third-party packages, per platform and per option:
#
#                 Linux                         Windows (mingw-w64 cross build)
#   threads       always                        always (posix-thread compilers)
#   Qt 6          QM_BUILD_GUI                  never (the dialog is native Win32)
#   Qt6::Test     QM_BUILD_GUI + BUILD_TESTING  never
#   libudev       always (device discovery)     never (SetupDi)
#   libpcap       always (simulated dongle)     never
#   GoogleTest    BUILD_TESTING (installed)     BUILD_TESTING (built from QM_GTEST_SOURCE_DIR)
find_package(Threads REQUIRED)

if(QM_BUILD_GUI AND NOT WIN32)
    set(QM_QT_COMPONENTS Core Widgets)
    if(BUILD_TESTING)
        list(APPEND QM_QT_COMPONENTS Test)
    endif()
    find_package(Qt6 REQUIRED COMPONENTS ${QM_QT_COMPONENTS})
endif()

if(NOT WIN32)
    find_package(PkgConfig REQUIRED)
    pkg_check_modules(UDEV REQUIRED IMPORTED_TARGET libudev)
    pkg_check_modules(PCAP REQUIRED IMPORTED_TARGET libpcap)
endif()

if(BUILD_TESTING)
    if(CMAKE_CROSSCOMPILING)
        # Built with the project's compiler; not part of "all" unless a test links it.
        if(NOT EXISTS ${QM_GTEST_SOURCE_DIR}/CMakeLists.txt)
            message(FATAL_ERROR "GoogleTest sources not found in ${QM_GTEST_SOURCE_DIR} "
                "(Debian package googletest), or configure with -DBUILD_TESTING=OFF")
        endif()
        set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
        set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
        set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
        add_subdirectory(${QM_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
        # Not our code: its warnings are not our errors.
        target_compile_options(gtest PRIVATE -w)
        target_compile_options(gtest_main PRIVATE -w)
        if(NOT TARGET GTest::gtest)   # GoogleTest 1.11+ names them itself
            add_library(GTest::gtest ALIAS gtest)
            add_library(GTest::gtest_main ALIAS gtest_main)
        endif()
    else()
        find_package(GTest REQUIRED)
    endif()
endif()
