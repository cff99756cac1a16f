# Writes the bash completion of gxempctl from its template, with the names that come from the
# plug-in's source:
#   cmake -DSOURCE=Src/EmpCommandTable.cpp -DTEMPLATE=gxempctl.in -DOUT=gxempctl -P generate.cmake
# - the commands of `gxempctl call`: every entry {"Name", Cmd::...} of the command tables;
# - the gestures of `gxempctl sim gesture`: every entry {"EVENT_MOTION_...", ...} of the table
#   that turns event names into motion signals, but for EVENT_MOTION_DEFAULT_MAX, the plug-in's
#   value for a name it does not know, which no client receives.
# A source in which either table cannot be found stops the build rather than leave a completion
# without names.
foreach(var SOURCE TEMPLATE OUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "generate.cmake: ${var} is not set")
  endif()
endforeach()
file(READ "${SOURCE}" text)

string(REGEX MATCHALL "{\"[A-Za-z]+\",[ \t\r\n]*Cmd::" entries "${text}")
set(commands "")
foreach(entry IN LISTS entries)
  string(REGEX REPLACE "^{\"([A-Za-z]+)\".*" "\\1" name "${entry}")
  list(APPEND commands ${name})
endforeach()

string(REGEX MATCHALL "{\"EVENT_MOTION_[A-Z_]+\"," entries "${text}")
set(gestures "")
foreach(entry IN LISTS entries)
  string(REGEX REPLACE "^{\"(EVENT_MOTION_[A-Z_]+)\".*" "\\1" name "${entry}")
  if(NOT name STREQUAL "EVENT_MOTION_DEFAULT_MAX")
    list(APPEND gestures ${name})
  endif()
endforeach()

list(REMOVE_DUPLICATES commands)
list(REMOVE_DUPLICATES gestures)
list(LENGTH commands n_commands)
list(LENGTH gestures n_gestures)
if(n_commands EQUAL 0 OR n_gestures EQUAL 0)
  message(FATAL_ERROR "generate.cmake: found ${n_commands} commands and ${n_gestures} gestures in "
    "${SOURCE}: its command tables or its event table changed shape; update this script")
endif()
list(SORT commands)
list(SORT gestures)
string(REPLACE ";" " " GXEMPCTL_CALL_COMMANDS "${commands}")
string(REPLACE ";" " " GXEMPCTL_GESTURES "${gestures}")
configure_file("${TEMPLATE}" "${OUT}" @ONLY)
