# The exported names are listed once, in cmake/morelapi.def (the Windows
# linker reads it as it is). From it, at configure time:
#   MORELAPI_EXPORTS        the names, as a list
#   MORELAPI_EXPORT_COUNT   how many there are
#   <build>/morelapi.exports  one name a line, for the checks of the exports
#   <build>/morelapi.map      the ELF version script: these names, nothing else
set(MORELAPI_DEF ${PROJECT_SOURCE_DIR}/cmake/morelapi.def)
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${MORELAPI_DEF})
file(STRINGS ${MORELAPI_DEF} def_lines)
set(MORELAPI_EXPORTS "")
set(in_exports FALSE)
foreach(line IN LISTS def_lines)
  # A .def line: "name [@ordinal] [keywords]", ';' starts a comment.
  string(REGEX REPLACE ";.*" "" line "${line}")
  string(STRIP "${line}" line)
  if(line STREQUAL "")
    continue()
  elseif(line MATCHES "^EXPORTS$")
    set(in_exports TRUE)
  elseif(in_exports AND line MATCHES "^([A-Za-z_][A-Za-z0-9_]*)")
    list(APPEND MORELAPI_EXPORTS ${CMAKE_MATCH_1})
  endif()
endforeach()
list(LENGTH MORELAPI_EXPORTS MORELAPI_EXPORT_COUNT)
if(MORELAPI_EXPORT_COUNT EQUAL 0)
  message(FATAL_ERROR "${MORELAPI_DEF} lists no exports")
endif()
list(JOIN MORELAPI_EXPORTS "\n" export_lines)
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/morelapi.exports CONTENT "${export_lines}\n")
list(JOIN MORELAPI_EXPORTS "; " export_list)
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/morelapi.map CONTENT "{ global: ${export_list}; local: *; };\n")
