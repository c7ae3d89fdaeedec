# The user documentation is installed flat, in one directory, while in the source tree it lives
# under docs/, examples/ and scripts/. So that a link in an installed Markdown page still leads
# somewhere, each page is installed with its relative links rewritten: a target installed beside
# it becomes its file name, a man page its compressed page under the man directory, and any
# other target (a file that is not installed) is dropped, leaving the link's text.
#
#   certwright_install_docs(FILES file... PROGRAMS file... MAN_PAGES page...)
#
# Paths are relative to the source directory. The rewritten pages are made at configure time;
# editing a page re-runs the configuration.
function(certwright_install_docs)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "" "FILES;PROGRAMS;MAN_PAGES")
  set(installed ${arg_FILES} ${arg_PROGRAMS})
  file(RELATIVE_PATH man_directory /${CMAKE_INSTALL_DOCDIR} /${CMAKE_INSTALL_MANDIR}/man1)
  set(output_directory ${CMAKE_CURRENT_BINARY_DIR}/installed-docs)
  file(MAKE_DIRECTORY ${output_directory})

  set(files_to_install "")
  foreach(file IN LISTS arg_FILES)
    if(NOT file MATCHES "\\.md$")
      list(APPEND files_to_install ${file})
      continue()
    endif()
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${file})
    file(READ ${CMAKE_CURRENT_SOURCE_DIR}/${file} text)
    cmake_path(GET file PARENT_PATH directory)
    # Walked one match at a time: a page's brackets would split a CMake list of them wrongly.
    set(rest "${text}")
    while(rest MATCHES "\\]\\(([^)#:]+)\\)")
      set(target "${CMAKE_MATCH_1}")
      string(FIND "${rest}" "${CMAKE_MATCH_0}" at)
      string(LENGTH "${CMAKE_MATCH_0}" length)
      math(EXPR after "${at} + ${length}")
      string(SUBSTRING "${rest}" ${after} -1 rest)
      cmake_path(APPEND directory "${target}" OUTPUT_VARIABLE resolved)
      cmake_path(NORMAL_PATH resolved)
      cmake_path(GET resolved FILENAME name)
      if(resolved IN_LIST installed)
        string(REPLACE "](${target})" "](${name})" text "${text}")
      elseif(resolved IN_LIST arg_MAN_PAGES)
        string(REPLACE "](${target})" "](${man_directory}/${name}.gz)" text "${text}")
      else()
        string(REGEX REPLACE "([][.*+?^$()|\\\\])" "\\\\\\1" pattern "${target}")
        string(REGEX REPLACE "!?\\[([^]]*)\\]\\(${pattern}\\)" "\\1" text "${text}")
      endif()
    endwhile()
    cmake_path(GET file FILENAME name)
    file(WRITE ${output_directory}/${name} "${text}")
    list(APPEND files_to_install ${output_directory}/${name})
  endforeach()

  install(FILES ${files_to_install} DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(PROGRAMS ${arg_PROGRAMS} DESTINATION ${CMAKE_INSTALL_DOCDIR})
endfunction()
