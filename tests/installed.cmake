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
if(TARGET tsuprobe)  # with the whole-program tests' Xvfb and xdotool
  list(APPEND installed_cases installed_program_shows_its_port_dialog_with_the_icon_of_the_installed_theme)
endif()
foreach(case ${installed_cases})
  add_test(NAME installed.${case}
           COMMAND Python3::Interpreter ${CMAKE_CURRENT_SOURCE_DIR}/installed.py Installed.test_${case})
  set_tests_properties(installed.${case} PROPERTIES
                       ENVIRONMENT "TSU_BUILD_DIR=${PROJECT_BINARY_DIR};TSU_CMAKE=${CMAKE_COMMAND};TSU_PROBE_DIR=${CMAKE_CURRENT_BINARY_DIR}/probe;TSU_VERSION=${PROJECT_VERSION}"
                       TIMEOUT 60)
endforeach()

# Every product source compiled for Windows (syntax only: Qt and RtMidi for
# Windows cannot be linked here), so that code behind Windows-only conditions
# is compiled too. Against the Qt 5 headers of this machine with Qt's Windows
# platform definitions, RtMidi's header with its Windows Multimedia backend,
# and the designer forms' headers this build generated.
find_program(TSU_MINGW_CXX x86_64-w64-mingw32-g++-posix)
find_path(TSU_RTMIDI_INCLUDE_ROOT rtmidi/RtMidi.h)
if(TSU_MINGW_CXX AND TSU_RTMIDI_INCLUDE_ROOT AND NOT WIN32)
  # RtMidi's header alone: the folder it lives in holds the host's C library too.
  set(windows_include ${CMAKE_CURRENT_BINARY_DIR}/windows/include)
  configure_file(${TSU_RTMIDI_INCLUDE_ROOT}/rtmidi/RtMidi.h ${windows_include}/rtmidi/RtMidi.h COPYONLY)
  set(qt_includes ${Qt5Widgets_INCLUDE_DIRS})
  list(TRANSFORM qt_includes REPLACE "/mkspecs/[^/]+$" "/mkspecs/win32-g++")
  list(TRANSFORM qt_includes PREPEND "-isystem")
  file(GLOB product_sources CONFIGURE_DEPENDS RELATIVE ${PROJECT_SOURCE_DIR}
       ${PROJECT_SOURCE_DIR}/app/*.cpp ${PROJECT_SOURCE_DIR}/ui/*.cpp
       ${PROJECT_SOURCE_DIR}/midi/*.cpp ${PROJECT_SOURCE_DIR}/update/*.cpp)
  foreach(source ${product_sources})
    add_test(NAME windows_compile.${source}
             COMMAND ${TSU_MINGW_CXX} -fsyntax-only -std=c++17 -Wall -Wextra
                     -D__WINDOWS_MM__ -DUNICODE -D_UNICODE -DQT_CORE_LIB -DQT_GUI_LIB -DQT_WIDGETS_LIB
                     -I${PROJECT_SOURCE_DIR} -I${PROJECT_BINARY_DIR}/tessarine_autogen/include -I${TSU_RCC_DIR} -I${windows_include}
                     ${qt_includes} ${PROJECT_SOURCE_DIR}/${source})
    set_tests_properties(windows_compile.${source} PROPERTIES TIMEOUT 30)
  endforeach()
else()
  message(STATUS "Windows compile checks left out: they need x86_64-w64-mingw32-g++-posix (g++-mingw-w64-x86-64-posix)")
endif()
