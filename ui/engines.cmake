# The .cpp and .hpp files in dir of the names given, in out.
function(qv_ui_sources out dir)
  set(files)
  foreach(name ${ARGN})
    foreach(ext cpp hpp)
      if(EXISTS ${dir}/${name}.${ext})
        list(APPEND files ${dir}/${name}.${ext})
      endif()
    endforeach()
  endforeach()
  set(${out} ${files} PARENT_SCOPE)
endfunction()

# The window's scan threads: one thread for any registered scanner, the named
# engines over it, the deep scan with its saved results and checkpoints, and the
# recovery worker. Qt Core only, so engine tests link them without widgets; made
# in every build, the window's or not (included from the top CMakeLists.txt).
set(QV_UI_ENGINE_NAMES
  recovery_base recovery_item recovery_worker scanner_thread fat_recovery ntfs_recovery exfat_recovery raw_recovery)
qv_ui_sources(QV_UI_ENGINE_SOURCES ${CMAKE_CURRENT_LIST_DIR} ${QV_UI_ENGINE_NAMES})
add_library(qv_ui_engines STATIC ${QV_UI_ENGINE_SOURCES})
target_link_libraries(qv_ui_engines PUBLIC qv_engine qv_devices Qt6::Core)
target_include_directories(qv_ui_engines PUBLIC ${CMAKE_SOURCE_DIR})

