# Which folder may include which. The layers, bottom up:
#   devices/                         device handles, the catalog, shared helpers
#   fat/ exfat/ ntfsscan/ ext4/      the file-system readers
#   sigscan/ imaging/                the carver, imaging
#   partition/                       the disk tables and the lost-partition search
#   engine/                          scanners, registry, recovery, results
#   ui/ and cli/                     the window and the command line
#   app/                             start-up; only its main.cpp knows the windows
# A folder includes only from its own layer's allowed list below; nothing below
# ui/ includes a Qt Widgets header or links the Widgets library; the readers use
# no Qt at all and link neither Qt nor a library above them (their own
# CMakeLists.txt); only tests/, fuzz/ and bench/ include tests/, and only they and
# tools/ itself include the generators in tools/.
# Run as: cmake -DSOURCE_DIR=<tree> [-DWIDGETS_DIR=<QtWidgets include folder>]
#               [-DMIN_INCLUDES=<n>] -P check_layering.cmake
cmake_minimum_required(VERSION 3.22)
if(NOT DEFINED MIN_INCLUDES)
  set(MIN_INCLUDES 100)
endif()

# folder -> the folders it may include besides itself
set(allowed_devices "")
set(allowed_fat "devices")
set(allowed_exfat "devices")
set(allowed_ntfsscan "devices")
set(allowed_ext4 "devices")
set(allowed_sigscan "devices")
set(allowed_imaging "devices")
set(allowed_partition "devices;fat;exfat;ntfsscan;ext4")
set(allowed_engine "devices;fat;exfat;ntfsscan;ext4;sigscan;partition;imaging")
set(below_ui devices fat exfat ntfsscan ext4 sigscan imaging partition engine cli)
set(no_qt fat exfat ntfsscan ext4 sigscan)

file(GLOB_RECURSE sources RELATIVE ${SOURCE_DIR}
     ${SOURCE_DIR}/*.cpp ${SOURCE_DIR}/*.hpp ${SOURCE_DIR}/*.h)
set(faults "")
set(checked 0)
foreach(rel ${sources})
  if(rel MATCHES "^build")
    continue()
  endif()
  string(REGEX REPLACE "/.*$" "" folder "${rel}")
  file(STRINGS ${SOURCE_DIR}/${rel} lines REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<]")
  foreach(line ${lines})
    math(EXPR checked "${checked} + 1")
    if(line MATCHES "<([^>]*)>")
      # A system or library header: only Qt's are checked.
      set(sys "${CMAKE_MATCH_1}")
      if(NOT sys MATCHES "^Qt|^Q[A-Z]")
        continue()
      endif()
      if(folder IN_LIST no_qt)
        list(APPEND faults "${rel} includes <${sys}>: the ${folder}/ reader uses no Qt")
      endif()
      if(folder IN_LIST below_ui)
        string(REGEX REPLACE "^QtWidgets/" "" bare "${sys}")
        if(sys MATCHES "^QtWidgets" OR (WIDGETS_DIR AND EXISTS "${WIDGETS_DIR}/${bare}" AND NOT bare STREQUAL ""))
          list(APPEND faults "${rel} includes <${sys}>: nothing below ui/ uses Qt Widgets")
        endif()
      endif()
      continue()
    endif()
    string(REGEX REPLACE "^[^\"]*\"([^\"]*)\".*$" "\\1" inc "${line}")
    if(NOT inc MATCHES "/")
      continue()
    endif()
    string(REGEX REPLACE "/.*$" "" target "${inc}")
    if(inc MATCHES "^app/main\\.")
      list(APPEND faults "${rel} includes ${inc}: nothing includes the program's entry")
    endif()
    if(target STREQUAL "tests" AND NOT folder MATCHES "^(tests|fuzz|bench)$")
      list(APPEND faults "${rel} includes ${inc}: only tests, fuzz targets and benchmarks use tests/")
    endif()
    if(DEFINED allowed_${folder} AND NOT target STREQUAL folder AND NOT target IN_LIST allowed_${folder})
      if(allowed_${folder} STREQUAL "")
        set(may "only itself")
      else()
        string(REPLACE ";" "/, " may "${allowed_${folder}}/")
      endif()
      list(APPEND faults "${rel} includes ${inc}: ${folder}/ takes from ${may}")
    endif()
    if(target STREQUAL "tools" AND NOT folder MATCHES "^(tools|tests|fuzz|bench)$")
      list(APPEND faults "${rel} includes ${inc}: the generators in tools/ are no part of the programs")
    endif()
    if(folder STREQUAL "cli" AND target MATCHES "^(ui|app)$")
      list(APPEND faults "${rel} includes ${inc}: the command line uses no window code")
    endif()
    if(folder STREQUAL "ui" AND target STREQUAL "cli")
      list(APPEND faults "${rel} includes ${inc}: the window does not use the command line's code")
    endif()
    if(folder STREQUAL "app" AND NOT rel STREQUAL "app/main.cpp" AND target STREQUAL "ui")
      list(APPEND faults "${rel} includes ${inc}: only app/main.cpp may use ui/")
    endif()
    if(folder STREQUAL "ui" AND target STREQUAL "app" AND NOT inc STREQUAL "app/language_settings.hpp")
      list(APPEND faults "${rel} includes ${inc}: ui/ takes only languages and settings from app/")
    endif()
  endforeach()
endforeach()

# Linking: each folder's CMakeLists.txt lines (not comments) that match pattern are faults.
function(check_links folders pattern why)
  foreach(folder ${folders})
    if(EXISTS ${SOURCE_DIR}/${folder}/CMakeLists.txt)
      file(STRINGS ${SOURCE_DIR}/${folder}/CMakeLists.txt links REGEX "${pattern}")
      foreach(line ${links})
        if(NOT line MATCHES "^[ \t]*#")
          string(REPLACE "@" "${folder}" reason "${why}")
          list(APPEND faults "${folder}/CMakeLists.txt: \"${line}\": ${reason}")
        endif()
      endforeach()
    endif()
  endforeach()
  set(faults ${faults} PARENT_SCOPE)
endfunction()

# No library below ui/ links Qt Widgets; a reader's library links neither Qt
# nor the engine, the window, the command line or the program.
check_links("${below_ui}" "Widgets" "nothing below ui/ links Qt Widgets")
check_links("${no_qt}" "Qt[0-9]*::|qv_(engine|ui|cli|app)" "the @/ reader links no Qt and nothing above it")

if(checked LESS MIN_INCLUDES)
  message(FATAL_ERROR "only ${checked} includes found under ${SOURCE_DIR}: wrong folder?")
endif()
if(faults)
  string(REPLACE ";" "\n" text "${faults}")
  message(FATAL_ERROR "${text}")
endif()
message(STATUS "${checked} includes follow the layering")
