# skyvane_test(NAME SOURCES a.cpp b.cpp LIBS x y [LABELS threaded broker corpus] [TIMEOUT s])
# Labels: "threaded" tests also run under ThreadSanitizer in CI; "broker" tests need the
# MQTT broker fixture; "corpus" tests read ../shared/corpus and skip when it is absent.
function(skyvane_test name)
  if(NOT SKYVANE_TESTS)
    return()
  endif()
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  target_compile_definitions(${name} PRIVATE
    SKYVANE_CORPUS_DIR="${SKYVANE_CORPUS_DIR}"
    SKYVANE_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    SKYVANE_BINARY_DIR="${PROJECT_BINARY_DIR}")
  add_test(NAME ${name} COMMAND ${name})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  # Tests run over the air even on a machine with a real tuner (which would be its default).
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} ENVIRONMENT "PELMO_TUNERS=air")
  if(T_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
  endif()
endfunction()

# skyvane_fuzzer(NAME SOURCES a.cpp LIBS x)  — built only with -DSKYVANE_FUZZ=ON under clang.
function(skyvane_fuzzer name)
  if(NOT SKYVANE_FUZZ)
    return()
  endif()
  cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${F_SOURCES})
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  # `cmake --build build-fuzz --target fuzzers` builds every fuzzer and only what they need.
  if(NOT TARGET fuzzers)
    add_custom_target(fuzzers)
  endif()
  add_dependencies(fuzzers ${name})
endfunction()
