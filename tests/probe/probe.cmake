# The probe stack (transport, DAP commands, DP/AP, memory, core control and
# the probe thread) against the simulated probe and board on the USB seam.
korvane_test(probe_tests LABEL unit
  SOURCES probe/dap_test.cpp probe/thread_test.cpp probe/plot_feed_test.cpp runctl/step_test.cpp runctl/unwind_test.cpp runctl/fault_test.cpp
  LIBS probe runctl symbols sim sim_demo_firmware)
target_include_directories(probe_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR})

# Our stepping, and call stack, against gdb on QEMU over every line of each
# firmware image: one QEMU + gdb session and one simulated board per image
# (about five minutes on two cores).
korvane_test(runctl_gdb_tests LABEL qemu
  SOURCES runctl/gdb_diff_test.cpp sim/qemu_gdb.cpp
  LIBS probe runctl symbols sim sim_demo_firmware)
target_include_directories(runctl_gdb_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR} ${CMAKE_SOURCE_DIR})
