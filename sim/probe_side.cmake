# Probe side: SW-DP and MEM-AP, CMSIS-DAP firmware, USB device, link model.
target_sources(sim PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/swd_dp.cpp
  ${CMAKE_CURRENT_LIST_DIR}/swd_dp_memap.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dap_fw.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dap_fw_transfer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/usb_dev.cpp
  ${CMAKE_CURRENT_LIST_DIR}/link_model.cpp
  ${CMAKE_CURRENT_LIST_DIR}/link_model_probe.cpp)
