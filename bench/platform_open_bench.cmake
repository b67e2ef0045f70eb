# CreateFileW + CloseHandle through the POSIX platform layer against raw
# open + close (native only; included from bench/CMakeLists.txt).
add_executable(platform_open_bench ${CMAKE_CURRENT_LIST_DIR}/platform_open_bench.cpp)
target_link_libraries(platform_open_bench PRIVATE qmfiledb_platform benchmark::benchmark)
target_compile_options(platform_open_bench PRIVATE ${QMFILEDB_WARNINGS})
set_target_properties(platform_open_bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
