# Shared build rules of the Tessel libraries, programs and tests.

# Warnings are errors where we check the code (`make test`, the sanitizer builds, CI); other
# builds only report them, so that another compiler's or distribution's false alarm cannot stop
# a user's build.
set(TESSEL_WARNINGS -Wall -Wextra)
if(TESSEL_WERROR)
  list(APPEND TESSEL_WARNINGS -Werror)
endif()

if(SANITIZE)
  string(REPLACE "," ";" _sanitizers "${SANITIZE}")
  set(_flags "-fsanitize=${SANITIZE}" -fno-omit-frame-pointer)
  if("undefined" IN_LIST _sanitizers)
    list(APPEND _flags -fno-sanitize-recover=undefined)
  endif()
  add_compile_options(${_flags})
  add_link_options("-fsanitize=${SANITIZE}")
endif()

if(FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "FUZZ=ON needs clang: configure with CXX=clang++ CC=clang")
  endif()
  # Instrument every library so the fuzzers see coverage inside them.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

if(TESSEL_TESTS)
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()

# tessel_library(<name> DEPENDS <libs...> [SUBDIRS <dirs...>])
# Builds lib<name>.so from every .cpp in the folder (and the listed sub-folders), with the
# folder's tests in tests/ as one GoogleTest program.
function(tessel_library name)
  cmake_parse_arguments(ARG "" "" "DEPENDS;SUBDIRS;LIBS" ${ARGN})
  set(_globs ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  foreach(sub ${ARG_SUBDIRS})
    list(APPEND _globs ${CMAKE_CURRENT_SOURCE_DIR}/${sub}/*.cpp)
  endforeach()
  file(GLOB _sources CONFIGURE_DEPENDS ${_globs})
  if(NOT _sources)
    # A library whose first sources have not landed yet still builds.
    set(_empty ${CMAKE_CURRENT_BINARY_DIR}/${name}_empty.cpp)
    file(WRITE ${_empty} "")
    set(_sources ${_empty})
  endif()
  add_library(${name} SHARED ${_sources})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_compile_options(${name} PRIVATE ${TESSEL_WARNINGS})
  target_link_libraries(${name} PUBLIC ${ARG_DEPENDS} PRIVATE ${ARG_LIBS})
  string(TOUPPER ${name} _upper)
  target_compile_definitions(${name} PRIVATE ${_upper}_BUILDING=1)

  if(TESSEL_TESTS)
    file(GLOB _tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/*.cpp)
    if(_tests)
      add_executable(${name}_tests ${_tests})
      target_compile_options(${name}_tests PRIVATE ${TESSEL_WARNINGS})
      target_link_libraries(${name}_tests PRIVATE ${name} GTest::gtest GTest::gtest_main GTest::gmock pthread)
      gtest_discover_tests(${name}_tests WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin
        DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
    endif()
  endif()
endfunction()

# Copies a strings file beside the executables.
function(tessel_strings_file path)
  get_filename_component(_name ${path} NAME)
  configure_file(${path} ${CMAKE_BINARY_DIR}/bin/${_name} COPYONLY)
endfunction()
