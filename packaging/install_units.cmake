# Part of the install step (cmake --install, cpack): writes the systemd units
# with the path of the installed plughost in ExecStart, which is known only
# now. Set before: PLUGHOST_UNIT_SOURCE_DIR, PLUGHOST_SERVICE_TYPE,
# PLUGHOST_INSTALL_BIN_DIR.
set(PLUGHOST_BIN "${CMAKE_INSTALL_PREFIX}/${PLUGHOST_INSTALL_BIN_DIR}/plughost")
foreach(unit system/plughost-files.service user/plughost-display.service)
  get_filename_component(name ${unit} NAME)
  set(installed "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/lib/systemd/${unit}")
  message(STATUS "Installing: ${installed}")
  configure_file("${PLUGHOST_UNIT_SOURCE_DIR}/${name}.in" "${installed}" @ONLY)
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${installed}")
endforeach()
