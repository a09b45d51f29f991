# Writes the pkg-config files at install time, when the prefix is known.
# A staged install (DESTDIR set, as for the Debian packages) goes to its
# prefix as it stands, and its files name it plainly; any other install may
# be moved afterwards, so its files find the prefix from their own folder.
#
# Set before this runs: VELK_PC_FILES (names), VELK_PC_TEMPLATES (the
# folder of their configured templates), VELK_PKGCONFIG_DIR (relative to
# the prefix) and VELK_PC_TO_PREFIX (from that folder up to the prefix).
if("$ENV{DESTDIR}" STREQUAL "")
  set(VELK_PC_PREFIX "\${pcfiledir}/${VELK_PC_TO_PREFIX}")
else()
  set(VELK_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
endif()
foreach(pc IN LISTS VELK_PC_FILES)
  set(destination "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${VELK_PKGCONFIG_DIR}")
  message(STATUS "Installing: ${destination}/${pc}.pc")
  configure_file(${VELK_PC_TEMPLATES}/${pc}.pc.in ${destination}/${pc}.pc
    @ONLY)
endforeach()
