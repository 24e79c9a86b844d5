# The demo firmware checked with the Arm binutils and xmllint. Its runs on
# QEMU are the cross-check's (crosscheck.cmake).
korvane_test(firmware_unit_tests LABEL unit
  SOURCES sim/firmware_test.cpp
  LIBS sim_demo_firmware)
target_include_directories(firmware_unit_tests PRIVATE ${CMAKE_SOURCE_DIR})
add_dependencies(firmware_unit_tests demo_firmware)
# The CMSIS-SVD schema, wherever the shared data keeps it (empty: the test skips).
file(GLOB_RECURSE svd_schema "${KORVANE_SHARED_DATA}/*/CMSIS-SVD.xsd")
set(svd_schema_first "")
if(svd_schema)
  list(GET svd_schema 0 svd_schema_first)
endif()
target_compile_definitions(firmware_unit_tests PRIVATE KORVANE_SVD_SCHEMA="${svd_schema_first}")

# The FreeRTOS firmware on our board (unit) and on QEMU under gdb (qemu).
korvane_test(rtos_unit_tests LABEL unit
  SOURCES sim/rtos_firmware_test.cpp sim/qemu_gdb.cpp
  LIBS sim sim_demo_firmware)
korvane_test(rtos_qemu_tests LABEL qemu
  SOURCES sim/rtos_firmware_test.cpp sim/qemu_gdb.cpp
  LIBS sim_demo_firmware)
target_compile_definitions(rtos_qemu_tests PRIVATE KORVANE_QEMU_TESTS=1)
foreach(kind unit qemu)
  target_include_directories(rtos_${kind}_tests PRIVATE ${CMAKE_SOURCE_DIR})
  add_dependencies(rtos_${kind}_tests demo_firmware)
endforeach()
