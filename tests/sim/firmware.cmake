# The demo firmware checked with the Arm binutils and ST's SVD. Its runs on
# QEMU are the cross-check's (crosscheck.cmake).
korvane_test(firmware_unit_tests LABEL unit
  SOURCES sim/firmware_test.cpp
  LIBS sim_demo_firmware)
target_include_directories(firmware_unit_tests PRIVATE ${CMAKE_SOURCE_DIR})
add_dependencies(firmware_unit_tests demo_firmware)

# The FreeRTOS firmware on our board.
korvane_test(rtos_unit_tests LABEL unit
  SOURCES sim/rtos_firmware_test.cpp
  LIBS sim sim_demo_firmware)
target_include_directories(rtos_unit_tests PRIVATE ${CMAKE_SOURCE_DIR})
add_dependencies(rtos_unit_tests demo_firmware)
