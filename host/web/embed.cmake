# Writes OUTPUT, a C++ source defining `const char NAME[]` and `NAME_SIZE`
# with the bytes of INPUT, so that the page is part of the program and
# nothing is read from disk to serve it. Run as cmake -P at build time.
file(READ ${INPUT} content HEX)
string(LENGTH "${content}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${content}")
string(REGEX REPLACE "((('\\\\x[0-9a-f][0-9a-f]',)){16})" "\\1\n" bytes "${bytes}")
file(WRITE ${OUTPUT}
  "// Made from ${INPUT} by embed.cmake; not to be edited.\n"
  "#include <cstddef>\n"
  "namespace kest::host {\n"
  "extern const char ${NAME}[] = {\n${bytes}'\\0'};\n"
  "extern const size_t ${NAME}_SIZE = ${size};\n"
  "}  // namespace kest::host\n")
