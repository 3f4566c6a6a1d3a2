# tolvane_jakarta_sources(<out-var> <from-dir> <to-dir> <source>...)
# A custom command that writes the Jakarta Mail 2 form of the given Java sources (absolute
# paths under <from-dir>) under <to-dir> (see jakarta_sources.cmake); <out-var> gets the
# written files, ready to be the SOURCES of add_jar.
set(TOLVANE_JAKARTA_MAIL_JAR /usr/share/java/jakarta-mail.jar CACHE FILEPATH
    "Jakarta Mail 2 jar (libjakarta-mail-java)")
set(TOLVANE_JAKARTA_ACTIVATION_JAR /usr/share/java/jakarta-activation.jar CACHE FILEPATH
    "Jakarta Activation 2 jar (libjakarta-activation-java)")
foreach(jar ${TOLVANE_JAKARTA_MAIL_JAR} ${TOLVANE_JAKARTA_ACTIVATION_JAR})
  if(NOT EXISTS ${jar})
    tolvane_missing("${jar}" libjakarta-mail-java)
  endif()
endforeach()

function(tolvane_jakarta_sources out from to)
  set(relative "")
  set(outputs "")
  foreach(source ${ARGN})
    file(RELATIVE_PATH rel "${from}" "${source}")
    list(APPEND relative "${rel}")
    list(APPEND outputs "${to}/${rel}")
  endforeach()
  string(REPLACE ";" "|" relative_arg "${relative}")
  add_custom_command(OUTPUT ${outputs}
    COMMAND ${CMAKE_COMMAND} -DFROM=${from} -DTO=${to} "-DFILES=${relative_arg}"
            -P ${PROJECT_SOURCE_DIR}/cmake/jakarta_sources.cmake
    DEPENDS ${ARGN} ${PROJECT_SOURCE_DIR}/cmake/jakarta_sources.cmake
    COMMENT "Jakarta Mail form of the Java sources in ${to}"
    VERBATIM)
  set(${out} ${outputs} PARENT_SCOPE)
endfunction()
