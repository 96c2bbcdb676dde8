# Helpers every subsystem's CMakeLists.txt uses.

# kit_add_fuzzer(NAME SOURCES file... [LIBRARIES lib...] [SEEDS folder] [ARGS arg...])
#
# A libFuzzer harness: built by the target `fuzzers` (KIT_FUZZ only) and run
# by ctest for KIT_FUZZ_SECONDS with the label fuzz. New inputs go to a
# folder inside the build; the committed seeds are only read. The libraries
# it links are instrumented too, since a fuzz build compiles everything with
# the fuzzer's coverage.
function(kit_add_fuzzer name)
  cmake_parse_arguments(PARSE_ARGV 1 FUZZ "" "SEEDS" "SOURCES;LIBRARIES;ARGS")
  add_executable(${name} ${FUZZ_SOURCES})
  target_link_libraries(${name} PRIVATE ${FUZZ_LIBRARIES})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  add_dependencies(fuzzers ${name})
  set(corpus ${CMAKE_CURRENT_BINARY_DIR}/${name}-corpus)
  file(MAKE_DIRECTORY ${corpus})
  add_test(NAME ${name}
           COMMAND ${name} -max_total_time=${KIT_FUZZ_SECONDS} ${FUZZ_ARGS} ${corpus} ${FUZZ_SEEDS})
  set_tests_properties(${name} PROPERTIES LABELS fuzz)
endfunction()

# kit_add_tests(NAME SOURCES file... [LIBRARIES lib...] [PROGRAMS target...]
#               [TEST_PREFIX prefix] [PROPERTIES ...])
#
# A GoogleTest binary linked with the shared test support. Each target in
# PROGRAMS is built first and its path given to the tests as the macro
# <TARGET>_PROGRAM (upper case, - becomes _), e.g. TAMP_PROGRAM.
function(kit_add_tests name)
  cmake_parse_arguments(PARSE_ARGV 1 TESTS "" "TEST_PREFIX" "SOURCES;LIBRARIES;PROGRAMS;PROPERTIES")
  add_executable(${name} ${TESTS_SOURCES})
  target_link_libraries(${name} PRIVATE ${TESTS_LIBRARIES} test_support GTest::gtest_main)
  # The tests' own code builds at -O1 in Release, in about 60 % of the time
  # -O3 takes: it is much of the kit's code, and what it tests (the
  # libraries it links) keeps the build's level.
  target_compile_options(${name} PRIVATE $<$<CONFIG:Release>:-O1>)
  foreach(program IN LISTS TESTS_PROGRAMS)
    string(TOUPPER "${program}" macro)
    string(REPLACE "-" "_" macro "${macro}")
    target_compile_definitions(${name} PRIVATE ${macro}_PROGRAM="$<TARGET_FILE:${program}>")
    add_dependencies(${name} ${program})
  endforeach()
  set(prefix "")
  if(TESTS_TEST_PREFIX)
    set(prefix TEST_PREFIX ${TESTS_TEST_PREFIX})
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 ${prefix} PROPERTIES ${TESTS_PROPERTIES})
endfunction()

# kit_add_manpage(FILE [LINKS name...]): installs the manual page FILE
# (name.SECTION, roff) gzipped into man/manSECTION, as Debian wants it, and a
# link to it under each further name.
function(kit_add_manpage file)
  cmake_parse_arguments(PARSE_ARGV 1 PAGE "" "" "LINKS")
  get_filename_component(name ${file} NAME)
  string(REGEX REPLACE ".*\\.([0-9])$" "\\1" section ${name})
  set(gz ${CMAKE_CURRENT_BINARY_DIR}/man/${name}.gz)
  add_custom_command(OUTPUT ${gz}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/man
    COMMAND gzip -9n -c ${CMAKE_CURRENT_SOURCE_DIR}/${file} > ${gz}
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${file})
  add_custom_target(manpage_${name} ALL DEPENDS ${gz})
  install(FILES ${gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  foreach(link IN LISTS PAGE_LINKS)
    install(CODE "file(CREATE_LINK ${name}.gz
      \$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_MANDIR}/man${section}/${link}.${section}.gz
      SYMBOLIC)")
  endforeach()
endfunction()
