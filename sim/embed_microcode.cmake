# Writes OUTPUT, a C++ file that holds the bytes of INPUT as
# stb::PlainMicrocode(). Run as: cmake -DINPUT=... -DOUTPUT=... -P this file.
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
if(size EQUAL 0)
  set(bytes "0")
endif()
file(WRITE "${OUTPUT}.tmp"
"// Generated from ${INPUT}; do not edit.\n"
"#include \"sim/microcode_ref.h\"\n\n"
"namespace stb {\n\n"
"namespace {\n"
"const uint8_t kPlainMicrocode[] = {\n  ${bytes}\n};\n"
"constexpr size_t kPlainMicrocodeSize = ${size};\n"
"}  // namespace\n\n"
"std::span<const uint8_t> PlainMicrocode() { return {kPlainMicrocode, kPlainMicrocodeSize}; }\n\n"
"}  // namespace stb\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
