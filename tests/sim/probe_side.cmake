# Probe side of the simulator: SW-DP/MEM-AP, CMSIS-DAP commands, USB device,
# a real objcopy image through the whole probe (in dap_usb_test.cpp), and the
# demo's real-time mode with a minimal CMSIS-DAP host (system_test.cpp).
korvane_test(sim_probe_tests LABEL unit
  SOURCES sim/dap_swd_test.cpp sim/dap_cmd_test.cpp sim/dap_usb_test.cpp sim/system_test.cpp
  LIBS sim sim_demo_firmware)
