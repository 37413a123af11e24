# What an install puts where, and the Debian package made of it (cpack -G DEB).
#
#   bin/korvia-replay                               the host program
#   ${KORVIA_PLUGIN_DIR}/libkorvia-proc-aggregator.so   the plugin, where a host looks for plugins
#   ${KORVIA_HOST_LIBRARY_DIR}/libkorviad.so.15         the stand-in host library
#   ${CMAKE_INSTALL_DOCDIR}/                        README, CHANGELOG, docs/, examples/ and the
#                                                   Debian copyright file (ours and the captures')
#   lib/systemd/system/korvia-replay@.service       a service capturing one interface
#   ${CMAKE_INSTALL_MANDIR}/man1/korvia-replay.1.gz  its manual page, made from --help
#
# The stand-in host library goes into a directory of its own, not the system library directory:
# the daemon's real library has the same name, and ours must neither replace it nor be found by
# the daemon's plugins. Its users find it through their RUNPATH, relative to their own location
# ($ORIGIN), so an installed tree works wherever it is unpacked, without ldconfig.

set(KORVIA_HOST_LIBRARY_DIR "${CMAKE_INSTALL_LIBDIR}/korvia-replay")

install(TARGETS korviad LIBRARY DESTINATION ${KORVIA_HOST_LIBRARY_DIR} NAMELINK_SKIP)

# $ORIGIN-relative path from an install directory (relative to the prefix) to the host library's.
function(korvia_origin_rpath from_dir out)
  foreach(dir from_dir KORVIA_HOST_LIBRARY_DIR)
    if(IS_ABSOLUTE "${${dir}}")
      set(${dir}_full "${${dir}}")
    else()
      set(${dir}_full "${CMAKE_INSTALL_PREFIX}/${${dir}}")
    endif()
  endforeach()
  file(RELATIVE_PATH relative "${from_dir_full}" "${KORVIA_HOST_LIBRARY_DIR_full}")
  set(${out} "$ORIGIN/${relative}" PARENT_SCOPE)
endfunction()

korvia_origin_rpath("${CMAKE_INSTALL_BINDIR}" replay_rpath)
korvia_origin_rpath("${KORVIA_PLUGIN_DIR}" plugin_rpath)
set_target_properties(korvia-replay PROPERTIES INSTALL_RPATH "${replay_rpath}")
set_target_properties(korvia-proc-aggregator PROPERTIES INSTALL_RPATH "${plugin_rpath}")

install(FILES README.md CHANGELOG.md packaging/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs FILES_MATCHING PATTERN "*.md")
install(DIRECTORY examples/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

# The service unit names the program where the install puts it: it is made at install time, from
# the prefix of the install (cmake --install --prefix; /usr for the Debian package), which DESTDIR
# does not change.
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
function(korvia_unit_dir dir out)
  if(IS_ABSOLUTE "${dir}")
    set(${out} "${dir}" PARENT_SCOPE)
  else()
    set(${out} "\${CMAKE_INSTALL_PREFIX}/${dir}" PARENT_SCOPE)
  endif()
endfunction()
korvia_unit_dir("${CMAKE_INSTALL_BINDIR}" unit_bindir)
korvia_unit_dir("${CMAKE_INSTALL_DOCDIR}" unit_docdir)
set(KORVIA_UNIT_FILE "${PROJECT_BINARY_DIR}/install/korvia-replay@.service")
install(CODE "
  set(KORVIA_UNIT_BINDIR \"${unit_bindir}\")
  set(KORVIA_UNIT_DOCDIR \"${unit_docdir}\")
  configure_file([[${PROJECT_SOURCE_DIR}/host/replay/systemd/korvia-replay@.service.in]]
                 [[${KORVIA_UNIT_FILE}]] @ONLY)")
install(FILES ${KORVIA_UNIT_FILE} DESTINATION lib/systemd/system)

# korvia-replay(1), made from --help and --version when help2man is there.
find_program(HELP2MAN help2man)
if(HELP2MAN)
  set(KORVIA_MAN_PAGE "${PROJECT_BINARY_DIR}/korvia-replay.1.gz")
  add_custom_command(
    OUTPUT ${KORVIA_MAN_PAGE}
    COMMAND ${HELP2MAN} --no-info --section=1 --source=korvia-proc-aggregator
            "--name=run the flow aggregation plugin on event scripts, capture files or live interfaces"
            --output=${PROJECT_BINARY_DIR}/korvia-replay.1 $<TARGET_FILE:korvia-replay>
    COMMAND gzip -9nf ${PROJECT_BINARY_DIR}/korvia-replay.1
    DEPENDS korvia-replay
    COMMENT "Making the manual page korvia-replay(1)"
    VERBATIM)
  add_custom_target(korvia-replay-man ALL DEPENDS ${KORVIA_MAN_PAGE})
  install(FILES ${KORVIA_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  message(WARNING "help2man not found (scripts/bootstrap installs it): no manual page")
endif()

# The Debian package: korvia-proc-aggregator_<version>_<arch>.deb.
set(CPACK_PACKAGE_NAME "korvia-proc-aggregator")
set(CPACK_PACKAGE_VENDOR "korvia-proc-aggregator developers")
set(CPACK_PACKAGE_CONTACT "korvia-proc-aggregator developers <korvia-proc-aggregator@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Flow aggregation processor plugin for korviad, with the korvia-replay host")
set(CPACK_PACKAGE_DESCRIPTION
    "The korvia-proc-aggregator plugin turns the flows of the korviad traffic analysis daemon \
into aggregate records of one of eight types and hands them to the daemon's sinks as JSON. \
korvia-replay runs the plugin without the daemon, on event scripts, capture files or a live \
interface, with a stand-in of the daemon's library.")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR "DEB")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
# dpkg-shlibdeps finds the runtime libraries (libpcap, zlib, xxHash, the C++ library); it follows
# the $ORIGIN RUNPATHs to our own host library inside the package.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
