# Install rules and packages.
#   Linux:   bin/hoister, share/man/man1/hoister.1.gz, the bash completion,
#            share/doc/hoister/copyright and changelog.gz (Debian policy),
#            a systemd unit that holds classes from boot in its examples/,
#            and /etc/hoister/rules, the rules it holds (a conffile);
#            cpack -G DEB makes hoister_<version>_<arch>.deb.
#   Windows: Hoister.exe and README.md at the top of the tree;
#            cpack -G ZIP makes Hoister-<version>-win32.zip (or -win64).
include(GNUInstallDirs)

set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Hoister maintainers")
set(CPACK_PACKAGE_CONTACT "Hoister maintainers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "show and change process priority classes, or start programs in one")
set(CPACK_PACKAGE_CHECKSUM SHA256)

if(WIN32)
  install(TARGETS hoister RUNTIME DESTINATION .)
  # README.md is written separately; the package script warns when it is missing.
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION . OPTIONAL)

  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(hoister_arch win32)
  else()
    set(hoister_arch win64)
  endif()
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_NAME Hoister)
  set(CPACK_PACKAGE_FILE_NAME Hoister-${PROJECT_VERSION}-${hoister_arch})
  set(CPACK_STRIP_FILES ON)
else()
  install(TARGETS hoister RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

  # Debian ships manual pages compressed with gzip -9n (no name, no time stamp,
  # so the package is the same on every rebuild).
  find_program(HOISTER_GZIP gzip REQUIRED)
  set(man_source ${PROJECT_SOURCE_DIR}/docs/hoister.1)
  set(man_gz ${CMAKE_BINARY_DIR}/hoister.1.gz)
  add_custom_command(OUTPUT ${man_gz}
    COMMAND ${HOISTER_GZIP} -9nc ${man_source} > ${man_gz}
    DEPENDS ${man_source}
    COMMENT "Compressing the manual page"
    VERBATIM)
  add_custom_target(hoister_man ALL DEPENDS ${man_gz})
  install(FILES ${man_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

  # A native package's changelog, compressed the same way.
  set(changelog_gz ${CMAKE_BINARY_DIR}/changelog.gz)
  add_custom_command(OUTPUT ${changelog_gz}
    COMMAND ${HOISTER_GZIP} -9nc ${PROJECT_SOURCE_DIR}/docs/changelog > ${changelog_gz}
    DEPENDS ${PROJECT_SOURCE_DIR}/docs/changelog
    COMMENT "Compressing the changelog"
    VERBATIM)
  add_custom_target(hoister_changelog ALL DEPENDS ${changelog_gz})
  install(FILES ${PROJECT_SOURCE_DIR}/docs/copyright ${changelog_gz}
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/hoister)

  # An example, not an installed unit: its targets are the administrator's.
  install(FILES ${PROJECT_SOURCE_DIR}/contrib/hoister-hold.service
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/hoister/examples)

  # The administrator's rules: only comments, kept by dpkg across upgrades
  # once edited.
  install(FILES ${PROJECT_SOURCE_DIR}/contrib/rules DESTINATION /etc/hoister)
  file(WRITE ${CMAKE_BINARY_DIR}/conffiles "/etc/hoister/rules\n")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/conffiles)

  install(FILES ${PROJECT_SOURCE_DIR}/contrib/hoister.bash-completion
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
          RENAME hoister)

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME hoister)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  # A contact address is required; .invalid marks that there is no public one yet.
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Hoister maintainers <maintainers@hoister.invalid>")
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # The extended description; the summary line comes from above.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "Hoister lists running processes with their scheduling priority class
(Low, Normal, High, Realtime), changes the class of processes picked by a
substring of their executable path or by process ID, and starts programs
directly in a chosen class, always or only when no matching process runs.")
endif()

include(CPack)
