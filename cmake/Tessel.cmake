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

# Installed layout: the programs in bin/, our libraries in a folder of their own under lib/ (their
# names are too plain for the shared one), the strings files, example session and help page in
# share/tessel/, which is where the programs look for them (../share/tessel/ from bin/). Each
# installed binary finds our libraries through an $ORIGIN-relative RPATH, so no
# LD_LIBRARY_PATH is needed and the tree can be moved as a whole.
include(GNUInstallDirs)
set(TESSEL_INSTALL_LIBDIR ${CMAKE_INSTALL_LIBDIR}/tessel)
set(TESSEL_INSTALL_DATADIR ${CMAKE_INSTALL_DATADIR}/tessel)
file(RELATIVE_PATH TESSEL_BIN_TO_LIB /${CMAKE_INSTALL_BINDIR} /${TESSEL_INSTALL_LIBDIR})
file(RELATIVE_PATH TESSEL_BIN_TO_DATA /${CMAKE_INSTALL_BINDIR} /${TESSEL_INSTALL_DATADIR})
if(NOT TESSEL_BIN_TO_DATA STREQUAL "../share/tessel")
  message(WARNING "The programs look for their strings files in ../share/tessel/ beside bin/; "
                  "with CMAKE_INSTALL_BINDIR=${CMAKE_INSTALL_BINDIR} and "
                  "CMAKE_INSTALL_DATADIR=${CMAKE_INSTALL_DATADIR} an installed tree shows keys "
                  "instead of texts.")
endif()

# tessel_install_program(<target>): installs an executable into bin/ with our libraries on its
# RPATH.
function(tessel_install_program target)
  set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN/${TESSEL_BIN_TO_LIB}")
  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endfunction()

# tessel_install_library(<target>): installs a shared library of ours (or one the engine loads
# beside itself) into the libraries' folder, finding its siblings there.
function(tessel_install_library target)
  set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN")
  install(TARGETS ${target} LIBRARY DESTINATION ${TESSEL_INSTALL_LIBDIR})
endfunction()

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
  tessel_install_library(${name})

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

# Texts whose installed value differs from the build tree's: the program opens the example
# session at its own folder followed by this text, and an installed tree keeps the session with
# the other data files, not among the executables (examples/CMakeLists.txt installs it there).
set(TESSEL_INSTALLED_TEXTS "IDS_EXAMPLE_SGP=${TESSEL_BIN_TO_DATA}/examples/example.sgp")

# Copies a strings file beside the executables, and installs it into share/tessel/ with the
# values of TESSEL_INSTALLED_TEXTS in place of its own.
function(tessel_strings_file path)
  get_filename_component(_name ${path} NAME)
  configure_file(${path} ${CMAKE_BINARY_DIR}/bin/${_name} COPYONLY)
  file(READ ${path} _text)
  foreach(_entry ${TESSEL_INSTALLED_TEXTS})
    string(REGEX MATCH "^[^=]+" _key "${_entry}")
    string(REGEX REPLACE "(^|\n)${_key}=[^\n]*" "\\1${_entry}" _text "${_text}")
  endforeach()
  set(_installed ${CMAKE_BINARY_DIR}/installed-strings/${_name})
  set(_old "")
  if(EXISTS ${_installed})
    file(READ ${_installed} _old)
  endif()
  if(NOT _old STREQUAL _text)
    file(WRITE ${_installed} "${_text}")
  endif()
  install(FILES ${_installed} DESTINATION ${TESSEL_INSTALL_DATADIR})
endfunction()
