# What a desktop and a package manager need beyond the programs: the man pages,
# the AppStream description, the systemd user units, and the Debian package
# that carries it all (`./build.sh package`).

set(VENDREL_SYSTEMD_USER_DIR lib/systemd/user)
set(CMAKE_INSTALL_FULL_LIBDIR_SYSTEMD ${CMAKE_INSTALL_PREFIX}/${VENDREL_SYSTEMD_USER_DIR})

# Man pages are installed compressed, as Debian's policy wants them; gzip -n
# keeps the name and time stamp out, so two builds give the same bytes.
find_program(GZIP_PROGRAM gzip REQUIRED)
set(VENDREL_MAN_PAGES vendrel vendrel-check)
set(compressed_man_pages)
foreach(page IN LISTS VENDREL_MAN_PAGES)
  if(page STREQUAL "vendrel" AND NOT VENDREL_GUI)
    continue()
  endif()
  configure_file(data/man/${page}.1 ${PROJECT_BINARY_DIR}/man/${page}.1 @ONLY)
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/man/${page}.1.gz
    COMMAND ${GZIP_PROGRAM} -9n -c ${PROJECT_BINARY_DIR}/man/${page}.1 > ${PROJECT_BINARY_DIR}/man/${page}.1.gz
    DEPENDS ${PROJECT_BINARY_DIR}/man/${page}.1
    VERBATIM)
  list(APPEND compressed_man_pages ${PROJECT_BINARY_DIR}/man/${page}.1.gz)
endforeach()
add_custom_target(man-pages ALL DEPENDS ${compressed_man_pages})
install(FILES ${compressed_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

foreach(unit vendrel-check.service vendrel-check.timer)
  configure_file(data/systemd/${unit} ${PROJECT_BINARY_DIR}/systemd/${unit} @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/systemd/${unit} DESTINATION ${VENDREL_SYSTEMD_USER_DIR})
endforeach()

if(VENDREL_GUI)
  configure_file(data/example.quorvan.Vendrel.metainfo.xml
                 ${PROJECT_BINARY_DIR}/example.quorvan.Vendrel.metainfo.xml @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/example.quorvan.Vendrel.metainfo.xml
          DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
endif()

# The package's own documents: Debian wants a copyright file and a changelog
# in /usr/share/doc/vendrel, the changelog compressed.
set(VENDREL_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/vendrel)
configure_file(data/debian/changelog ${PROJECT_BINARY_DIR}/debian/changelog @ONLY)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/debian/changelog.gz
  COMMAND ${GZIP_PROGRAM} -9n -c ${PROJECT_BINARY_DIR}/debian/changelog > ${PROJECT_BINARY_DIR}/debian/changelog.gz
  DEPENDS ${PROJECT_BINARY_DIR}/debian/changelog
  VERBATIM)
add_custom_target(package-changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/debian/changelog.gz)
install(FILES ${PROJECT_BINARY_DIR}/debian/changelog.gz data/debian/copyright DESTINATION ${VENDREL_DOC_DIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vendrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Quorvan)
set(CPACK_PACKAGE_CONTACT "Quorvan Vendrel Team <vendrel@quorvan.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "mails you web pages when they change")
set(CPACK_PACKAGE_INSTALL_DIRECTORY vendrel)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_BINARY_DIR})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded only when the mail password is kept in the desktop's keyring, so
# dpkg-shlibdeps cannot see it; without it the password stays in the file.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libsecret-1-0")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://quorvan.example/")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
# CPack puts the summary first and indents these lines itself.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"Vendrel watches a list of web pages from the notification area. At each
check it downloads every ticked page, measures how much its text changed
since the copy it last delivered, and when the change is large enough
mails the whole page, its addresses made absolute, through your own SMTP
server.

The package holds the tray program vendrel and the one-pass command
vendrel-check, with a systemd user timer that runs it every hour.")
execute_process(COMMAND dpkg --print-architecture
                OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE
                OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
# Folders in the package are 0755 whatever the builder's umask.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
