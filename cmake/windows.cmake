# The Windows program (i686 product, x86_64 for wine64): static runtime, no
# DLLs beyond the system's, and nothing that Windows XP SP3 lacks.
enable_language(RC)
add_executable(vanktarvoskevcleaner src/app/main.cpp ${PRODUCT_SOURCES} res/cleaner.rc)
target_compile_definitions(vanktarvoskevcleaner PRIVATE _WIN32_WINNT=0x0501 WINVER=0x0501)
target_compile_options(vanktarvoskevcleaner PRIVATE ${PRODUCT_FLAGS} -municode)
# -s: shipped without the DWARF sections that the static runtime brings along.
# --tsaware: on a Remote Desktop session host a process not marked so gets a
# per-user Windows folder from GetWindowsDirectoryA, where the component store
# is not; the cleaner keeps nothing per user that the compatibility layer
# would have to map.
# --no-insert-timestamp and the prefix maps: the same commit gives the same
# bytes in any folder at any time (the banner's moment is SOURCE_DATE_EPOCH).
target_link_options(vanktarvoskevcleaner PRIVATE -municode -static -static-libgcc -static-libstdc++ -s
                    -Wl,--no-insert-timestamp)
if(PRODUCT_TSAWARE)
  target_link_options(vanktarvoskevcleaner PRIVATE -Wl,--tsaware)
endif()
target_compile_options(vanktarvoskevcleaner PRIVATE
                       -ffile-prefix-map=${CMAKE_SOURCE_DIR}=. -ffile-prefix-map=${CMAKE_BINARY_DIR}=build)
target_link_libraries(vanktarvoskevcleaner PRIVATE advapi32 user32 version shlwapi)
set_source_files_properties(res/cleaner.rc PROPERTIES OBJECT_DEPENDS ${CMAKE_SOURCE_DIR}/res/cleaner.manifest)

# The banner's __DATE__ and __TIME__: the last commit's time, which GCC takes
# from SOURCE_DATE_EPOCH (in UTC), unless the environment already sets it. A
# new commit reconfigures, and the changed compile line rebuilds the program.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(BUILD_EPOCH $ENV{SOURCE_DATE_EPOCH})
else()
  find_package(Git QUIET)
  if(GIT_FOUND)
    execute_process(COMMAND ${GIT_EXECUTABLE} -C ${CMAKE_SOURCE_DIR} log -1 --format=%ct
                    OUTPUT_VARIABLE BUILD_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    foreach(ref HEAD packed-refs)
      execute_process(COMMAND ${GIT_EXECUTABLE} -C ${CMAKE_SOURCE_DIR} rev-parse --path-format=absolute --git-path ${ref}
                      OUTPUT_VARIABLE ref_path OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      if(ref_path AND EXISTS ${ref_path} AND NOT IS_DIRECTORY ${ref_path})
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${ref_path})
      endif()
    endforeach()
    execute_process(COMMAND ${GIT_EXECUTABLE} -C ${CMAKE_SOURCE_DIR} symbolic-ref -q HEAD
                    OUTPUT_VARIABLE head_ref OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(head_ref)
      execute_process(COMMAND ${GIT_EXECUTABLE} -C ${CMAKE_SOURCE_DIR} rev-parse --path-format=absolute --git-path ${head_ref}
                      OUTPUT_VARIABLE ref_path OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      if(ref_path AND EXISTS ${ref_path})
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${ref_path})
      endif()
    endif()
  endif()
endif()
if(BUILD_EPOCH MATCHES "^[0-9]+$")
  message(STATUS "Banner date from SOURCE_DATE_EPOCH ${BUILD_EPOCH}")
  set_target_properties(vanktarvoskevcleaner PROPERTIES
    CXX_COMPILER_LAUNCHER "${CMAKE_COMMAND};-E;env;SOURCE_DATE_EPOCH=${BUILD_EPOCH}")
else()
  message(WARNING "No commit time and no SOURCE_DATE_EPOCH: the banner carries the build's own moment")
endif()
add_custom_command(TARGET vanktarvoskevcleaner POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E sha256sum $<TARGET_FILE_NAME:vanktarvoskevcleaner>
  WORKING_DIRECTORY $<TARGET_FILE_DIR:vanktarvoskevcleaner>
  VERBATIM)

# The repair's test driver for Wine: the repair sources with a log on
# standard output (tests/wine/repair_compare.sh).
# The undo file is never opened there; its hooks do nothing.
add_executable(repair_driver tools/repair_driver.cpp tools/repair_checks.cpp src/repair/com_servers.cpp
               src/repair/services_exe_test.cpp src/repair/clean_services_exe.cpp src/log/undo_file.cpp
               src/log/run_outcome.cpp)
target_include_directories(repair_driver PRIVATE src tools)
target_compile_definitions(repair_driver PRIVATE _WIN32_WINNT=0x0501 WINVER=0x0501)
target_compile_options(repair_driver PRIVATE ${PRODUCT_FLAGS})
target_link_options(repair_driver PRIVATE -static -static-libgcc -static-libstdc++)
target_link_libraries(repair_driver PRIVATE advapi32 user32 version shlwapi)

# What the system reports as its version, for the Wine end-to-end test
# (tests/wine/e2e.sh).
add_executable(version_probe tools/version_probe.cpp)
target_compile_options(version_probe PRIVATE ${PRODUCT_FLAGS})
target_link_options(version_probe PRIVATE -static -static-libgcc)

# The removal's walk by held handles on a real folder tree under Wine
# (tests/wine/walk.sh).
add_executable(walk_probe tools/walk_probe.cpp src/removal/hideout_removal.cpp src/removal/nt_file.cpp src/log/run_outcome.cpp
               src/removal/bot_id.cpp)
target_include_directories(walk_probe PRIVATE src)
target_compile_definitions(walk_probe PRIVATE _WIN32_WINNT=0x0501 WINVER=0x0501)
target_compile_options(walk_probe PRIVATE ${PRODUCT_FLAGS} -municode)
target_link_options(walk_probe PRIVATE -municode -static -static-libgcc -static-libstdc++)
target_link_libraries(walk_probe PRIVATE advapi32 user32 shlwapi)
