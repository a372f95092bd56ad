# One layout for the build tree and the install tree, so that the
# application finds its disk utility and its bundle relative to its own
# executable in both:
#   <prefix>/bin/sarnovelle-usb-maker
#   <prefix>/libexec/sarnovelle-usb-maker/diskutil
#   <prefix>/share/sarnovelle-usb-maker/{BOOTX64.EFI,Info.plist}
set(SARNOVELLE_APP_NAME sarnovelle-usb-maker)
set(SARNOVELLE_STAGE_DIR ${CMAKE_BINARY_DIR}/stage)
set(SARNOVELLE_STAGE_BIN ${SARNOVELLE_STAGE_DIR}/bin)
set(SARNOVELLE_STAGE_LIBEXEC ${SARNOVELLE_STAGE_DIR}/libexec/${SARNOVELLE_APP_NAME})
set(SARNOVELLE_STAGE_SHARE ${SARNOVELLE_STAGE_DIR}/share/${SARNOVELLE_APP_NAME})
set(SARNOVELLE_INSTALL_LIBEXEC ${CMAKE_INSTALL_LIBEXECDIR}/${SARNOVELLE_APP_NAME})
set(SARNOVELLE_INSTALL_SHARE ${CMAKE_INSTALL_DATADIR}/${SARNOVELLE_APP_NAME})
# Relative paths from bin/ baked into the core, so that both trees work.
set(SARNOVELLE_REL_DISKUTIL "../libexec/${SARNOVELLE_APP_NAME}/diskutil")
set(SARNOVELLE_REL_SHARE "../share/${SARNOVELLE_APP_NAME}")
