# The installed uploader and the Windows build, checked on every run.

# The menu entry and the AppStream metainfo, as the desktop's own tools read
# them.
find_program(TSU_DESKTOP_FILE_VALIDATE desktop-file-validate)
find_program(TSU_APPSTREAMCLI appstreamcli)
if(TSU_DESKTOP_FILE_VALIDATE AND TSU_APPSTREAMCLI)
  add_test(NAME installed.desktop_entry_is_valid
           COMMAND ${TSU_DESKTOP_FILE_VALIDATE} ${PROJECT_SOURCE_DIR}/resources/${TSU_APP_ID}.desktop)
  add_test(NAME installed.metainfo_is_valid
           COMMAND ${TSU_APPSTREAMCLI} validate --no-net ${PROJECT_SOURCE_DIR}/resources/${TSU_APP_ID}.metainfo.xml)
  set_tests_properties(installed.desktop_entry_is_valid installed.metainfo_is_valid PROPERTIES TIMEOUT 20)
else()
  message(STATUS "Menu entry and metainfo checks left out: they need desktop-file-validate "
                 "(desktop-file-utils) and appstreamcli (appstream)")
endif()

# What cmake --install lays out, and the installed program on a virtual
# display of its own, its icon taken from the installed icon theme
# (installed.py). The program is the one this build made.
set(installed_cases)
if(Python3_FOUND AND UNIX AND NOT APPLE)
  list(APPEND installed_cases install_lays_out_exactly_the_program_its_menu_entry_icons_and_metainfo)
endif()
if(TARGET tsuprobe AND TSU_XVFB AND TSU_XDOTOOL)  # the whole-program tests' Xvfb and xdotool
  list(APPEND installed_cases installed_program_shows_its_port_dialog_with_the_icon_of_the_installed_theme)
endif()
foreach(case ${installed_cases})
  add_test(NAME installed.${case}
           COMMAND Python3::Interpreter ${CMAKE_CURRENT_SOURCE_DIR}/installed.py Installed.test_${case})
  set_tests_properties(installed.${case} PROPERTIES
                       ENVIRONMENT "TSU_BUILD_DIR=${PROJECT_BINARY_DIR};TSU_CMAKE=${CMAKE_COMMAND};TSU_PROBE_DIR=${TSU_PROBE_DIR};TSU_VERSION=${PROJECT_VERSION}"
                       TIMEOUT 60)
endforeach()

# The program for Windows, as its users get it: on every build,
# packaging/windows/make-win64-zip.sh cross-builds it with mingw-w64 against a static Qt
# and RtMidi for Windows (TSU_WIN64_QT: a prefix or its tarball; by default
# the one beside the repository in ../shared/win64) and packs the zip. The
# tests unpack that zip, read the program's imports and resources, and run it
# under Wine on a virtual display of its own. Left to the plain build: the
# sanitizers cannot reach into a Windows program.
set(TSU_WIN64_QT_DEFAULT "")
if(EXISTS ${PROJECT_SOURCE_DIR}/../shared/win64/qt5-win64-static-5.15.8.tar.xz)
  get_filename_component(TSU_WIN64_QT_DEFAULT ${PROJECT_SOURCE_DIR}/../shared/win64/qt5-win64-static-5.15.8.tar.xz ABSOLUTE)
elseif(EXISTS /opt/qt5-win64-static/lib/cmake/Qt5)
  set(TSU_WIN64_QT_DEFAULT /opt/qt5-win64-static)
endif()
set(TSU_WIN64_QT "${TSU_WIN64_QT_DEFAULT}" CACHE STRING "Qt and RtMidi for Windows (a prefix or its tarball) for the Windows program and its tests")
find_program(TSU_MINGW_CXX x86_64-w64-mingw32-g++-posix)
find_program(TSU_MINGW_OBJDUMP x86_64-w64-mingw32-objdump)
find_program(TSU_WRESTOOL wrestool)
find_program(TSU_ZIP zip)
# Debian's wine64 runs 64-bit programs alone; /usr/bin/wine would want wine32.
find_program(TSU_WINE64 wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(TSU_WINESERVER wineserver PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(WIN32)
elseif(TSU_SANITIZE)
  message(STATUS "Windows program and its checks left out of the sanitized build: the plain build has them")
elseif(NOT TSU_WIN64_QT)
  message(STATUS "Windows program and its checks left out: no static Qt for Windows; set TSU_WIN64_QT to one, or make one with packaging/windows/build-qt-win64.sh")
elseif(NOT TSU_MINGW_CXX OR NOT TSU_MINGW_OBJDUMP OR NOT TSU_WRESTOOL OR NOT TSU_ZIP OR NOT TSU_WINE64
       OR NOT TSU_WINESERVER OR NOT TSU_XVFB OR NOT TSU_XDOTOOL)
  message(STATUS "Windows program and its checks left out: they need mingw-w64, wrestool (icoutils), zip, "
                 "wine64 and the whole-program tests' Xvfb and xdotool (dev/install-deps.sh)")
else()
  set(win64_dir ${PROJECT_BINARY_DIR}/win64)
  add_custom_target(tessarine_win64_zip ALL
    COMMAND ${PROJECT_SOURCE_DIR}/packaging/windows/make-win64-zip.sh --qt ${TSU_WIN64_QT} --build ${win64_dir}
    COMMENT "The program for Windows and its zip (packaging/windows/make-win64-zip.sh)"
    USES_TERMINAL)
  set(win64_env
      "TSU_WIN64_ZIP=${win64_dir}/tessarine-uploader-${PROJECT_VERSION}-win64.zip"
      "TSU_VERSION=${PROJECT_VERSION}"
      "TSU_OBJDUMP=${TSU_MINGW_OBJDUMP}"
      "TSU_WINE64=${TSU_WINE64}"
      "TSU_WINESERVER=${TSU_WINESERVER}"
      # The one Wine prefix of a test run, made afresh by the test that runs Wine.
      "TSU_WINE_PREFIX=${CMAKE_CURRENT_BINARY_DIR}/wine-prefix"
      "TSU_SCREENSHOT_DIR=${CMAKE_CURRENT_BINARY_DIR}/screenshots")
  add_test(NAME installed.windows_zip_holds_one_stripped_program_of_windows_dlls_alone_with_its_icon_and_version
           COMMAND Python3::Interpreter ${CMAKE_CURRENT_SOURCE_DIR}/installed.py
                   WindowsProgram.test_zip_holds_one_stripped_program_of_windows_dlls_alone_with_its_icon_and_version)
  set_tests_properties(installed.windows_zip_holds_one_stripped_program_of_windows_dlls_alone_with_its_icon_and_version
                       PROPERTIES ENVIRONMENT "${win64_env}" TIMEOUT 60)
  add_test(NAME installed.windows_program_under_wine_without_midi_devices_lists_no_port_and_cancel_ends_it
           COMMAND Python3::Interpreter ${CMAKE_CURRENT_SOURCE_DIR}/installed.py
                   WindowsProgram.test_under_wine_without_midi_devices_it_lists_no_port_and_cancel_ends_it)
  set_tests_properties(installed.windows_program_under_wine_without_midi_devices_lists_no_port_and_cancel_ends_it
                       PROPERTIES ENVIRONMENT "${win64_env}" TIMEOUT 120)
endif()
