# The manual page, the install layout and the packages. Every version
# number shown to users comes from project() in the top CMakeLists.txt.
include(GNUInstallDirs)

configure_file(doc/cnfupgrade.1.in cnfupgrade.1 @ONLY)
set(cnfupgrade_manual_page ${CMAKE_CURRENT_BINARY_DIR}/cnfupgrade.1)
set(cnfupgrade_manual_text ${CMAKE_CURRENT_BINARY_DIR}/cnfupgrade.txt)

# The renderers run on the build machine, also when building for another
# system.
find_program(CNFUPGRADE_MANDOC mandoc NO_CMAKE_FIND_ROOT_PATH)
find_program(CNFUPGRADE_GROFF groff NO_CMAKE_FIND_ROOT_PATH)

# A plain-text copy of the manual, for systems without a man command and
# for the tests, which read the page as its readers will see it.
if(CNFUPGRADE_MANDOC OR CNFUPGRADE_GROFF)
  if(WIN32)
    set(manual_line_end CRLF)
  else()
    set(manual_line_end LF)
  endif()
  add_custom_command(OUTPUT ${cnfupgrade_manual_text}
    COMMAND ${CMAKE_COMMAND}
      -DMANDOC=${CNFUPGRADE_MANDOC}
      -DGROFF=${CNFUPGRADE_GROFF}
      -DPAGE=${cnfupgrade_manual_page}
      -DTEXT=${cnfupgrade_manual_text}
      -DLINE_END=${manual_line_end}
      -P ${CMAKE_CURRENT_SOURCE_DIR}/cmake/render-manual.cmake
    DEPENDS ${cnfupgrade_manual_page}
      ${CMAKE_CURRENT_SOURCE_DIR}/cmake/render-manual.cmake
    VERBATIM)
  add_custom_target(manual_text ALL DEPENDS ${cnfupgrade_manual_text})
elseif(WIN32)
  message(FATAL_ERROR
    "The Windows package holds the manual as text: install mandoc or groff")
endif()

if(WIN32)
  # A Windows tool is unpacked and run from one folder.
  install(TARGETS cnfupgrade RUNTIME DESTINATION .)
  install(FILES ${cnfupgrade_manual_text} DESTINATION .)
else()
  install(TARGETS cnfupgrade RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${cnfupgrade_manual_page}
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

set(CNFUPGRADE_PACKAGE_CONTACT "cnfupgrade developers <cnfupgrade@example.org>"
  CACHE STRING "Maintainer named in the packages")

set(CPACK_PACKAGE_NAME cnfupgrade)
set(CPACK_PACKAGE_VENDOR "cnfupgrade developers")
set(CPACK_PACKAGE_CONTACT "${CNFUPGRADE_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "upgrade configuration files to the new key names")
set(CPACK_PACKAGE_DESCRIPTION
  "cnfupgrade upgrades line-oriented configuration files (.cnf) from the old
key vocabulary to the new one. It keeps each original as a .bak backup
beside the file, rewrites every line that begins with one of twenty old
keys and leaves every other byte exactly as it was.")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR DEB)
endif()

# cnfupgrade_VERSION_ARCH.deb, with the dependencies that
# dpkg-shlibdeps finds in the executable.
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

include(CPack)
