# Writes the guides as they are installed, all in one directory (share/doc/gxemp) with the examples
# under examples/: the links between them are made to point where the files are installed, and
# the README says that its build/default/ paths are those of a clone.
#   cmake -DSOURCE_DIR=... -DOUT_DIR=... -P install-docs.cmake
file(GLOB guides "${SOURCE_DIR}/docs/*.md")
file(MAKE_DIRECTORY "${OUT_DIR}")
foreach(guide IN LISTS guides)
  file(READ "${guide}" text)
  string(REPLACE "](../README.md)" "](README.md)" text "${text}")
  string(REPLACE "](../examples/" "](examples/" text "${text}")
  string(REPLACE "](../scenarios)" "](../../gxemp/scenarios)" text "${text}")
  get_filename_component(name "${guide}" NAME)
  file(WRITE "${OUT_DIR}/${name}" "${text}")
endforeach()
file(READ "${SOURCE_DIR}/README.md" text)
string(REPLACE "](docs/" "](" text "${text}")
string(REPLACE "[packaging/README.md](packaging/README.md)" "packaging/README.md of the source"
  text "${text}")
string(REGEX REPLACE "^(# gxemp\n)" "\\1
(Installed: the guides are beside this file and the examples under `examples/`; `gxemp` and
`gxempctl` are on the PATH, so read `build/default/gxempctl` below as `gxempctl`.)
" text "${text}")
file(WRITE "${OUT_DIR}/README.md" "${text}")
