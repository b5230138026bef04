# The Debian package (`make deb`): every program under /usr, with the app-defaults file, the
# message catalog, the man pages, the example books, the desktop entry and the user units. The
# libraries it needs come from dpkg-shlibdeps, so the list follows what the programs link.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME telvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Telvane developers <telvane@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Share windows of an X11 display with other X displays")
set(CPACK_PACKAGE_DESCRIPTION
    "Telvane shares one window or a whole application with other X displays, live, with input\n\
allowed or forbidden per receiver, numbered shared pointers and grouped problem reports.\n\
telvane-server stands in front of any X server and does the replicating; telvane-consent\n\
asks a receiver's user before a share comes in.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION x11)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# What the programs run but do not link: gencat's catalog needs nothing; the Tools menu's board
# is in the package; xauth is how users see the server's cookie.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xauth, x11-utils")
include(CPack)
