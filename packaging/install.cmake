# Installing the uploader as a desktop program, and its Debian package.
#
# Everything installed beside the program carries its reverse-DNS id: the
# menu entry (applications/ID.desktop), the icons of the hicolor theme
# (ID.png) and the AppStream metainfo (metainfo/ID.metainfo.xml). The program
# asks the icon theme for the same name (app/program.cpp). Only the uploader
# and its file checker are installed: not the tests, the benchmarks or the
# simulated instrument.
set(TSU_APP_ID com.tessarine.Uploader)
include(GNUInstallDirs)

if(APPLE)
  # An application bundle, which macdeployqt fills with Qt's frameworks.
  set_target_properties(tessarine-uploader PROPERTIES
    MACOSX_BUNDLE TRUE
    MACOSX_BUNDLE_BUNDLE_NAME "Tessarine Uploader"
    MACOSX_BUNDLE_GUI_IDENTIFIER ${TSU_APP_ID}
    MACOSX_BUNDLE_BUNDLE_VERSION ${PROJECT_VERSION}
    MACOSX_BUNDLE_SHORT_VERSION_STRING ${PROJECT_VERSION})
endif()
install(TARGETS tessarine-uploader RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} BUNDLE DESTINATION .)
# The check of an update file, for firmware authors and users in doubt.
install(TARGETS tsu-check RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

if(UNIX AND NOT APPLE)
  set(resources ${PROJECT_SOURCE_DIR}/resources)
  install(FILES ${resources}/${TSU_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${resources}/${TSU_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
  foreach(size 16x16 32x32 48x48 256x256)
    install(FILES ${resources}/icons/hicolor/${size}/apps/tessarine-uploader.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}/apps RENAME ${TSU_APP_ID}.png)
  endforeach()

  # The manual page and the package's changelog are installed compressed.
  # gzip -n keeps the files' names and times out, so the same text always
  # gives the same bytes.
  configure_file(${CMAKE_CURRENT_LIST_DIR}/tessarine-uploader.1.in ${CMAKE_CURRENT_BINARY_DIR}/tessarine-uploader.1 @ONLY)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/tsu-check.1.in ${CMAKE_CURRENT_BINARY_DIR}/tsu-check.1 @ONLY)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/changelog)
  foreach(file ${CMAKE_CURRENT_BINARY_DIR}/tessarine-uploader.1 ${CMAKE_CURRENT_BINARY_DIR}/tsu-check.1
               ${CMAKE_CURRENT_LIST_DIR}/changelog)
    get_filename_component(name ${file} NAME)
    execute_process(COMMAND gzip -9n -c ${file} OUTPUT_FILE ${CMAKE_CURRENT_BINARY_DIR}/${name}.gz
                    RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR "gzip could not compress ${file}")
    endif()
  endforeach()
  file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/changelog latest LIMIT_COUNT 1)
  if(NOT latest MATCHES "^tessarine-uploader \\(${PROJECT_VERSION}\\) ")
    message(WARNING "packaging/changelog has no entry for version ${PROJECT_VERSION} at its top")
  endif()
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tessarine-uploader.1.gz ${CMAKE_CURRENT_BINARY_DIR}/tsu-check.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  set(docdir ${CMAKE_INSTALL_DATADIR}/doc/tessarine-uploader)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz DESTINATION ${docdir})
endif()

# The Debian package: cpack -G DEB in a build folder (packaging/make-deb.sh) makes
# tessarine-uploader_VERSION_ARCH.deb. dpkg-shlibdeps works out the libraries
# it depends on from the installed program.
if(UNIX AND NOT APPLE AND NOT TSU_SANITIZE)
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME tessarine-uploader)
  set(CPACK_PACKAGE_VENDOR Tessarine)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "install new firmware into Tessarine MIDI instruments")
  set(CPACK_PACKAGE_DESCRIPTION [=[
Tessarine Uploader brings the firmware of a Tessarine instrument up to date
over MIDI. Connect the instrument, pick its MIDI port in the uploader, then
pick the update file (*.tsu) you got for it. The uploader shows the firmware
version the instrument runs and the one in the file, and asks before
replacing it; it then shows the progress of the update in percent.

The instrument is reached through the computer's MIDI system: the ALSA
sequencer, or a running JACK server.]=])
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION sound)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # The port dialog's title asks for Calibri, which Debian does not have;
  # Carlito has its metrics, so that the title measures as designed.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS fonts-crosextra-carlito)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Tessarine <support@tessarine.com>")
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_STRIP_FILES ON)
  include(CPack)
endif()
