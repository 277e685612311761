# The Windows program (i686 product, x86_64 for wine64): static runtime, no
# DLLs beyond the system's, and nothing that Windows XP SP3 lacks.
enable_language(RC)
add_executable(vanktarvoskevcleaner src/app/main.cpp ${PRODUCT_SOURCES} res/cleaner.rc)
target_compile_definitions(vanktarvoskevcleaner PRIVATE _WIN32_WINNT=0x0501 WINVER=0x0501)
target_compile_options(vanktarvoskevcleaner PRIVATE ${PRODUCT_FLAGS} -municode)
# -s: shipped without the DWARF sections that the static runtime brings along.
target_link_options(vanktarvoskevcleaner PRIVATE -municode -static -static-libgcc -static-libstdc++ -s)
target_link_libraries(vanktarvoskevcleaner PRIVATE advapi32 user32 version shlwapi)
set_source_files_properties(res/cleaner.rc PROPERTIES OBJECT_DEPENDS ${CMAKE_SOURCE_DIR}/res/cleaner.manifest)

# The repair's test driver for Wine: the repair sources with a log on
# standard output (tests/wine/repair_compare.sh).
# The undo file is never opened there; its hooks do nothing.
add_executable(repair_driver tools/repair_driver.cpp tools/repair_checks.cpp src/repair/com_servers.cpp
               src/repair/services_exe_test.cpp src/repair/clean_services_exe.cpp src/log/undo_file.cpp)
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
add_executable(walk_probe tools/walk_probe.cpp src/removal/hideout_removal.cpp src/removal/nt_file.cpp
               src/removal/bot_id.cpp)
target_include_directories(walk_probe PRIVATE src)
target_compile_definitions(walk_probe PRIVATE _WIN32_WINNT=0x0501 WINVER=0x0501)
target_compile_options(walk_probe PRIVATE ${PRODUCT_FLAGS} -municode)
target_link_options(walk_probe PRIVATE -municode -static -static-libgcc -static-libstdc++)
target_link_libraries(walk_probe PRIVATE advapi32 user32 shlwapi)
