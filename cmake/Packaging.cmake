# The Debian package: both programs, their texts, the help file, the desktop
# entry and icon, the man pages and the licence, under /usr. The package is
# made from the same build as the tests (`cpack -G DEB` in the build
# folder); the programs find their texts and help relative to themselves,
# so the install prefix of the build does not matter.
include(GNUInstallDirs)

# Man pages, compressed as Debian installs them.
set(man_pages varnolt.1 varnolt-cli.1)
set(man_outputs "")
foreach(page ${man_pages})
  set(out ${CMAKE_BINARY_DIR}/man/${page}.gz)
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/man/${page} > ${out}
    DEPENDS ${PROJECT_SOURCE_DIR}/man/${page}
    VERBATIM)
  list(APPEND man_outputs ${out})
endforeach()
add_custom_target(varnolt_man ALL DEPENDS ${man_outputs})
install(FILES ${man_outputs} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
set(doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/varnolt)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/THIRD_PARTY.md ${PROJECT_SOURCE_DIR}/README.md
        DESTINATION ${doc_dir})
# Debian looks for the licence of a package under this name.
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${doc_dir} RENAME copyright)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME varnolt)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Varnolt")
set(CPACK_PACKAGE_CONTACT "Varnolt maintainers <maintainers@varnolt.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "make Outlook PST files smaller by taking the attachments out")
set(CPACK_PACKAGE_DESCRIPTION
  "Varnolt copies Outlook PST (and OST) files into new PST files without the attachments of their messages: it removes them, or saves them beside the new PST with a link in each message's body, or saves and zips them. The desktop program is varnolt; varnolt-cli does the same on the command line and also checks and inspects PST and .msg files.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Shared libraries are found by dpkg-shlibdeps; Qt's platform plugins and
# its own translations are not libraries the programs link, so name them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-translations-l10n")
include(CPack)
