# cmake -DOUT=FILE -DDIR=FOLDER -P EmbedAssets.cmake: writes the C++ source
# of kAssets (Assets.h) from the page files in FOLDER.
# Text files say their character set (a list cannot hold the ';' itself).
set(files "index.html|/|text/html|utf-8"
          "board.js|/board.js|text/javascript|utf-8"
          "board.css|/board.css|text/css|utf-8"
          "favicon.svg|/favicon.ico|image/svg+xml|"
          "favicon.svg|/favicon.svg|image/svg+xml|")
set(arrays "")
set(entries "")
set(n 0)
foreach(entry IN LISTS files)
  string(REPLACE "|" ";" parts "${entry}")
  list(GET parts 0 file)
  list(GET parts 1 path)
  list(GET parts 2 type)
  list(LENGTH parts count)
  if(count GREATER 3)
    list(GET parts 3 charset)
    if(charset)
      string(APPEND type "; charset=${charset}")
    endif()
  endif()
  file(READ "${DIR}/${file}" hex HEX)
  string(LENGTH "${hex}" length)
  math(EXPR size "${length} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
  string(APPEND arrays "const char k${n}[] = {${bytes} 0};\n")
  string(APPEND entries "    Asset{\"${path}\", \"${type}\", std::string_view(k${n}, ${size})},\n")
  math(EXPR n "${n} + 1")
endforeach()
file(WRITE "${OUT}.tmp" "// Made from app/board/page by EmbedAssets.cmake.\n#include \"app/board/Assets.h\"\n\nnamespace vendrill::board {\nnamespace {\n${arrays}}  // namespace\n\nconst std::array<Asset, ${n}> kAssets = {{\n${entries}}};\n\n}  // namespace vendrill::board\n")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
