# The manual page and the install layout. Every version
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
