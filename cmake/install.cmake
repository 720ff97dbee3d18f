# install.cmake — what `cmake --install` puts under the prefix, and the Debian
# package that CPack builds from the same rules (`cpack -G DEB` in the build
# folder). The lower-case names are links, so both spellings work everywhere.
include(GNUInstallDirs)

install(TARGETS Kunpack RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_SOURCE_DIR}/doc/Kunpack.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
set(KUNPACK_COMPLETIONS ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
install(FILES ${CMAKE_SOURCE_DIR}/completion/kunpack
        DESTINATION ${KUNPACK_COMPLETIONS} RENAME kunpack)

# Relative links, so the tree works wherever it is unpacked (a package root too).
foreach(link IN ITEMS "${CMAKE_INSTALL_BINDIR}/kunpack:Kunpack"
                      "${CMAKE_INSTALL_MANDIR}/man1/kunpack.1:Kunpack.1"
                      "${KUNPACK_COMPLETIONS}/Kunpack:kunpack")
  string(REPLACE ":" ";" link "${link}")
  list(GET link 0 name)
  list(GET link 1 target)
  install(CODE "
    set(name \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${name}\")
    message(STATUS \"Installing: \${name} -> ${target}\")
    file(CREATE_LINK ${target} \${name} SYMBOLIC)")
endforeach()

set(CPACK_PACKAGE_NAME kunpack)
set(CPACK_PACKAGE_VENDOR "Kunpack developers")
set(CPACK_PACKAGE_CONTACT "Kunpack developers <kunpack@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "cut the fields of K-file records into pieces")
set(CPACK_PACKAGE_DESCRIPTION
"Kunpack is a filter for K-files, text in which a record is a run of
label:value lines and records are separated by empty lines. It cuts the
values of chosen fields into pieces (by position, length, delimiter or
pattern, with trimming, unquoting and numeric conversions) and writes one
label:piece line per piece; every other line passes through unchanged.")
set(CPACK_DEBIAN_PACKAGE_SECTION text)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)
include(CPack)
