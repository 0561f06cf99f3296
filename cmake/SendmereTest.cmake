# sendmere_add_test(NAME SOURCES... LIBS ...): a Qt Test executable run by CTest offscreen,
# on a private session bus, in a fresh HOME/XDG/TMPDIR.
function(sendmere_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE Qt6::Test ${T_LIBS})
  # Each test in a folder of its own: the error log lies beside the executable, and tests
  # of one area run in parallel.
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/${name}_bin)
  add_test(NAME ${name}
           COMMAND ${PROJECT_SOURCE_DIR}/tests/run-isolated.sh $<TARGET_FILE:${name}>)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "SENDMERE_TEST_BIN_DIR=${SENDMERE_BIN_DIR};SENDMERE_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
endfunction()
