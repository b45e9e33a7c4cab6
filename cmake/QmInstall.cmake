# Installing on Linux: `cmake --install` (GNUInstallDirs) and, through
# cmake/QmDebian.cmake, the Debian package of `cpack -G DEB`.
#
#   bin/                         quillmark, quillmark-capture, quillmark-extcap
#   <Wireshark's extcap folder>  quillmark-extcap, a relative link to bin/'s
#   share/applications           <QM_APP_ID>.desktop (res/quillmark.desktop)
#   share/icons/hicolor          quillmark.png in 16..256 px, quillmark.svg
#   share/metainfo               <QM_APP_ID>.metainfo.xml, the AppStream metainfo
#   share/man/man1               quillmark(1), quillmark-capture(1), quillmark-extcap(1), gzipped
#   share/doc/quillmark          README.md, copyright, changelog.gz (not DOCDIR's "Quillmark")
#
# An installed program keeps its settings per user (~/.config/Quillmark): the
# folders installed into are compiled into the settings store
# (QM_INSTALL_DIRS, see SettingsExeDirInstalled in base/settings.h).
include(GNUInstallDirs)

# Where the build machine's Wireshark looks for global extcaps: its own word
# (`tshark -G folders`: "Extcap path" in 4.0, "Global Extcap path" later),
# else its pkg-config file, else where Debian puts it. "" installs no link.
if(NOT DEFINED CACHE{QM_WIRESHARK_EXTCAP_DIR})
    set(_qm_extcap_dir "")
    set(_qm_extcap_from "")
    find_program(QM_TSHARK tshark)
    if(QM_TSHARK)
        # WIRESHARK_EXTCAP_DIR would replace the folder tshark names.
        execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=WIRESHARK_EXTCAP_DIR ${QM_TSHARK} -G folders
            OUTPUT_VARIABLE _qm_folders ERROR_QUIET RESULT_VARIABLE _qm_rc TIMEOUT 30)
        if(_qm_rc EQUAL 0 AND _qm_folders MATCHES "(^|\n)(Global )?[Ee]xtcap path:[ \t]*([^\n]+)")
            string(STRIP "${CMAKE_MATCH_3}" _qm_extcap_dir)
            set(_qm_extcap_from "tshark -G folders")
        endif()
    endif()
    if(NOT _qm_extcap_dir)
        find_package(PkgConfig QUIET)
        if(PKG_CONFIG_FOUND)
            pkg_get_variable(_qm_extcap_dir wireshark extcapdir)
            if(NOT _qm_extcap_dir)
                pkg_get_variable(_qm_ws_libdir wireshark libdir)
                if(_qm_ws_libdir)
                    set(_qm_extcap_dir "${_qm_ws_libdir}/wireshark/extcap")
                endif()
            endif()
            if(_qm_extcap_dir)
                set(_qm_extcap_from "pkg-config wireshark")
            endif()
        endif()
    endif()
    if(NOT _qm_extcap_dir)
        if(CMAKE_LIBRARY_ARCHITECTURE)
            set(_qm_extcap_dir "/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/wireshark/extcap")
        else()
            set(_qm_extcap_dir "/usr/lib/wireshark/extcap")
        endif()
        set(_qm_extcap_from "no Wireshark found; Debian's folder")
    endif()
    set(QM_WIRESHARK_EXTCAP_DIR "${_qm_extcap_dir}" CACHE PATH
        "Wireshark's global extcap folder, where the install puts quillmark-extcap (\"\": nowhere)")
    message(STATUS "Wireshark's extcap folder: ${QM_WIRESHARK_EXTCAP_DIR} (${_qm_extcap_from})")
endif()
if(QM_WIRESHARK_EXTCAP_DIR AND NOT IS_ABSOLUTE "${QM_WIRESHARK_EXTCAP_DIR}")
    message(FATAL_ERROR "QM_WIRESHARK_EXTCAP_DIR must be an absolute folder: ${QM_WIRESHARK_EXTCAP_DIR}")
endif()

# What counts as installed: the prefix's bin/ and the extcap folder, unless
# the prefix's bin/ is this build's own output folder (a program there
# behaves as one in the build tree).
set(_qm_install_dirs "")
get_filename_component(_qm_bindir "${CMAKE_INSTALL_FULL_BINDIR}" ABSOLUTE)
if(NOT _qm_bindir STREQUAL CMAKE_RUNTIME_OUTPUT_DIRECTORY)
    list(APPEND _qm_install_dirs "${_qm_bindir}")
endif()
if(QM_WIRESHARK_EXTCAP_DIR)
    list(APPEND _qm_install_dirs "${QM_WIRESHARK_EXTCAP_DIR}")
endif()
list(JOIN _qm_install_dirs ":" _qm_install_dirs)
target_compile_definitions(qm_settings PRIVATE QM_INSTALL_DIRS="${_qm_install_dirs}")

# The programs.
set(QM_INSTALLED_PROGRAMS quillmark-capture quillmark-extcap)
if(TARGET quillmark)
    list(PREPEND QM_INSTALLED_PROGRAMS quillmark)
endif()
install(TARGETS ${QM_INSTALLED_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The extcap in Wireshark's folder: a relative link to the program in bin/,
# made at install time, so that it follows the prefix and DESTDIR (cpack
# installs with both). Through the link the program is the one in bin/: it
# keeps its settings per user, the dialog's.
if(QM_WIRESHARK_EXTCAP_DIR)
    install(CODE "
        set(_qm_dir \"${QM_WIRESHARK_EXTCAP_DIR}\")
        set(_qm_exe \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/quillmark-extcap\")
        file(RELATIVE_PATH _qm_target \"\${_qm_dir}\" \"\${_qm_exe}\")
        set(_qm_link \"\$ENV{DESTDIR}\${_qm_dir}/quillmark-extcap\")
        message(STATUS \"Installing: \${_qm_link} -> \${_qm_target}\")
        file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${_qm_dir}\")
        file(CREATE_LINK \"\${_qm_target}\" \"\${_qm_link}\" SYMBOLIC)
        list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${_qm_dir}/quillmark-extcap\")
    ")
endif()

# The menu entry, the icons and the AppStream metainfo. AppStream wants a
# reverse-DNS id (QM_APP_ID), and the desktop file named after it.
if(TARGET quillmark)
    install(FILES ${PROJECT_SOURCE_DIR}/res/quillmark.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications
        RENAME ${QM_APP_ID}.desktop)
    foreach(size 16 32 48 64 128 256)
        install(FILES ${PROJECT_SOURCE_DIR}/res/quillmark_${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps RENAME quillmark.png)
    endforeach()
    install(FILES ${PROJECT_SOURCE_DIR}/res/quillmark.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
    configure_file(${PROJECT_SOURCE_DIR}/res/linux/quillmark.metainfo.xml.in
        ${CMAKE_BINARY_DIR}/res/${QM_APP_ID}.metainfo.xml @ONLY)
    install(FILES ${CMAKE_BINARY_DIR}/res/${QM_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
endif()

# The man pages (plain roff in docs/man, the version filled in) and the
# changelog, gzipped without a time stamp as Debian wants them.
find_program(QM_GZIP gzip REQUIRED)
set(QM_MAN_PAGES quillmark-capture quillmark-extcap)
if(TARGET quillmark)
    list(PREPEND QM_MAN_PAGES quillmark)
endif()
set(_qm_gz_files "")
foreach(page ${QM_MAN_PAGES})
    configure_file(${PROJECT_SOURCE_DIR}/docs/man/${page}.1 ${CMAKE_BINARY_DIR}/man/${page}.1 @ONLY)
    list(APPEND _qm_gz_files ${CMAKE_BINARY_DIR}/man/${page}.1)
endforeach()
# The changelog is kept by hand (Debian's format: lintian reads it); its top
# entry names the version being built.
file(STRINGS ${PROJECT_SOURCE_DIR}/res/linux/changelog _qm_changelog_top LIMIT_COUNT 1)
if(NOT _qm_changelog_top MATCHES "^quillmark \\(${PROJECT_VERSION}\\) ")
    message(WARNING "res/linux/changelog: the top entry is not for version ${PROJECT_VERSION}: ${_qm_changelog_top}")
endif()
configure_file(${PROJECT_SOURCE_DIR}/res/linux/changelog ${CMAKE_BINARY_DIR}/doc/changelog COPYONLY)
list(APPEND _qm_gz_files ${CMAKE_BINARY_DIR}/doc/changelog)
set(_qm_gz_outputs "")
foreach(file ${_qm_gz_files})
    add_custom_command(OUTPUT ${file}.gz
        COMMAND ${QM_GZIP} -9nc ${file} > ${file}.gz
        DEPENDS ${file} VERBATIM)
    list(APPEND _qm_gz_outputs ${file}.gz)
endforeach()
add_custom_target(qm_install_docs ALL DEPENDS ${_qm_gz_outputs})
foreach(page ${QM_MAN_PAGES})
    install(FILES ${CMAKE_BINARY_DIR}/man/${page}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/res/linux/copyright
    ${CMAKE_BINARY_DIR}/doc/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/quillmark)

# Every long option a program's --help names is in its man page.
if(BUILD_TESTING)
    foreach(prog quillmark-capture quillmark-extcap)
        add_test(NAME man_page_options_${prog}
            COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:${prog}>
                -DMAN_PAGE=${PROJECT_SOURCE_DIR}/docs/man/${prog}.1
                -P ${PROJECT_SOURCE_DIR}/tests/install/man_page_options.cmake)
    endforeach()
endif()

include(${PROJECT_SOURCE_DIR}/cmake/QmDebian.cmake)
