# Builds the view's one self-contained page as a C++ source: index.html with view.css and view.js
# put in place of the tags that link them (so the files open as they are in a browser while the
# page is worked on), written as a byte array. Run as
#   cmake -DPAGE_DIR=<this directory> -DOUT=<source to write> -P embed.cmake
file(READ "${PAGE_DIR}/index.html" html)
file(READ "${PAGE_DIR}/view.css" css)
file(READ "${PAGE_DIR}/view.js" js)
set(css_tag "<link rel=\"stylesheet\" href=\"view.css\">")
set(js_tag "<script src=\"view.js\"></script>")
foreach(tag IN ITEMS css_tag js_tag)
  string(FIND "${html}" "${${tag}}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "index.html lacks ${${tag}}")
  endif()
endforeach()
string(REPLACE "${css_tag}" "<style>\n${css}</style>" html "${html}")
string(REPLACE "${js_tag}" "<script>\n${js}</script>" html "${html}")

file(WRITE "${OUT}.html" "${html}")
file(READ "${OUT}.html" hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){24})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUT}" "// Generated from Tools/gxempctl/view by embed.cmake; do not edit.
#include <cstddef>
namespace gxempctl {
extern const unsigned char kViewPage[];
extern const size_t kViewPageSize;
const unsigned char kViewPage[] = {
${bytes}};
const size_t kViewPageSize = sizeof kViewPage;
}  // namespace gxempctl
")
