# Probe side of the simulator: SW-DP/MEM-AP, CMSIS-DAP commands, USB device,
# and a real objcopy image through the whole probe (in dap_usb_test.cpp).
korvane_test(sim_probe_tests LABEL unit
  SOURCES sim/dap_swd_test.cpp sim/dap_cmd_test.cpp sim/dap_usb_test.cpp
  LIBS sim sim_demo_firmware)

# The whole chain: a minimal CMSIS-DAP host, the simulated probe, the board running the demo firmware.
korvane_test(sim_system_tests LABEL unit SOURCES sim/system_test.cpp LIBS sim sim_demo_firmware)
