# Helpers shared by the CMake files: one static library per folder from the sources found there.
# INCLUDE is the directory that the library and its users include from: platform/ for the platform
# libraries (their users write "zint/...", "hist/..."), src/ for the service's. A library sees
# only its own directory and those of its DEPS, so nothing under platform/ can include from src/.
function(vorn_folder_library name)
  cmake_parse_arguments(ARG "" "INCLUDE" "DEPS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.c)
  list(FILTER srcs EXCLUDE REGEX "/main\\.cpp$")
  if(srcs)
    add_library(${name} STATIC ${srcs})
    target_link_libraries(${name} PUBLIC ${ARG_DEPS})
    target_include_directories(${name} PUBLIC ${ARG_INCLUDE})
  else()
    add_library(${name} INTERFACE)
    target_link_libraries(${name} INTERFACE ${ARG_DEPS})
    target_include_directories(${name} INTERFACE ${ARG_INCLUDE})
  endif()
endfunction()

# One libFuzzer program per tests/fuzz/<name>_fuzz.cpp, named fuzz_<name> and linked with libs; the
# caller has already instrumented everything with -fsanitize=fuzzer-no-link,address,undefined.
function(vorn_fuzzer src)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  get_filename_component(base ${src} NAME_WE)
  string(REGEX REPLACE "_fuzz$" "" name ${base})
  add_executable(fuzz_${name} ${src})
  target_compile_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(fuzz_${name} PRIVATE ${ARG_LIBS})
  set_target_properties(fuzz_${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
endfunction()
