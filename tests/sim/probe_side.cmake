# Probe side of the simulator: SW-DP/MEM-AP, CMSIS-DAP commands, the USB device
# and its link time, and the demo's real-time mode (system_test.cpp).
korvane_test(sim_probe_tests LABEL unit
  SOURCES sim/dap_swd_test.cpp sim/dap_cmd_test.cpp sim/dap_usb_test.cpp sim/system_test.cpp
  LIBS sim sim_demo_firmware)
