# Chip identification against the simulated STM32F405 and the real ST pack.
korvane_test(target_tests LABEL unit
  SOURCES target/mcu_id_test.cpp
  LIBS target probe sim sim_demo_firmware)
# tests/ itself, for the shared probe fixture ("probe/probe_fixture.h").
target_include_directories(target_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/..)
# The debug sequence language: the real packs' sequences, its edge cases, the F4's sequences on the board.
target_sources(target_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/pdsc_seq_test.cpp)
find_package(pugixml REQUIRED)
target_link_libraries(target_tests PRIVATE pugixml::pugixml)
