# The host build: the cleaner's sources against the simulated platform, the
# tests and the scenario runner. UTF-16 is 16-bit on Windows, so everything
# that touches the cleaner's strings is compiled with -fshort-wchar.
option(SANITIZE "Build the host targets with AddressSanitizer and UBSan" ON)
option(FUZZ "Build the libFuzzer targets (clang)" OFF)
set(FUZZ_SECONDS 60 CACHE STRING "Length of each fuzzer's smoke run")
set(HOST_FLAGS -fshort-wchar -Wall -Wextra -Wno-psabi)
set(SAN_FLAGS)
if(SANITIZE)
  set(SAN_FLAGS -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
endif()
if(FUZZ)
  list(APPEND SAN_FLAGS -fsanitize=fuzzer-no-link)
endif()
add_compile_options(${SAN_FLAGS})
# Optimised enough that the fault sweep's thousands of whole runs stay quick.
add_compile_options(-O1)
add_link_options(${SAN_FLAGS})

# GoogleTest from Debian's source package, built with the same wchar_t.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(GTEST_SRC /usr/src/googletest CACHE PATH "GoogleTest sources")
add_subdirectory(${GTEST_SRC} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
target_compile_options(gtest PRIVATE -fshort-wchar)
target_compile_options(gtest_main PRIVATE -fshort-wchar)

find_package(OpenSSL REQUIRED)
find_package(nlohmann_json 3 REQUIRED)

file(GLOB SIM_SOURCES CONFIGURE_DEPENDS sim/*.cpp)
add_library(simwin STATIC ${SIM_SOURCES})
target_include_directories(simwin PUBLIC sim/include sim)
target_compile_options(simwin PUBLIC -fshort-wchar PRIVATE -Wall -Wextra)
target_link_libraries(simwin PUBLIC OpenSSL::Crypto nlohmann_json::nlohmann_json)
target_compile_definitions(simwin PRIVATE SIM_IMAGE_TSAWARE=$<BOOL:${PRODUCT_TSAWARE}>)

add_library(cleaner STATIC ${PRODUCT_SOURCES})
target_compile_options(cleaner PRIVATE ${PRODUCT_FLAGS})
target_link_libraries(cleaner PUBLIC simwin)
target_include_directories(cleaner PUBLIC src)

# The sweep's run of a scenario and its invariants, shared by the tests and
# simrun --check.
add_library(sweep_support STATIC tests/fault_sweep.cpp tests/reg_file.cpp tests/test_support.cpp)
target_compile_definitions(sweep_support PRIVATE SOURCE_DIR="${CMAKE_SOURCE_DIR}")
target_compile_options(sweep_support PRIVATE ${HOST_FLAGS})
target_link_libraries(sweep_support PUBLIC cleaner simwin gtest)
target_include_directories(sweep_support PUBLIC tests)

add_executable(simrun tools/simrun.cpp)
target_link_libraries(simrun PRIVATE sweep_support cleaner simwin)
# Seeds of the value-line fuzzer from the dataset (fuzz/corpus/value_entry_fuzz).
add_executable(value_corpus tools/value_corpus.cpp)
target_link_libraries(value_corpus PRIVATE cleaner simwin)

# The compiled known-good table as JSON, for the Wine end-to-end test and
# the benchmark.
add_executable(restore_dump tools/restore_dump.cpp)
target_link_libraries(restore_dump PRIVATE cleaner simwin)

enable_testing()
file(GLOB TEST_SOURCES CONFIGURE_DEPENDS tests/*_test.cpp)
add_executable(cleaner_tests ${TEST_SOURCES} tests/race_sweep.cpp tests/race_previous_walk.cpp
  fuzz/fuzz_checks.cpp)
target_compile_definitions(cleaner_tests PRIVATE SOURCE_DIR="${CMAKE_SOURCE_DIR}")
target_compile_options(cleaner_tests PRIVATE ${HOST_FLAGS})
target_link_libraries(cleaner_tests PRIVATE sweep_support cleaner simwin gtest gtest_main)
target_include_directories(cleaner_tests PRIVATE tests fuzz)
add_test(NAME host_unit_tests COMMAND cleaner_tests --gtest_brief=1)
set_tests_properties(host_unit_tests PROPERTIES ENVIRONMENT "ASAN_OPTIONS=detect_leaks=1")
# A fault at every call of the whole infected Windows 7 and XP cleanings:
# thousands of runs, so shorter allocation stacks keep it within minutes.
add_test(NAME fault_sweep COMMAND cleaner_tests --gtest_brief=1 --gtest_filter=FaultSweepTest.EveryCallOfAWholeCleaning)
set_tests_properties(fault_sweep PROPERTIES TIMEOUT 1800
  ENVIRONMENT "FAULT_SWEEP=full;ASAN_OPTIONS=detect_leaks=1:malloc_context_size=4:quarantine_size_mb=32:max_malloc_fill_size=0")

# The real Windows program under wine64 (the win64 build must exist; the
# test is skipped when it or wine64 is missing).
set(WIN64_EXE ${CMAKE_SOURCE_DIR}/build/win64/vanktarvoskevcleaner.exe CACHE FILEPATH "win64 build of the cleaner")
add_test(NAME wine_check COMMAND ${CMAKE_SOURCE_DIR}/tests/wine/wine_check.sh ${WIN64_EXE} ${CMAKE_BINARY_DIR}/wineprefix)
set_tests_properties(wine_check PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 600)
# End to end under wine64, every edition: both runs of a cleaning, the log
# line by line, the registry afterwards, the log's exclusive open (see
# tests/wine/e2e.sh). Skipped when wine64 or the win64 build is missing.
set(WIN64_PROBE ${CMAKE_SOURCE_DIR}/build/win64/version_probe.exe CACHE FILEPATH "win64 version probe")
add_test(NAME wine_e2e COMMAND ${CMAKE_SOURCE_DIR}/tests/wine/e2e.sh ${WIN64_EXE} ${WIN64_PROBE}
         $<TARGET_FILE:restore_dump> $<TARGET_FILE:pe_fixture> ${CMAKE_BINARY_DIR}/wine-e2e)
set_tests_properties(wine_e2e PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 1500 RESOURCE_LOCK wine_e2e)
# The shipped i686 program end to end as a 32-bit process under WOW64 in a
# 64-bit prefix (see tests/wine/wow64_e2e.sh). Skipped when wine32, wine64
# or the win32 build is missing, or when the kernel cannot run 32-bit programs;
# never beside wine_e2e, each takes both cores.
set(WIN32_EXE ${CMAKE_SOURCE_DIR}/build/win32/vanktarvoskevcleaner.exe CACHE FILEPATH "win32 build of the cleaner")
set(WIN32_PROBE ${CMAKE_SOURCE_DIR}/build/win32/version_probe.exe CACHE FILEPATH "win32 version probe")
add_test(NAME wine_wow64_e2e COMMAND ${CMAKE_SOURCE_DIR}/tests/wine/wow64_e2e.sh ${WIN32_EXE} ${WIN32_PROBE}
         $<TARGET_FILE:restore_dump> $<TARGET_FILE:pe_fixture> ${CMAKE_BINARY_DIR}/wine-wow64-e2e)
set_tests_properties(wine_wow64_e2e PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 900 RESOURCE_LOCK wine_e2e)
# The undo file under wine64: a cleaning (normal run and -r) undone by
# `reg import` of the file (tests/wine/undo_e2e.sh; it also takes the i686
# build and the wine loader, which runs it under WOW64). Skipped when wine64
# or the win64 build is missing.
add_test(NAME wine_undo COMMAND ${CMAKE_SOURCE_DIR}/tests/wine/undo_e2e.sh ${WIN64_EXE} /usr/lib/wine/wine64
         $<TARGET_FILE:restore_dump> ${CMAKE_BINARY_DIR}/wine-undo)
set_tests_properties(wine_undo PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 900 RESOURCE_LOCK wine_e2e)
# The same under WOW64: the shipped i686 program run by the wine loader in the
# 64-bit prefix. Skipped when wine32 or the win32 build is missing, or when
# the kernel cannot run 32-bit programs.
add_test(NAME wine_undo_wow64 COMMAND ${CMAKE_SOURCE_DIR}/tests/wine/undo_e2e.sh ${WIN32_EXE} /usr/lib/wine/wine
         $<TARGET_FILE:restore_dump> ${CMAKE_BINARY_DIR}/wine-undo-wow64)
set_tests_properties(wine_undo_wow64 PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 900 RESOURCE_LOCK wine_e2e)
# Unattended runs (-quiet, -noreboot, -scan, a refused list) with standard
# input closed and no terminal (tests/wine/unattended_e2e.sh), the win64
# build under wine64 and the i686 product under WOW64.
add_test(NAME wine_unattended COMMAND ${CMAKE_SOURCE_DIR}/tests/wine/unattended_e2e.sh ${WIN64_EXE} /usr/lib/wine/wine64
         $<TARGET_FILE:pe_fixture> ${CMAKE_BINARY_DIR}/wine-unattended)
set_tests_properties(wine_unattended PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 600 RESOURCE_LOCK wine_e2e)
add_test(NAME wine_unattended_wow64 COMMAND ${CMAKE_SOURCE_DIR}/tests/wine/unattended_e2e.sh ${WIN32_EXE} /usr/lib/wine/wine
         $<TARGET_FILE:pe_fixture> ${CMAKE_BINARY_DIR}/wine-unattended-wow64)
set_tests_properties(wine_unattended_wow64 PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 600 RESOURCE_LOCK wine_e2e)
# The removal's walk by held handles on a real folder tree: the walk probe
# under wine64 (x86_64) and under WOW64 (i686) (tests/wine/walk.sh).
add_test(NAME wine_walk COMMAND ${CMAKE_SOURCE_DIR}/tests/wine/walk.sh ${CMAKE_SOURCE_DIR}/build/win64/walk_probe.exe
         /usr/lib/wine/wine64 ${CMAKE_BINARY_DIR}/wine-walk)
set_tests_properties(wine_walk PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300 RESOURCE_LOCK wine_e2e)
add_test(NAME wine_walk_wow64 COMMAND ${CMAKE_SOURCE_DIR}/tests/wine/walk.sh ${CMAKE_SOURCE_DIR}/build/win32/walk_probe.exe
         /usr/lib/wine/wine ${CMAKE_BINARY_DIR}/wine-walk-wow64)
set_tests_properties(wine_walk_wow64 PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300 RESOURCE_LOCK wine_e2e)

# Every shipped scenario loads and runs to its end.
file(GLOB SCENARIOS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/scenarios/*.json)
foreach(scenario ${SCENARIOS})
  get_filename_component(name ${scenario} NAME_WE)
  add_test(NAME scenario_${name} COMMAND simrun --check ${scenario})
endforeach()

# The product binary: XP SP3 imports only, manifest, version resource, and a
# banner that carries the build moment.
find_program(PYTHON3 python3)
set(WIN32_EXE ${CMAKE_SOURCE_DIR}/build/win32/vanktarvoskevcleaner.exe CACHE FILEPATH "i686 product")
set(XP_IMPORTS ${CMAKE_SOURCE_DIR}/tests/binary/xp_sp3_imports.txt)
add_test(NAME binary_product_checks COMMAND ${PYTHON3} ${CMAKE_SOURCE_DIR}/tests/binary/check_pe.py ${WIN32_EXE} ${XP_IMPORTS})
# The check itself must catch an import that is not on the list, by its own
# message: a missing program or a crash is not taken for the catch.
add_test(NAME binary_check_catches_new_import COMMAND sh -c
  "[ -f '${WIN32_EXE}' ] || exit 77; grep -v GetVersionExW '${XP_IMPORTS}' > '${CMAKE_BINARY_DIR}/short_imports.txt' && ${PYTHON3} '${CMAKE_SOURCE_DIR}/tests/binary/check_pe.py' '${WIN32_EXE}' '${CMAKE_BINARY_DIR}/short_imports.txt' | grep -qx 'FAIL: kernel32.dll!GetVersionExW is not on the XP SP3 allow-list'")
set_tests_properties(binary_check_catches_new_import PROPERTIES SKIP_RETURN_CODE 77)
# ...and a program that carries debug sections (the version probe, not stripped).
set(WIN32_PROBE ${CMAKE_SOURCE_DIR}/build/win32/version_probe.exe)
add_test(NAME binary_check_catches_debug_sections COMMAND sh -c
  "[ -f '${WIN32_PROBE}' ] || exit 77; ${PYTHON3} '${CMAKE_SOURCE_DIR}/tests/binary/check_pe.py' '${WIN32_PROBE}' '${XP_IMPORTS}' | grep -q '^FAIL: debug sections in the shipped program: .*[.]debug_info'")
set_tests_properties(binary_check_catches_debug_sections PROPERTIES SKIP_RETURN_CODE 77)
# ...and a program linked without --tsaware and with a link time (the probe).
add_test(NAME binary_check_catches_unaware_and_timestamp COMMAND sh -c
  "[ -f '${WIN32_PROBE}' ] || exit 77; out=$(${PYTHON3} '${CMAKE_SOURCE_DIR}/tests/binary/check_pe.py' '${WIN32_PROBE}' '${XP_IMPORTS}'); echo \"$out\" | grep -q '^FAIL: not marked terminal-server aware' && echo \"$out\" | grep -q '^FAIL: header time stamp'")
set_tests_properties(binary_check_catches_unaware_and_timestamp PROPERTIES SKIP_RETURN_CODE 77)
# The x86_64 build carries the same header flags; its runtime imports differ.
add_test(NAME binary_win64_checks COMMAND ${PYTHON3} ${CMAKE_SOURCE_DIR}/tests/binary/check_pe.py
         ${WIN64_EXE} ${XP_IMPORTS} --machine amd64 --any-crt)
add_test(NAME binary_build_date COMMAND ${CMAKE_SOURCE_DIR}/tests/binary/check_build_date.sh)
# Two clean checkouts of the commit built in different folders at different
# times: the same bytes (about a minute on two cores, so never beside the Wine runs).
add_test(NAME binary_reproducible COMMAND ${CMAKE_SOURCE_DIR}/tests/binary/check_reproducible.sh
         ${CMAKE_BINARY_DIR}/reproducible)
set_tests_properties(binary_reproducible PROPERTIES TIMEOUT 900 RESOURCE_LOCK wine_e2e)
set_tests_properties(binary_product_checks binary_build_date binary_win64_checks binary_reproducible
                     PROPERTIES SKIP_RETURN_CODE 77)

# Fuzzers (clang, libFuzzer with ASan+UBSan): see docs/robustness.md.
if(FUZZ)
  add_custom_target(fuzzers)
  file(GLOB FUZZ_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/fuzz/*_fuzz.cpp)
  foreach(source ${FUZZ_SOURCES})
    get_filename_component(name ${source} NAME_WE)
    add_executable(${name} ${source} ${CMAKE_SOURCE_DIR}/fuzz/fuzz_checks.cpp)
    target_link_libraries(${name} PRIVATE cleaner simwin)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    add_dependencies(fuzzers ${name})
    # A short smoke run of each fuzzer on its seed corpus.
    add_test(NAME fuzz_smoke_${name} COMMAND ${CMAKE_SOURCE_DIR}/fuzz/run_fuzzer.sh $<TARGET_FILE:${name}> ${CMAKE_SOURCE_DIR}/fuzz/corpus/${name} ${FUZZ_SECONDS})
    set_tests_properties(fuzz_smoke_${name} PROPERTIES TIMEOUT 900)
  endforeach()
endif()

# The repair's fixtures as real files, and the host side of the Wine comparison
# (tests/wine/repair_compare.sh).
add_executable(pe_fixture tools/pe_fixture.cpp)
target_link_libraries(pe_fixture PRIVATE simwin)
add_executable(repair_verdicts tools/repair_verdicts.cpp tools/repair_checks.cpp)
target_link_libraries(repair_verdicts PRIVATE cleaner simwin)
target_include_directories(repair_verdicts PRIVATE tools)
# Skipped (77) when the win64 build is missing.
if(EXISTS /usr/lib/wine/wine64)
  add_test(NAME wine_repair_compare COMMAND ${CMAKE_SOURCE_DIR}/tests/wine/repair_compare.sh)
  set_tests_properties(wine_repair_compare PROPERTIES SKIP_RETURN_CODE 77)
endif()

# The dataset's generator and capture tools.
add_test(NAME dataset_tools COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tests/dataset_tools_test.py)
set_tests_properties(dataset_tools PROPERTIES ENVIRONMENT "PYTHONDONTWRITEBYTECODE=1")
# docs/dataset.md is what the generator writes from the sources now.
add_test(NAME dataset_doc COMMAND sh -c
  "'${Python3_EXECUTABLE}' '${CMAKE_SOURCE_DIR}/tools/gen_restore_table.py' --data '${CMAKE_SOURCE_DIR}/data/restore' --doc '${CMAKE_BINARY_DIR}/dataset.md' && diff -u '${CMAKE_SOURCE_DIR}/docs/dataset.md' '${CMAKE_BINARY_DIR}/dataset.md'")
set_tests_properties(dataset_doc PROPERTIES ENVIRONMENT "PYTHONDONTWRITEBYTECODE=1")
# The sets taken from genuine installations, derived again from their hives
# (data/hives) and compared byte for byte with the checked-in sources.
foreach(set 0 2 4)
  add_test(NAME dataset_capture_set${set} COMMAND Python3::Interpreter
           ${CMAKE_SOURCE_DIR}/tools/hive_capture.py --set ${set} --check --quiet)
  set_tests_properties(dataset_capture_set${set} PROPERTIES ENVIRONMENT "PYTHONDONTWRITEBYTECODE=1")
endforeach()
