# Turns one file into a C++ source that defines a function returning its bytes.
#   cmake -DINPUT=file -DOUTPUT=file.cpp -DHEADER=include/path.h -DFUNCTION=ns::Type::name -P EmbedResource.cmake
file(READ ${INPUT} hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
# Line breaks every 24 bytes keep the generated file readable by compilers and people.
string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){24})" "\\1\n" bytes "${bytes}")
file(WRITE ${OUTPUT}
  "// Generated from ${INPUT}; do not edit.\n"
  "#include \"${HEADER}\"\n\n"
  "namespace {\n"
  "const unsigned char kBytes[] = {\n${bytes}0};\n"
  "}  // namespace\n\n"
  "std::string_view ${FUNCTION}() { return {reinterpret_cast<const char*>(kBytes), ${size}}; }\n")
