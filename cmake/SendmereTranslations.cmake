# The translations: Debian's qt6-l10n-tools ship lupdate and lrelease but not Qt's CMake
# functions for them (those come with the much larger development tools), so the few steps
# are spelled out here.
#
# sendmere_add_translations(TARGET RESOURCE_PREFIX prefix TS_FILES ts... SOURCE_DIRS dir...)
#   compiles each .ts into a .qm and embeds the .qm files in TARGET under RESOURCE_PREFIX;
#   the target `update_translations` refreshes the .ts files from the texts the sources mark.
find_program(SENDMERE_LRELEASE NAMES lrelease-qt6 lrelease HINTS /usr/lib/qt6/bin REQUIRED)
find_program(SENDMERE_LUPDATE NAMES lupdate-qt6 lupdate HINTS /usr/lib/qt6/bin REQUIRED)
# Locations are left out so that moving code leaves the translation files alone, and texts
# that left the program leave the files too.
set(SENDMERE_LUPDATE_OPTIONS -silent -no-obsolete -locations none -source-language en)

function(sendmere_add_translations target)
  cmake_parse_arguments(arg "" "RESOURCE_PREFIX" "TS_FILES;SOURCE_DIRS" ${ARGN})
  set(qm_dir ${CMAKE_CURRENT_BINARY_DIR}/translations)
  set(qm_files)
  foreach(ts IN LISTS arg_TS_FILES)
    get_filename_component(name ${ts} NAME_WE)
    set(qm ${qm_dir}/${name}.qm)
    add_custom_command(OUTPUT ${qm}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${qm_dir}
      COMMAND ${SENDMERE_LRELEASE} -silent ${ts} -qm ${qm}
      DEPENDS ${ts}
      COMMENT "Compiling the translation ${name}"
      VERBATIM)
    list(APPEND qm_files ${qm})
  endforeach()
  qt_add_resources(${target} "${target}_translations" PREFIX ${arg_RESOURCE_PREFIX} BASE ${qm_dir} FILES ${qm_files})
  add_custom_target(update_translations
    COMMAND ${SENDMERE_LUPDATE} ${SENDMERE_LUPDATE_OPTIONS} ${arg_SOURCE_DIRS} -ts ${arg_TS_FILES}
    COMMENT "Refreshing the translations from the sources"
    VERBATIM)
endfunction()
