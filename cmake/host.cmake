# The host build: the cleaner's sources against the simulated platform, the
# tests and the scenario runner. UTF-16 is 16-bit on Windows, so everything
# that touches the cleaner's strings is compiled with -fshort-wchar.
option(SANITIZE "Build the host targets with AddressSanitizer and UBSan" ON)
set(HOST_FLAGS -fshort-wchar -Wall -Wextra -Wno-psabi)
set(SAN_FLAGS)
if(SANITIZE)
  set(SAN_FLAGS -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
endif()
add_compile_options(${SAN_FLAGS})
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

add_library(cleaner STATIC ${PRODUCT_SOURCES})
target_compile_options(cleaner PRIVATE ${PRODUCT_FLAGS})
target_link_libraries(cleaner PUBLIC simwin)
target_include_directories(cleaner PUBLIC src)

add_executable(simrun tools/simrun.cpp)
target_link_libraries(simrun PRIVATE cleaner simwin)

enable_testing()
file(GLOB TEST_SOURCES CONFIGURE_DEPENDS tests/*_test.cpp)
add_executable(cleaner_tests ${TEST_SOURCES} tests/test_support.cpp)
target_compile_options(cleaner_tests PRIVATE ${HOST_FLAGS})
target_link_libraries(cleaner_tests PRIVATE cleaner simwin gtest gtest_main)
target_include_directories(cleaner_tests PRIVATE tests)
add_test(NAME host_unit_tests COMMAND cleaner_tests --gtest_brief=1)
set_tests_properties(host_unit_tests PROPERTIES ENVIRONMENT "ASAN_OPTIONS=detect_leaks=1")
# The dataset's generator and capture tools.
add_test(NAME dataset_tools COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tests/dataset_tools_test.py)
set_tests_properties(dataset_tools PROPERTIES ENVIRONMENT "PYTHONDONTWRITEBYTECODE=1")
