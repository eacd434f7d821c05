# Installation and Debian packages. Two install components: `instrument` holds
# `update`, the program that runs on the instrument, and what starts it there
# (cmake/starter.cmake); `workstation` holds the programs that run on a maker's
# PC (the simulated instrument and the package tools). `cmake --install`
# installs the workstation's component only: the instrument's is installed
# when asked for by name (`--component instrument`). `cpack` packs the
# instrument's component in a cross build for the instrument and the
# workstation's component in a native build. Included at the end of the
# top-level CMakeLists.txt, once every program is defined.
include(GNUInstallDirs)

install(TARGETS update RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT instrument
        EXCLUDE_FROM_ALL)
include(${CMAKE_CURRENT_LIST_DIR}/starter.cmake)

# The package tools are optional: whichever of them this tree defines.
set(UPD_WORKSTATION_PROGRAMS)
foreach(program update-sim update-pack update-lint)
  if(TARGET ${program})
    list(APPEND UPD_WORKSTATION_PROGRAMS ${program})
  endif()
endforeach()
install(TARGETS ${UPD_WORKSTATION_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        COMPONENT workstation)
# Their manual pages, made from their help texts (cmake/help.cmake).
get_property(UPD_MANUAL_PAGES GLOBAL PROPERTY UPD_MANUAL_PAGES)
install(FILES ${UPD_MANUAL_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT workstation)

# The Debian architecture of the programs: the build machine's for a native
# build (CPack asks dpkg), the toolchain's for a cross build.
set(UPD_DEB_ARCHITECTURE "${UPD_DEB_ARCHITECTURE}" CACHE STRING
    "Debian architecture of a cross build's package (armhf for the instrument)")
if(CMAKE_CROSSCOMPILING AND NOT UPD_DEB_ARCHITECTURE)
  message(STATUS "No Debian architecture for this cross build: no package")
  return()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Instrument firmware team")
set(CPACK_PACKAGE_CONTACT "Instrument firmware team <firmware@example.com>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)

set(CPACK_DEBIAN_INSTRUMENT_PACKAGE_NAME instrument-updater)
set(CPACK_DEBIAN_INSTRUMENT_DESCRIPTION
    "Firmware updater of the instrument
The program update, run on the instrument, installs a firmware update from a
USB stick as its manifest firmware/AuxInfo.txt describes. Statically linked.
It starts by itself when a stick labelled ${UPD_STICK_LABEL} is plugged in or is
in at boot: through the udev rule and systemd unit installed here, or through
busybox mdev once the rule in
${CMAKE_INSTALL_FULL_DATADIR}/instrument-updater/mdev.conf is added to
/etc/mdev.conf. Its options are set in ${UPD_SETTINGS_FILE}.")
# The settings file is the maker's: an upgrade keeps their changes.
file(WRITE ${PROJECT_BINARY_DIR}/starter/conffiles "${UPD_SETTINGS_FILE}\n")
set(CPACK_DEBIAN_INSTRUMENT_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/starter/conffiles)
set(CPACK_DEBIAN_WORKSTATION_PACKAGE_NAME instrument-updater-tools)
set(CPACK_DEBIAN_WORKSTATION_DESCRIPTION
    "Workstation tools for the instrument's firmware updates
update-sim runs the instrument's firmware updater on a simulated instrument
inside a private sandbox, so that an update package can be tried on a PC.")
if(TARGET update-pack)
  string(APPEND CPACK_DEBIAN_WORKSTATION_DESCRIPTION
         "\nupdate-pack builds an update stick, or its image, from a source manifest.")
endif()
if(TARGET update-lint)
  string(APPEND CPACK_DEBIAN_WORKSTATION_DESCRIPTION
         "\nupdate-lint checks an update stick before it ships.")
endif()
if(TARGET update-pack OR TARGET update-lint)
  # Stick images are made with sfdisk, mkfs.vfat and mcopy, and read with mcopy.
  set(CPACK_DEBIAN_WORKSTATION_PACKAGE_RECOMMENDS "mtools, dosfstools, fdisk")
endif()

if(CMAKE_CROSSCOMPILING)
  # Statically linked: the package needs no shared library.
  set(CPACK_COMPONENTS_ALL instrument)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${UPD_DEB_ARCHITECTURE})
else()
  # dpkg-shlibdeps (dpkg-dev) derives the dependencies: libssl3, libc6, ...
  set(CPACK_COMPONENTS_ALL workstation)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
include(CPack)
