# The simulated board cross-checked against QEMU's netduinoplus2 under gdb,
# on the demo firmware. Slow (several QEMU sessions), so it has its own label.
korvane_test(sim_crosscheck_tests LABEL qemu
  SOURCES sim/crosscheck_test.cpp sim/qemu_gdb.cpp
  LIBS sim sim_demo_firmware)
target_include_directories(sim_crosscheck_tests PRIVATE ${CMAKE_SOURCE_DIR})
add_dependencies(sim_crosscheck_tests demo_firmware)
