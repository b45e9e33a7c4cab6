# What ships on Windows, made by `--target package`:
#   Quillmark-<version>-win32.zip (-win64 for the x86_64 build): Quillmark.exe
#     and README.txt, to put in a folder of one's own;
#   Quillmark-<version>-win32.exe, for the 32-bit program when makensis is
#     there: an installer that puts both under Program Files, with a
#     Start-menu entry for each and an uninstaller.
set(CPACK_GENERATOR ZIP)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(CPACK_PACKAGE_FILE_NAME "Quillmark-${PROJECT_VERSION}-win32")
    find_program(QM_MAKENSIS makensis)
    if(QM_MAKENSIS)
        list(APPEND CPACK_GENERATOR NSIS)
    else()
        message(STATUS "Windows installer: off (no makensis; Debian package nsis)")
    endif()
else()
    set(CPACK_PACKAGE_FILE_NAME "Quillmark-${PROJECT_VERSION}-win64")
endif()

set(CPACK_PACKAGE_NAME Quillmark)
set(CPACK_PACKAGE_VENDOR Quillmark)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Live capture from IEEE 802.15.4 sniffer dongles into Wireshark")
set(CPACK_PACKAGE_INSTALL_DIRECTORY Quillmark)
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY Quillmark)
# Shortcuts: the program and its README; the files sit in the folder itself, not in bin/.
set(CPACK_PACKAGE_EXECUTABLES "Quillmark;Quillmark")
set(CPACK_NSIS_EXECUTABLES_DIRECTORY ".")
set(CPACK_NSIS_MENU_LINKS "README.txt" "Quillmark README")
set(CPACK_NSIS_DISPLAY_NAME Quillmark)
set(CPACK_NSIS_PACKAGE_NAME "Quillmark ${PROJECT_VERSION}")
set(CPACK_NSIS_INSTALLED_ICON_NAME Quillmark.exe)
set(CPACK_NSIS_MUI_ICON ${PROJECT_SOURCE_DIR}/res/quillmark.ico)
set(CPACK_NSIS_MUI_UNIICON ${PROJECT_SOURCE_DIR}/res/quillmark.ico)
set(CPACK_NSIS_IGNORE_LICENSE_PAGE ON)
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
include(CPack)
