# The Debian package: `cpack -G DEB` in a configured build tree (prefix /usr). The library
# dependencies are worked out by dpkg-shlibdeps; what is loaded at run time as a plugin or
# started as a program is named here.
set(CPACK_PACKAGE_NAME sendmere)
set(CPACK_PACKAGE_VENDOR "Sendmere developers")
set(CPACK_PACKAGE_CONTACT "Sendmere developers <maintainers@sendmere.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "send faxes from the desktop and the mail client")
set(CPACK_PACKAGE_DESCRIPTION "Sendmere is the desktop companion of a mail-client fax add-in: a \
wizard to send documents as faxes with a cover page, faxes mirrored as mail items, scanning \
pages into a fax and answering fax calls. It ships its own local fax service on the session \
bus (sendmere-faxd), which renders PDF, text, image and office documents into TIFF Class F \
images, and a command-line console (sendmere-fax).")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Plugins and programs no linker sees: the SQLite driver of the spool, the TIFF image
# reader, the session bus, the fonts faxes are drawn with and the desktop's "open".
set(CPACK_DEBIAN_PACKAGE_DEPENDS
  "libqt6sql6-sqlite, qt6-image-formats-plugins, dbus-daemon | dbus-session-bus, fonts-dejavu-core, xdg-utils")
# The system's trust store, against which a mail server's certificate is checked; CUPS for
# the fax printer; Qt's own translations, so that the standard buttons speak the user's
# language as the pages do; the scanner library, which the program opens only to scan.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
  "libreoffice-writer-nogui | libreoffice-writer, libsane1, sane-utils, ca-certificates, cups, cups-filters, qt6-translations-l10n")
# The "Sendmere Fax" printer is added where CUPS runs and removed with the package.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  "${PROJECT_SOURCE_DIR}/data/cups/debian/postinst;${PROJECT_SOURCE_DIR}/data/cups/debian/prerm;${PROJECT_SOURCE_DIR}/data/cups/debian/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "ghostscript")

set(CPACK_GENERATOR DEB)
include(CPack)
