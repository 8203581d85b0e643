# Turns files into bytes in a C++ source, run at build time:
#   cmake -DOUTPUT=page_files.cpp -DBASE=dir -DFILES=a.html,b.js -P embed_files.cmake
# The source defines webview::PAGE_FILES (EmbeddedFile, page_files.h): each file's path under BASE
# with a leading '/', its bytes, and an entity tag made of the first bytes of its SHA-256.
cmake_minimum_required(VERSION 3.20)
string(REPLACE "," ";" FILES "${FILES}")
set(body "")
set(table "")
set(index 0)
foreach(name IN LISTS FILES)
  file(READ ${BASE}/${name} hex HEX)
  file(SHA256 ${BASE}/${name} digest)
  string(SUBSTRING ${digest} 0 20 tag)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
  string(APPEND body "const char FILE_${index}[] = {${bytes} 0};\n")
  string(APPEND table "    {\"/${name}\", {FILE_${index}, ${size}}, \"\\\"${tag}\\\"\"},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE ${OUTPUT}.part "// Made by cmake/embed_files.cmake from ${BASE}; do not edit.\n#include \"page_files.h\"\n\n"
     "namespace webview {\n\nnamespace {\n\n${body}\n} // namespace\n\n"
     "const EmbeddedFile PAGE_FILES[] = {\n${table}};\nconst size_t PAGE_FILE_COUNT = ${index};\n\n} // namespace webview\n")
file(RENAME ${OUTPUT}.part ${OUTPUT})
