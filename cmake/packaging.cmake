# Desktop integration (menu entry, metainfo, icons, manual pages, the polkit
# action of the open helper) and the Debian package built by CPack.

# The action names the helper by its installed path, known only when installing:
# cpack installs the same build under /usr that cmake --install puts under /usr/local.
set(QUORVANE_POLICY ${CMAKE_BINARY_DIR}/org.quorvane.open-device.policy)
install(CODE "
  set(QUORVANE_OPEN_HELPER_PATH \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBEXECDIR}/quorvane/quorvane-open-helper\")
  configure_file(\"${CMAKE_SOURCE_DIR}/resources/org.quorvane.open-device.policy.in\" \"${QUORVANE_POLICY}\" @ONLY)")
install(FILES ${QUORVANE_POLICY} DESTINATION ${CMAKE_INSTALL_DATADIR}/polkit-1/actions)

# Manual pages from quorvane-cli's own --help, gzipped as Debian keeps them.
set(QUORVANE_MAN_DIR ${CMAKE_BINARY_DIR}/man)
add_custom_command(
  OUTPUT ${QUORVANE_MAN_DIR}/quorvane-cli.1.gz ${QUORVANE_MAN_DIR}/quorvane.1.gz
  COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=0
          bash ${CMAKE_SOURCE_DIR}/tools/man_pages.sh $<TARGET_FILE:quorvane-cli> ${QUORVANE_MAN_DIR}
          ${PROJECT_VERSION}
  COMMAND gzip -9nf ${QUORVANE_MAN_DIR}/quorvane-cli.1 ${QUORVANE_MAN_DIR}/quorvane.1
  DEPENDS quorvane-cli ${CMAKE_SOURCE_DIR}/tools/man_pages.sh
  COMMENT "Manual pages from quorvane-cli --help")
add_custom_target(quorvane_man_pages ALL
  DEPENDS ${QUORVANE_MAN_DIR}/quorvane-cli.1.gz ${QUORVANE_MAN_DIR}/quorvane.1.gz)
install(FILES ${QUORVANE_MAN_DIR}/quorvane-cli.1.gz ${QUORVANE_MAN_DIR}/quorvane.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

if(QUORVANE_BUILD_GUI)
  install(FILES ${CMAKE_SOURCE_DIR}/resources/org.quorvane.Quorvane.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${CMAKE_SOURCE_DIR}/resources/org.quorvane.Quorvane.metainfo.xml
          DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
  # The icon, drawn at build time into a hicolor tree.
  set(QUORVANE_ICON_DIR ${CMAKE_BINARY_DIR}/icons/hicolor)
  set(QUORVANE_ICON_FILES
      ${QUORVANE_ICON_DIR}/48x48/apps/quorvane.png ${QUORVANE_ICON_DIR}/128x128/apps/quorvane.png
      ${QUORVANE_ICON_DIR}/256x256/apps/quorvane.png ${QUORVANE_ICON_DIR}/scalable/apps/quorvane.svg)
  add_custom_command(OUTPUT ${QUORVANE_ICON_FILES}
    COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=0 QT_QPA_PLATFORM=offscreen
            $<TARGET_FILE:quorvane-icons> ${QUORVANE_ICON_DIR}
    DEPENDS quorvane-icons
    COMMENT "Drawing the program's icon")
  add_custom_target(quorvane_icon_files ALL DEPENDS ${QUORVANE_ICON_FILES})
  install(DIRECTORY ${QUORVANE_ICON_DIR} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons)
endif()
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DATADIR}/quorvane/docs
        FILES_MATCHING PATTERN "*.png")

# bash scripts/package.sh packs the build (build/package/quorvane_<version>_<arch>.deb),
# installed under /usr whatever CMAKE_INSTALL_PREFIX says: the programs find their
# data and helper beside bin/.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorvane)
set(CPACK_PACKAGE_VENDOR "The Quorvane developers")
set(CPACK_PACKAGE_CONTACT "The Quorvane developers <quorvane@quorvane.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "find and recover deleted files on disks, USB sticks and memory cards")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Quorvane finds deleted and lost files on FAT, exFAT and NTFS volumes, whole\n drives and disk images, shows them with a preview and copies them to a safe\n folder. It never writes to the volume it recovers from. It also finds lost\n partitions. A normal user opens drives through udisks2 and polkit.\n .\n The package holds the desktop program and quorvane-cli.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://quorvane.org/")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Reading drives as a normal user: udisks2 first, pkexec with the helper where it is absent.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "udisks2, pkexec, polkitd, libavcodec59")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
include(CPack)
