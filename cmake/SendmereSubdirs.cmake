# sendmere_add_subdirectories([EXCEPT name...]): adds every subfolder of the current folder
# that has a CMakeLists.txt, so a new tool, test area or benchmark needs no other edit.
function(sendmere_add_subdirectories)
  cmake_parse_arguments(S "" "" "EXCEPT" ${ARGN})
  file(GLOB children LIST_DIRECTORIES true RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/*)
  foreach(child IN LISTS children)
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${child}/CMakeLists.txt AND NOT child IN_LIST S_EXCEPT)
      add_subdirectory(${child})
    endif()
  endforeach()
endfunction()
