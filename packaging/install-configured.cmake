# Installs the files that name installed paths, filled in for the prefix installed to (run by
# `cmake --install` and CPack; the QUILLON_* folders are set just before, packaging/CMakeLists.txt).
set(prefix "${CMAKE_INSTALL_PREFIX}")
# As GNUInstallDirs has it: /usr keeps its settings in /etc, other prefixes in their own etc/.
if(prefix STREQUAL "/usr")
  set(QUILLON_SYSCONFDIR /etc)
else()
  set(QUILLON_SYSCONFDIR "${prefix}/etc")
endif()
set(QUILLON_BINDIR "${prefix}/${QUILLON_INSTALL_BINDIR}")
set(QUILLON_LIBDIR "${prefix}/${QUILLON_INSTALL_PKGLIBDIR}")
set(QUILLON_DATADIR "${prefix}/${QUILLON_INSTALL_PKGDATADIR}")
set(QUILLON_DOCDIR "${prefix}/${QUILLON_INSTALL_DOCDIR}")
# systemd looks for units in <prefix>/lib/systemd/system, multiarch or not.

set(filled "${QUILLON_BINARY_DIR}/installed")
foreach(entry
    "${QUILLON_BINARY_DIR}/man/quillon-proxy.1|${prefix}/${QUILLON_INSTALL_MANDIR}/man1"
    "${QUILLON_BINARY_DIR}/man/quillon-disc.1|${prefix}/${QUILLON_INSTALL_MANDIR}/man1"
    "${QUILLON_SOURCE_DIR}/systemd/quillon-proxy.service.in|${prefix}/lib/systemd/system"
    "${QUILLON_SOURCE_DIR}/debian/default.in|${QUILLON_SYSCONFDIR}/default"
    "${QUILLON_SOURCE_DIR}/debian/logrotate|${QUILLON_SYSCONFDIR}/logrotate.d")
  string(REPLACE "|" ";" entry "${entry}")
  list(GET entry 0 source)
  list(GET entry 1 destination)
  get_filename_component(name "${source}" NAME)
  string(REGEX REPLACE "\\.in$" "" name "${name}")
  if(name STREQUAL "default")
    set(name quillon)
  elseif(name STREQUAL "logrotate")
    set(name quillon-proxy)
  endif()
  configure_file("${source}" "${filled}/${name}" @ONLY)
  # file(INSTALL) puts DESTDIR in front itself.
  file(INSTALL DESTINATION "${destination}" TYPE FILE FILES "${filled}/${name}")
endforeach()
