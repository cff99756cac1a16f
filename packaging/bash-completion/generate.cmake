# Writes the bash completion of gxempctl from its template, with the names that come from the
# plug-in's source:
#   cmake -DSOURCE=Src/EmpCommandTable.cpp -DTEMPLATE=gxempctl.in -DOUT=gxempctl -P generate.cmake
# - the commands of `gxempctl call`: every entry {"Name", Cmd::...} of the command tables;
# - the gestures of `gxempctl sim gesture`: every entry {"EVENT_MOTION_...", ...} of the table
#   that turns event names into motion signals, but for EVENT_MOTION_DEFAULT_MAX, the plug-in's
#   value for a name it does not know, which no client receives.
# With -DVERBS_DIR=Tools/gxempctl, also gxempctl's own verbs, from the tables that dispatch them:
# the commands (kCommands[] in main.cpp) and the subcommands of sim (kSimVerbs[] in Sim.cpp), but
# for aliases (an entry whose usage is not a string).
# A source in which a table cannot be found stops the build rather than leave a completion
# without names.
foreach(var SOURCE TEMPLATE OUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "generate.cmake: ${var} is not set")
  endif()
endforeach()
file(READ "${SOURCE}" text)

# The first string of every table entry {"NAME", ...} in `text` that matches `pattern`.
function(entry_names text pattern out)
  string(REGEX MATCHALL "${pattern}" entries "${text}")
  set(names "")
  foreach(entry IN LISTS entries)
    string(REGEX REPLACE "^{\"([^\"]+)\".*" "\\1" name "${entry}")
    list(APPEND names ${name})
  endforeach()
  set(${out} "${names}" PARENT_SCOPE)
endfunction()

entry_names("${text}" "{\"[A-Za-z]+\",[ \t\r\n]*Cmd::" commands)
entry_names("${text}" "{\"EVENT_MOTION_[A-Z_]+\"," gestures)
list(REMOVE_ITEM gestures EVENT_MOTION_DEFAULT_MAX)

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

# The names of the verb table `array` in `file`, in table order, into `out` (space-separated).
function(verb_names file array out)
  file(READ "${file}" source)
  string(FIND "${source}" "${array}[] = {" start)
  if(start EQUAL -1)
    message(FATAL_ERROR "generate.cmake: no table ${array} in ${file}; update this script")
  endif()
  string(SUBSTRING "${source}" ${start} -1 source)
  string(FIND "${source}" "\n};" end)
  string(SUBSTRING "${source}" 0 ${end} source)
  entry_names("${source}" "{\"[a-z-]+\",[^,]+,[^,]+,[^,]+,[ \t\r\n]*\"" names)
  if(names STREQUAL "")
    message(FATAL_ERROR "generate.cmake: no verbs in ${array} of ${file}; update this script")
  endif()
  string(REPLACE ";" " " names "${names}")
  set(${out} "${names}" PARENT_SCOPE)
endfunction()
if(DEFINED VERBS_DIR)
  verb_names("${VERBS_DIR}/main.cpp" kCommands GXEMPCTL_COMMANDS)
  verb_names("${VERBS_DIR}/Sim.cpp" kSimVerbs GXEMPCTL_SIM_COMMANDS)
endif()
configure_file("${TEMPLATE}" "${OUT}" @ONLY)
