# cmake -P helper: writes IN as a byte array named after STEM into OUT.
file(READ "${IN}" hex HEX)
string(LENGTH "${hex}" hexlen)
math(EXPR size "${hexlen} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){16})" "\\1\n  " bytes "${bytes}")
file(WRITE "${OUT}"
"// Generated from ${NAME}; edit that file instead.
#include \"platform/Streaming.h\"

namespace {
const unsigned char Bytes[] = {
  ${bytes}
};
}

extern const Vantry::TDescriptionData VantryDescription_${STEM};
const Vantry::TDescriptionData VantryDescription_${STEM} = {\"${NAME}\", Bytes, ${size}};
")
