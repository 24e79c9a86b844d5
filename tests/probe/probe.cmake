# The probe stack (transport, DAP commands, DP/AP, memory, core control and
# the probe thread) against the simulated probe and board on the USB seam.
korvane_test(probe_tests LABEL unit
  SOURCES probe/transport_test.cpp probe/mem_test.cpp probe/core_test.cpp probe/thread_test.cpp
    runctl/step_test.cpp
  LIBS probe runctl symbols sim sim_demo_firmware)
target_include_directories(probe_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR})
