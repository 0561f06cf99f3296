# Install helpers that keep an installation relocatable: paths inside installed files are
# worked out when `cmake --install` runs, from the prefix it installs to.

# sendmere_install_link(TARGET LINK): a relative symbolic link LINK -> TARGET, both relative
# to the install prefix.
function(sendmere_install_link target link)
  get_filename_component(link_dir "${link}" DIRECTORY)
  file(RELATIVE_PATH relative "/${link_dir}" "/${target}")
  install(CODE "
    set(link \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${link}\")
    message(STATUS \"Installing: \${link} -> ${relative}\")
    file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${link_dir}\")
    file(CREATE_LINK \"${relative}\" \"\${link}\" SYMBOLIC)
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${link}\")")
endfunction()

# sendmere_configure_installed(TEMPLATE DESTINATION [NAME name] [SYSCONF]): configures TEMPLATE
# (@VAR@ form) into the build tree with the configured prefix, for the tests that check the
# file, and again at install time with the prefix installed to. The templates may use
# @SENDMERE_FULL_PROGRAMDIR@, @SENDMERE_FULL_BINDIR@ and @SENDMERE_FULL_DATADIR@. With SYSCONF
# the destination lies in the system configuration folder of the prefix installed to: /etc
# for the prefix /usr (as a package installs it), PREFIX/etc for any other.
function(sendmere_configure_installed template destination)
  cmake_parse_arguments(C "SYSCONF" "NAME" "" ${ARGN})
  get_filename_component(source "${template}" ABSOLUTE)
  if(NOT C_NAME)
    get_filename_component(C_NAME "${template}" NAME)
    string(REGEX REPLACE "\\.in$" "" C_NAME "${C_NAME}")
  endif()
  set(SENDMERE_FULL_PROGRAMDIR "${CMAKE_INSTALL_PREFIX}/${SENDMERE_INSTALL_PROGRAMDIR}")
  set(SENDMERE_FULL_BINDIR "${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}")
  set(SENDMERE_FULL_DATADIR "${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}")
  configure_file("${source}" "${CMAKE_CURRENT_BINARY_DIR}/${C_NAME}" @ONLY)
  # Where the file goes, worked out when the install runs.
  set(base_code "set(base \"\${CMAKE_INSTALL_PREFIX}\")")
  if(C_SYSCONF)
    set(base_code "set(base \"\${CMAKE_INSTALL_PREFIX}/etc\")
    if(\"\${CMAKE_INSTALL_PREFIX}\" STREQUAL \"/usr\")
      set(base \"/etc\")
    endif()")
  endif()
  install(CODE "
    set(SENDMERE_FULL_PROGRAMDIR \"\${CMAKE_INSTALL_PREFIX}/${SENDMERE_INSTALL_PROGRAMDIR}\")
    set(SENDMERE_FULL_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    set(SENDMERE_FULL_DATADIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}\")
    ${base_code}
    set(out \"\$ENV{DESTDIR}\${base}/${destination}/${C_NAME}\")
    message(STATUS \"Installing: \${out}\")
    configure_file(\"${source}\" \"\${out}\" @ONLY)
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${out}\")")
endfunction()
