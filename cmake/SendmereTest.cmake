# sendmere_add_test(NAME SOURCES... LIBS ... [TIMEOUT s] [DESKTOP]): a Qt Test executable run
# by CTest on a private session bus, in a fresh HOME/XDG/TMPDIR; offscreen, or with DESKTOP on
# an X server of its own (Xvfb) with the accessibility bus, where real message boxes and
# dialogs open and the test closes them through the keyboard or the accessibility actions.
function(sendmere_add_test name)
  cmake_parse_arguments(T "DESKTOP" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE Qt6::Test ${T_LIBS})
  # Each test in a folder of its own: the error log lies beside the executable, and tests
  # of one area run in parallel.
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/${name}_bin)
  set(mode)
  if(T_DESKTOP)
    set(mode --desktop)
  endif()
  add_test(NAME ${name}
           COMMAND ${PROJECT_SOURCE_DIR}/tests/run-isolated.sh ${mode} $<TARGET_FILE:${name}>)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "SENDMERE_TEST_BIN_DIR=${SENDMERE_BIN_DIR};SENDMERE_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
  if(T_DESKTOP)
    set_property(TEST ${name} APPEND PROPERTY LABELS desktop)
  endif()
endfunction()

# sendmere_add_desktop_test(NAME SOURCES... LIBS ... [TIMEOUT s]): the same on a real X server.
# Link sendmere_desktoptestsupport for the helpers that find, press and close real windows.
function(sendmere_add_desktop_test name)
  sendmere_add_test(${name} DESKTOP ${ARGN})
endfunction()
