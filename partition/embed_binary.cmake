# Turns the flat boot loader binary into a C++ array definition.
# Called as: cmake -DINPUT=... -DOUTPUT=... -DSIZE=440 -DOBJECT=... -DREADELF=... -P embed_binary.cmake
file(SIZE "${INPUT}" input_size)
if(NOT input_size EQUAL SIZE)
  message(FATAL_ERROR "${INPUT}: ${input_size} bytes, expected exactly ${SIZE}")
endif()
# objcopy without a linker copies unrelocated bytes: refuse an object that
# still needs relocating, as its absolute addresses would be wrong.
if(READELF AND OBJECT)
  execute_process(COMMAND "${READELF}" -r "${OBJECT}" OUTPUT_VARIABLE relocs RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0 OR relocs MATCHES "R_386")
    message(FATAL_ERROR "${OBJECT}: the boot loader must not need relocations:\n${relocs}")
  endif()
endif()
file(READ "${INPUT}" hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){16})" "\\1\n    " bytes "${bytes}")
file(WRITE "${OUTPUT}"
"// Generated from mbr_loader.s at build time; do not edit.\n"
"#include \"partition/mbr_loader.hpp\"\n\n"
"namespace qv::partition {\n\n"
"const std::array<uint8_t, ${SIZE}> mbr_loader_code = {\n    ${bytes}\n};\n\n"
"}  // namespace qv::partition\n")
