# The Debian package: `cpack -G DEB` in a Linux build (or `--target package`)
# makes quillmark_<version>_<arch>.deb from the install rules of
# cmake/QmInstall.cmake, under /usr, the programs stripped.
#   Depends     what dpkg-shlibdeps finds the programs need (Debian 12's
#               libqt6gui6 holds the xcb platform plugin the dialog needs)
#   Recommends  wireshark; qt6-wayland for a native window on Wayland
# `sudo apt install ./quillmark_<version>_amd64.deb` is all it takes before
# Wireshark lists the dongle: the extcap is in Wireshark's own folder. No
# maintainer scripts: dpkg's triggers refresh the menu and the icon cache.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillmark)
set(CPACK_PACKAGE_VENDOR Quillmark)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Quillmark maintainers <maintainers@users.noreply.c-seed-258de99a.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "live capture from IEEE 802.15.4 sniffer dongles into Wireshark")
set(CPACK_PACKAGE_DESCRIPTION "Quillmark is a capture front end for IEEE 802.15.4 (ZigBee, Thread) sniffer
dongles, USB devices that the system shows as a serial port. Pick the port
and a channel in one small dialog and press Start: Quillmark launches
Wireshark on a named pipe, drives the dongle through its serial protocol at
1,000,000 baud and turns every frame it reports into a record that Wireshark
shows live. A capture never loses data silently: it ends with a summary that
counts every frame delivered and every frame lost, by cause.
.
The package holds the dialog (quillmark, in the desktop menu),
quillmark-capture, the same capture without a window, and quillmark-extcap,
installed into Wireshark's extcap folder so that Wireshark lists each dongle
among its own capture interfaces. Opening a dongle needs membership of the
dialout group.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS wireshark)
if(TARGET quillmark)
    string(APPEND CPACK_DEBIAN_PACKAGE_RECOMMENDS ", qt6-wayland")
endif()
include(CPack)
