# Run by `cmake --install`: fills in the units and the activation files now, so
# that their program paths name the prefix of this install, not the one the
# build was configured with. Every *.service, *.path, *.socket and *.timer here,
# with or without .in, is installed; a D-Bus activation file goes to the bus's
# folder, anything else to systemd's.
foreach(dir IN ITEMS BINDIR SBINDIR)
  if(IS_ABSOLUTE "${HUSHWALL_${dir}}")
    set(HUSHWALL_FULL_${dir} "${HUSHWALL_${dir}}")
  else()
    set(HUSHWALL_FULL_${dir} "${CMAKE_INSTALL_PREFIX}/${HUSHWALL_${dir}}")
  endif()
endforeach()
set(HUSHWALLD_PATH "${HUSHWALL_FULL_SBINDIR}/hushwalld")
set(HUSHWALL_STATE_DIR "/var/lib/org.hushwall.daemon")

file(GLOB sources LIST_DIRECTORIES false RELATIVE "${HUSHWALL_PACKAGING_DIR}"
     "${HUSHWALL_PACKAGING_DIR}/*.service" "${HUSHWALL_PACKAGING_DIR}/*.service.in"
     "${HUSHWALL_PACKAGING_DIR}/*.path" "${HUSHWALL_PACKAGING_DIR}/*.path.in"
     "${HUSHWALL_PACKAGING_DIR}/*.socket" "${HUSHWALL_PACKAGING_DIR}/*.socket.in"
     "${HUSHWALL_PACKAGING_DIR}/*.timer" "${HUSHWALL_PACKAGING_DIR}/*.timer.in")
foreach(source IN LISTS sources)
  string(REGEX REPLACE "\\.in$" "" name "${source}")
  configure_file("${HUSHWALL_PACKAGING_DIR}/${source}" "${HUSHWALL_STAGING_DIR}/${name}" @ONLY)
  file(STRINGS "${HUSHWALL_STAGING_DIR}/${name}" busSection REGEX "^\\[D-BUS Service\\]")
  if(busSection)
    file(INSTALL DESTINATION "${HUSHWALL_DBUS_SERVICES_DIR}" TYPE FILE FILES "${HUSHWALL_STAGING_DIR}/${name}")
  else()
    file(INSTALL DESTINATION "${HUSHWALL_SYSTEMD_UNIT_DIR}" TYPE FILE FILES "${HUSHWALL_STAGING_DIR}/${name}")
  endif()
endforeach()
