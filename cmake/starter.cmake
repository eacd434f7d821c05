# What starts the updater on the instrument: when a block device labelled as
# the stick appears (plugged in, or present at boot), busybox mdev's command or
# the udev rule with its systemd unit runs the start script, which runs
# `update` with the options of the settings file. Part of the install
# component `instrument`, with `update` itself. Included by packaging.cmake.
#
# The files name each other by their installed paths, taken from the prefix
# at configure time: an install to another prefix is refused (below).

# The label is the one decision of the library: the last part of its default
# device path (src/update/update.h).
file(STRINGS ${PROJECT_SOURCE_DIR}/src/update/update.h UPD_DEFAULT_DEVICE_LINE
     REGEX "kDefaultDevice\\[\\] = \"/dev/disk/by-label/[^\"/]+\"")
if(NOT UPD_DEFAULT_DEVICE_LINE MATCHES "/dev/disk/by-label/([^\"/]+)\"")
  message(FATAL_ERROR "No stick label in the default device path of src/update/update.h")
endif()
set(UPD_STICK_LABEL ${CMAKE_MATCH_1})

set(UPD_UPDATE_PROGRAM ${CMAKE_INSTALL_FULL_BINDIR}/update)
set(UPD_SETTINGS_FILE ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default/update)
set(UPD_STARTER_DIR ${CMAKE_INSTALL_FULL_LIBEXECDIR}/instrument-updater)
set(UPD_STARTER ${UPD_STARTER_DIR}/start-update)
set(UPD_MDEV_HOTPLUG ${UPD_STARTER_DIR}/mdev-hotplug)
set(UPD_CONSOLE /dev/console)
set(UPD_SYSTEMD_UNIT instrument-update.service)
set(UPD_UDEV_RULE 90-instrument-update.rules)

set(UPD_STARTER_SOURCE ${PROJECT_SOURCE_DIR}/starter)
set(UPD_STARTER_BUILD ${PROJECT_BINARY_DIR}/starter)
foreach(file start-update mdev-hotplug mdev.conf ${UPD_UDEV_RULE} ${UPD_SYSTEMD_UNIT})
  configure_file(${UPD_STARTER_SOURCE}/${file}.in ${UPD_STARTER_BUILD}/${file} @ONLY)
endforeach()

set(UPD_INSTRUMENT COMPONENT instrument EXCLUDE_FROM_ALL)
install(CODE "
  if(NOT CMAKE_INSTALL_PREFIX STREQUAL \"${CMAKE_INSTALL_PREFIX}\")
    message(FATAL_ERROR \"The instrument's start files name the paths of the prefix \"
      \"${CMAKE_INSTALL_PREFIX}, not \${CMAKE_INSTALL_PREFIX}: configure with \"
      \"-DCMAKE_INSTALL_PREFIX=\${CMAKE_INSTALL_PREFIX} to install there.\")
  endif()" ${UPD_INSTRUMENT})
install(PROGRAMS ${UPD_STARTER_BUILD}/start-update ${UPD_STARTER_BUILD}/mdev-hotplug
        DESTINATION ${UPD_STARTER_DIR} ${UPD_INSTRUMENT})
install(FILES ${UPD_STARTER_BUILD}/mdev.conf
        DESTINATION ${CMAKE_INSTALL_DATADIR}/instrument-updater ${UPD_INSTRUMENT})
install(FILES ${UPD_STARTER_BUILD}/${UPD_UDEV_RULE} DESTINATION lib/udev/rules.d ${UPD_INSTRUMENT})
install(FILES ${UPD_STARTER_BUILD}/${UPD_SYSTEMD_UNIT} DESTINATION lib/systemd/system
        ${UPD_INSTRUMENT})
install(FILES ${UPD_STARTER_SOURCE}/update.default DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default
        RENAME update ${UPD_INSTRUMENT})
