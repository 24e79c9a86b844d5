# Target side, part 1: the board and its Cortex-M4F core.
korvane_test(sim_board_tests LABEL unit
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/board_firmware_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/board_debug_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/board_core_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/board_lazy_fp_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/board_input_test.cpp
  LIBS sim)
target_compile_definitions(sim_board_tests PRIVATE KORVANE_DEMO_FW_DIR="${KORVANE_DEMO_FW_DIR}")
add_dependencies(sim_board_tests demo_firmware)
include(${CMAKE_CURRENT_LIST_DIR}/target_side_periph.cmake)
