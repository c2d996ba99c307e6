# Writes the shipped Quorvane.conf into a C++ source as the built-in file types.
# Usage: cmake -DIN=Quorvane.conf -DOUT=default_config_text.cpp -P embed_config.cmake
file(READ "${IN}" text)
string(FIND "${text}" ")qvconf\"" clash)
if(NOT clash EQUAL -1)
  message(FATAL_ERROR "${IN} holds the raw-string delimiter )qvconf\"")
endif()
file(WRITE "${OUT}.tmp"
  "// Generated from resources/Quorvane.conf; do not edit.\n"
  "#include \"sigscan/config.hpp\"\n\n"
  "namespace qv::sig {\n\n"
  "std::string_view default_config_text() {\n"
  "    static constexpr char text[] = R\"qvconf(${text})qvconf\";\n"
  "    return {text, sizeof text - 1};\n"
  "}\n\n"
  "}  // namespace qv::sig\n")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")
