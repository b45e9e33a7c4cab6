# What ships on Windows, made by `--target package`, for each architecture:
#   Quillmark-<version>-win64.zip / -win32.zip: Quillmark.exe,
#     quillmark-capture.exe, quillmark-extcap.exe and README.txt, to put in a
#     folder of one's own;
#   Quillmark-<version>-win64.exe / -win32.exe, when makensis is there: an
#     installer that puts them under Program Files (the 64-bit one in
#     "Program Files", the 32-bit one in "Program Files (x86)" on 64-bit
#     Windows), with Start-menu entries and an uninstaller.
# x64 (the x86_64 build, the one the tests run under Wine) is the one to
# recommend; x86 (i686, the original platform) is for 32-bit Windows.
# The programs are stripped: a RelWithDebInfo build ships no debug sections.
set(CPACK_GENERATOR ZIP)
find_program(QM_MAKENSIS makensis)
if(QM_MAKENSIS)
    list(APPEND CPACK_GENERATOR NSIS)
else()
    message(STATUS "Windows installer: off (no makensis; Debian package nsis)")
endif()
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(CPACK_PACKAGE_FILE_NAME "Quillmark-${PROJECT_VERSION}-win32")
    set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES")
    set(QM_WINDOWS_ARCH x86)
else()
    set(CPACK_PACKAGE_FILE_NAME "Quillmark-${PROJECT_VERSION}-win64")
    set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
    set(QM_WINDOWS_ARCH x64)
endif()
set(CPACK_STRIP_FILES ON)

set(CPACK_PACKAGE_NAME Quillmark)
set(CPACK_PACKAGE_VENDOR Quillmark)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Live capture from IEEE 802.15.4 sniffer dongles into Wireshark")
set(CPACK_PACKAGE_INSTALL_DIRECTORY Quillmark)
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY Quillmark)
# Shortcuts: the program and its README; the files sit in the folder itself, not in bin/.
set(CPACK_PACKAGE_EXECUTABLES "Quillmark;Quillmark")
set(CPACK_NSIS_EXECUTABLES_DIRECTORY ".")
set(CPACK_NSIS_MENU_LINKS "README.txt" "Quillmark README")
# Both builds register as "Quillmark": the installer of one offers to
# uninstall the other first. The list of installed programs tells them apart.
set(CPACK_NSIS_DISPLAY_NAME "Quillmark (${QM_WINDOWS_ARCH})")
set(CPACK_NSIS_PACKAGE_NAME "Quillmark ${PROJECT_VERSION}")
set(CPACK_NSIS_INSTALLED_ICON_NAME Quillmark.exe)
set(CPACK_NSIS_MUI_ICON ${PROJECT_SOURCE_DIR}/res/quillmark.ico)
set(CPACK_NSIS_MUI_UNIICON ${PROJECT_SOURCE_DIR}/res/quillmark.ico)
set(CPACK_NSIS_IGNORE_LICENSE_PAGE ON)
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
include(CPack)
