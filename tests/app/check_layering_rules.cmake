# Feeds check_layering.cmake one-file trees: each wrong include must fail the
# check and each allowed one must pass, so a rule that stops matching is seen.
# Run as: cmake -DCHECK=<check_layering.cmake> -DWORK_DIR=<scratch folder>
#               -DWIDGETS_DIR=<QtWidgets include folder> -P check_layering_rules.cmake
cmake_minimum_required(VERSION 3.22)

# file|included line|expected (fail or pass)
set(rows
  "partition/search.cpp|#include \"engine/fat_layout.hpp\"|fail"
  "exfat/walk.cpp|#include \"engine/found_item.hpp\"|fail"
  "ext4/scan.cpp|#include \"sigscan/scanner.hpp\"|fail"
  "ntfsscan/mft.cpp|#include \"partition/fs_probe.hpp\"|fail"
  "fat/fat_layout.hpp|#include \"engine/scanner.hpp\"|fail"
  "fat/fat_reader.cpp|#include \"engine/fat_allocation.hpp\"|fail"
  "fat/fat_volume.cpp|#include \"partition/fs_probe.hpp\"|fail"
  "fat/fat_volume.hpp|#include <QString>|fail"
  "sigscan/rules.cpp|#include \"exfat/entry_set.hpp\"|fail"
  "devices/catalog.cpp|#include \"engine/scanner.hpp\"|fail"
  "engine/scanner.cpp|#include \"ui/scanner_thread.hpp\"|fail"
  "engine/scanner.cpp|#include \"cli/scan_job.hpp\"|fail"
  "cli/cmd_scan.cpp|#include \"ui/scan_control.hpp\"|fail"
  "cli/cmd_scan.cpp|#include \"app/language_settings.hpp\"|fail"
  "ui/page.cpp|#include \"cli/scan_job.hpp\"|fail"
  "app/settings.cpp|#include \"ui/main_window.hpp\"|fail"
  "ui/page.cpp|#include \"app/main.hpp\"|fail"
  "engine/fat_core.cpp|#include \"tests/fat/fat_builder.hpp\"|fail"
  "fat/fat_volume.cpp|#include \"tests/fat/fat_builder.hpp\"|fail"
  "cli/cmd_demo.cpp|#include \"tools/demo_image.hpp\"|fail"
  "engine/recovery.cpp|#include <QWidget>|fail"
  "cli/cmd_scan.cpp|#include <QtWidgets/QApplication>|fail"
  "devices/catalog.cpp|#include <QMessageBox>|fail"
  "exfat/walk.cpp|#include <QString>|fail"
  "ext4/scan.cpp|#include <QtCore>|fail"
  "partition/search.cpp|#include \"fat/fat_layout.hpp\"|pass"
  "partition/search.cpp|#include \"exfat/boot_region.hpp\"|pass"
  "ext4/scan.cpp|#include \"devices/crc32c.hpp\"|pass"
  "engine/fat_core.cpp|#include \"fat/fat_layout.hpp\"|pass"
  "engine/fat_core.cpp|#include \"fat/fat_volume.hpp\"|pass"
  "fat/fat_volume.cpp|#include \"devices/device_handle.hpp\"|pass"
  "engine/recovery.cpp|#include <QString>|pass"
  "cli/cmd_scan.cpp|#include \"engine/scanner.hpp\"|pass"
  "ui/page.cpp|#include <QWidget>|pass"
  "ui/page.cpp|#include \"app/language_settings.hpp\"|pass"
  "app/main.cpp|#include \"ui/main_window.hpp\"|pass"
  "tests/engine/core_test.cpp|#include \"tests/fat/fat_builder.hpp\"|pass"
  "tests/fat/fat_volume_test.cpp|#include \"tests/fat/fat_builder.hpp\"|pass"
  "fuzz/target_fat.cpp|#include \"tests/fat/fat_builder.hpp\"|pass"
)

# Runs the check over a tree holding one source file (and its folder's
# CMakeLists.txt line when cmake_line is not empty); "pass" or "fail" in out.
function(check_case out file text cmake_line)
  set(tree ${WORK_DIR}/layering_case)
  file(REMOVE_RECURSE ${tree})
  file(WRITE ${tree}/${file} "${text}\n")
  if(cmake_line)
    get_filename_component(folder ${file} DIRECTORY)
    file(WRITE ${tree}/${folder}/CMakeLists.txt "${cmake_line}\n")
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${tree} -DMIN_INCLUDES=1 -DWIDGETS_DIR=${WIDGETS_DIR}
                          -P ${CHECK}
                  RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
  file(REMOVE_RECURSE ${tree})
  if(rc EQUAL 0)
    set(${out} pass PARENT_SCOPE)
  else()
    set(${out} fail PARENT_SCOPE)
  endif()
endfunction()

set(wrong "")
foreach(row ${rows})
  string(REPLACE "|" ";" parts "${row}")
  list(GET parts 0 file)
  list(GET parts 1 line)
  list(GET parts 2 expected)
  check_case(got ${file} "${line}" "")
  if(NOT got STREQUAL expected)
    list(APPEND wrong "${file} with ${line}: expected ${expected}, got ${got}")
  endif()
endforeach()

# A library that links what its folder may not fails; one that links within the rules passes.
# Each row: folder|a source file in it|its CMakeLists.txt line|pass or fail.
set(link_rows
  "engine|core.cpp|target_link_libraries(qv_engine PUBLIC Qt6::Widgets)|fail"
  "fat|fat_volume.cpp|target_link_libraries(qv_fat PUBLIC qv_devices Qt6::Core)|fail"
  "fat|fat_volume.cpp|target_link_libraries(qv_fat PUBLIC qv_devices qv_engine)|fail"
  "fat|fat_volume.cpp|target_link_libraries(qv_fat PUBLIC qv_devices)|pass"
)
foreach(row ${link_rows})
  string(REPLACE "|" ";" parts "${row}")
  list(GET parts 0 folder)
  list(GET parts 1 source)
  list(GET parts 2 line)
  list(GET parts 3 expected)
  check_case(got ${folder}/${source} "#include \"devices/device_handle.hpp\"" "${line}")
  if(NOT got STREQUAL expected)
    list(APPEND wrong "${folder}/CMakeLists.txt with ${line}: expected ${expected}, got ${got}")
  endif()
endforeach()

if(wrong)
  string(REPLACE ";" "\n" text "${wrong}")
  message(FATAL_ERROR "${text}")
endif()
list(LENGTH rows n)
message(STATUS "${n} include cases and the link cases judged as expected")
