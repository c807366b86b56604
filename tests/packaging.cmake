# Installation data and the Debian package: label "package".
set(CANTOREL_DATA ${PROJECT_SOURCE_DIR}/data)

# A checker that is missing fails its test instead of vanishing from the run.
function(cantorel_require_program var program package)
  find_program(${var} ${program})
  if(NOT ${var})
    set(${var} sh -c "echo '${program} not found: install ${package}'; exit 1" PARENT_SCOPE)
  endif()
endfunction()

cantorel_require_program(DESKTOP_FILE_VALIDATE desktop-file-validate desktop-file-utils)
add_test(NAME package_desktop_file COMMAND ${DESKTOP_FILE_VALIDATE} ${CANTOREL_DATA}/cantorel.desktop)
# The validator prints hints and warnings but still succeeds; any output is a finding.
set_tests_properties(package_desktop_file PROPERTIES LABELS package FAIL_REGULAR_EXPRESSION ".")

cantorel_require_program(APPSTREAMCLI appstreamcli appstream)
add_test(NAME package_metainfo
         COMMAND ${APPSTREAMCLI} validate --no-net --strict ${CANTOREL_DATA}/org.cantorel.Cantorel.metainfo.xml)
set_tests_properties(package_metainfo PROPERTIES LABELS package)

# The manual page: no troff warnings at all, and man renders its sections.
find_program(GROFF_PROGRAM groff)
if(GROFF_PROGRAM)
  add_test(NAME package_manpage_groff COMMAND ${GROFF_PROGRAM} -man -Tutf8 -ww -z ${CANTOREL_DATA}/cantorel.1)
  set_tests_properties(package_manpage_groff PROPERTIES LABELS package FAIL_REGULAR_EXPRESSION ".")
endif()
find_program(MAN_PROGRAM man)
if(MAN_PROGRAM)
  add_test(NAME package_manpage_man
           COMMAND ${CMAKE_COMMAND} -E env MANPAGER=cat MANWIDTH=80
                   ${MAN_PROGRAM} --warnings -l ${CANTOREL_DATA}/cantorel.1)
  set_tests_properties(package_manpage_man PROPERTIES LABELS package
                       PASS_REGULAR_EXPRESSION "KEYBOARD SHORTCUTS.*FILES.*EXIT STATUS"
                       FAIL_REGULAR_EXPRESSION "(troff|groff|preconv|man): ")
endif()

# Builds the .deb once for the tests that need it; stale packages are removed first
# so that exactly one is found.
set(CANTOREL_PACKAGE_DIR ${PROJECT_BINARY_DIR}/package)
add_test(NAME package_deb
         COMMAND sh -c "rm -rf \"$1\" && \"$2\" -G DEB --config \"$3\" -B \"$1\""
                 sh ${CANTOREL_PACKAGE_DIR} ${CMAKE_CPACK_COMMAND} ${PROJECT_BINARY_DIR}/CPackConfig.cmake)
set_tests_properties(package_deb PROPERTIES LABELS package FIXTURES_SETUP cantorel_deb TIMEOUT 600
                     RESOURCE_LOCK cantorel_package_dir)

# The package and `cmake --install` unpacked and run under Xvfb.
cantorel_gui_test(gui_package)
target_compile_definitions(gui_package PRIVATE
  CANTOREL_PACKAGE_DIR="${CANTOREL_PACKAGE_DIR}"
  CANTOREL_BUILD_DIR="${PROJECT_BINARY_DIR}"
  CANTOREL_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
  CANTOREL_CMAKE="${CMAKE_COMMAND}")
set_tests_properties(gui_package PROPERTIES LABELS "gui;package" FIXTURES_REQUIRED cantorel_deb
                     RESOURCE_LOCK cantorel_package_dir)
add_dependencies(plain_checks gui_package)
