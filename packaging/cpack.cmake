# Packages by CPack: Debian packages, one per install component, on Linux;
# the SDK as one ZIP archive on Windows.
set(CPACK_PACKAGE_NAME velk)
set(CPACK_PACKAGE_VENDOR "vlkdec developers")
set(CPACK_PACKAGE_CONTACT "vlkdec developers <maintainers@vlkdec.invalid>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/velk COMPONENT runtime)
else()
  # Each Debian package's doc folder holds its copyright (the licence) and
  # changelog, whatever the component (e.g. gstreamer, installed by its own
  # folder, which is added before this one).
  # Package names: runtime velk, development velk-dev, unless a folder has
  # named its component's package itself (CPACK_DEBIAN_<C>_PACKAGE_NAME).
  set(VELK_PACKAGE_runtime velk)
  set(VELK_PACKAGE_development velk-dev)
  set(VELK_PACKAGE_gstreamer gstreamer1.0-velka)
  string(TIMESTAMP changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
  get_cmake_property(velk_components COMPONENTS)
  foreach(component ${velk_components})
    if(NOT DEFINED VELK_PACKAGE_${component})
      continue()
    endif()
    string(TOUPPER ${component} COMPONENT)
    if(NOT CPACK_DEBIAN_${COMPONENT}_PACKAGE_NAME)
      set(CPACK_DEBIAN_${COMPONENT}_PACKAGE_NAME ${VELK_PACKAGE_${component}})
    endif()
    set(package ${CPACK_DEBIAN_${COMPONENT}_PACKAGE_NAME})
    set(changelog ${CMAKE_CURRENT_BINARY_DIR}/doc/${package}/changelog)
    file(WRITE ${changelog}
      "${package} (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
      "  * Built from the project's release build.\n\n"
      " -- ${CPACK_PACKAGE_CONTACT}  ${changelog_date}\n")
    execute_process(COMMAND gzip -9nf ${changelog} RESULT_VARIABLE gzip_result)
    if(NOT gzip_result EQUAL 0)
      message(FATAL_ERROR "gzip failed on ${changelog}")
    endif()
    install(FILES ${changelog}.gz
      DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
    install(FILES ${PROJECT_SOURCE_DIR}/LICENSE RENAME copyright
      DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
  endforeach()
endif()

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME velk-sdk-${PROJECT_VERSION}-windows-x64)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION sound)
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Library and C++ runtime dependencies come from dpkg-shlibdeps; the
  # dependencies between our own packages are exact versions. The shlibs
  # file names the two link-time libraries: CPack's own would look at
  # every shared object, the modules loaded by path too, and warn that
  # they have no SONAME, which is as it should be for a module.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
      "velk (= ${PROJECT_VERSION})")
  set(CPACK_DEBIAN_GSTREAMER_PACKAGE_DEPENDS "velk (= ${PROJECT_VERSION})")
  # The libraries' directory is the linker's own: ldconfig runs by trigger.
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
      ${CMAKE_CURRENT_SOURCE_DIR}/debian/triggers)
  if(TARGET velk_host_shared)
    configure_file(debian/shlibs.in debian/shlibs @ONLY)
    list(APPEND CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
         ${CMAKE_CURRENT_BINARY_DIR}/debian/shlibs)
  endif()
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # The first line of each is the package's synopsis.
  set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
"decoder plug-in, libraries and tool for Velk audio files
The decoder plug-in module that hosts load by path, the host and encoder
libraries, and velka, which encodes, decodes and describes Velk audio
files.")
  set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
"development files for the Velk audio decoder plug-in
The plug-in's C header, the host and encoder libraries' headers and the
static host library, pkg-config files, the CMake package Velk and example
hosts in C and C++.")
  set(CPACK_COMPONENT_GSTREAMER_DESCRIPTION
"GStreamer plug-in for Velk audio files
A type finder for audio/x-velka and the velkadec element, which decodes
through the Velk audio decoder plug-in module, with sample-exact seeks.")
endif()

include(CPack)
