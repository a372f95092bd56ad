# One layout for the build tree and the install tree. The application finds
# its disk utility and its bundle relative to its own executable, by paths
# computed here from the configured install directories (GNUInstallDirs):
#   <prefix>/<bindir>/sarnovelle-usb-maker
#   <prefix>/<libexecdir>/sarnovelle-usb-maker/diskutil
#   <prefix>/<libdir>/sarnovelle-usb-maker/udisks-backend.so (the disk
#                                                 utility's udisks2 module)
#   <prefix>/<datadir>/sarnovelle-usb-maker/{BOOTX64.EFI,Info.plist}
# The build tree's stage/ mirrors <prefix>, so the same relative paths hold
# in stage/, after `cmake --install <build> --prefix X` and in the package.
# Needs GNUInstallDirs included first.
set(SARNOVELLE_APP_NAME sarnovelle-usb-maker)

# Each folder as a path inside the prefix. A folder outside it (an absolute
# directory elsewhere) would not move with `--prefix` nor fit in stage/.
foreach(kind BINDIR LIBEXECDIR LIBDIR DATADIR)
    file(RELATIVE_PATH inside "${CMAKE_INSTALL_PREFIX}" "${CMAKE_INSTALL_FULL_${kind}}")
    if(inside STREQUAL ".." OR inside MATCHES "^\\.\\./" OR IS_ABSOLUTE "${inside}")
        message(FATAL_ERROR "CMAKE_INSTALL_${kind} (${CMAKE_INSTALL_FULL_${kind}}) must lie inside "
                            "CMAKE_INSTALL_PREFIX (${CMAKE_INSTALL_PREFIX}): the application finds "
                            "its files relative to its own folder.")
    endif()
    set(sarnovelle_inside_${kind} "${inside}")
endforeach()

set(SARNOVELLE_INSTALL_LIBEXEC ${CMAKE_INSTALL_LIBEXECDIR}/${SARNOVELLE_APP_NAME})
set(SARNOVELLE_INSTALL_SHARE ${CMAKE_INSTALL_DATADIR}/${SARNOVELLE_APP_NAME})
set(SARNOVELLE_INSTALL_MODULES ${CMAKE_INSTALL_LIBDIR}/${SARNOVELLE_APP_NAME})

set(SARNOVELLE_STAGE_DIR ${CMAKE_BINARY_DIR}/stage)
set(SARNOVELLE_STAGE_BIN ${SARNOVELLE_STAGE_DIR}/${sarnovelle_inside_BINDIR})
set(SARNOVELLE_STAGE_LIBEXEC ${SARNOVELLE_STAGE_DIR}/${sarnovelle_inside_LIBEXECDIR}/${SARNOVELLE_APP_NAME})
set(SARNOVELLE_STAGE_SHARE ${SARNOVELLE_STAGE_DIR}/${sarnovelle_inside_DATADIR}/${SARNOVELLE_APP_NAME})
set(SARNOVELLE_STAGE_MODULES ${SARNOVELLE_STAGE_DIR}/${sarnovelle_inside_LIBDIR}/${SARNOVELLE_APP_NAME})

# Relative paths from the executable's folder, baked into the core and the
# window; for the defaults "../libexec/sarnovelle-usb-maker/diskutil" and
# "../share/sarnovelle-usb-maker".
file(RELATIVE_PATH SARNOVELLE_REL_DISKUTIL "${CMAKE_INSTALL_FULL_BINDIR}"
     "${CMAKE_INSTALL_FULL_LIBEXECDIR}/${SARNOVELLE_APP_NAME}/diskutil")
file(RELATIVE_PATH SARNOVELLE_REL_SHARE "${CMAKE_INSTALL_FULL_BINDIR}"
     "${CMAKE_INSTALL_FULL_DATADIR}/${SARNOVELLE_APP_NAME}")
# The udisks2 module from the disk utility's folder; for the defaults
# "../../lib/sarnovelle-usb-maker/udisks-backend.so".
file(RELATIVE_PATH SARNOVELLE_REL_UDISKS_MODULE "${CMAKE_INSTALL_FULL_LIBEXECDIR}/${SARNOVELLE_APP_NAME}"
     "${CMAKE_INSTALL_FULL_LIBDIR}/${SARNOVELLE_APP_NAME}/udisks-backend.so")
# Where the installed disk utility lands, for when the executable's own
# path cannot be read.
set(SARNOVELLE_INSTALLED_DISKUTIL ${CMAKE_INSTALL_FULL_LIBEXECDIR}/${SARNOVELLE_APP_NAME}/diskutil)
