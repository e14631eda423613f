# `cpack -G DEB` in a build directory: one Debian package with vos, vos-lookup, vos-serve, their man pages and
# the systemd unit of vos-serve.
set(CPACK_PACKAGE_NAME "vos")
set(CPACK_PACKAGE_VENDOR "vos")
set(CPACK_PACKAGE_CONTACT "vos maintainers <vos@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "dictionary indexer, look-up tool and DICT protocol server")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "vos indexes a dictionary kept in one ISO-8859-1 text file into a binary PATRICIA trie; vos-lookup finds "
    "words in such an index; vos-serve answers DICT protocol (RFC 2229) clients from vos indexes.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "text")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
include(CPack)
