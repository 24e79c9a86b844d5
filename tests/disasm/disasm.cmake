korvane_test(disasm_tests LABEL unit
  SOURCES disasm/thumb2_test.cpp
  LIBS disasm)
add_dependencies(disasm_tests symbol_fixtures)
target_compile_definitions(disasm_tests PRIVATE KORVANE_SYMBOL_FIXTURES="${CMAKE_BINARY_DIR}/tests/symbols")
