# Script mode: writes OUTPUT, a C++ source holding the compiled catalogs MO_FILES (one per
# language of LANGUAGES, in the same order) as byte arrays.
set(arrays "")
set(names "")
set(data "")
set(sizes "")
foreach(language mo IN ZIP_LISTS LANGUAGES MO_FILES)
  file(READ "${mo}" hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
  string(APPEND arrays "const unsigned char ${language}_mo[] = {\n${bytes}};\n")
  string(APPEND names "\"${language}\", ")
  string(APPEND data "${language}_mo, ")
  string(APPEND sizes "${size}, ")
endforeach()
list(LENGTH LANGUAGES count)
file(WRITE "${OUTPUT}.new" "// Built from the po/ catalogs by cmake/embed_catalogs.cmake.
#include <cstddef>
namespace p11agent::platform::built_catalogs {
namespace {
${arrays}}  // namespace
// Declared extern first: the definitions below are then seen from ui_text.cpp.
extern const char* const LANGUAGES[];
extern const unsigned char* const DATA[];
extern const std::size_t SIZES[];
extern const std::size_t COUNT;
const char* const LANGUAGES[] = {${names}};
const unsigned char* const DATA[] = {${data}};
const std::size_t SIZES[] = {${sizes}};
const std::size_t COUNT = ${count};
}  // namespace p11agent::platform::built_catalogs
")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
