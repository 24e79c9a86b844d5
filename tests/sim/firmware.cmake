# The demo firmware checked with the Arm binutils and xmllint (unit), and run
# on QEMU's netduinoplus2 under gdb (qemu). Same source, two programs, so the
# slow QEMU cases carry their own label.
foreach(kind unit qemu)
  korvane_test(firmware_${kind}_tests LABEL ${kind}
    SOURCES sim/firmware_test.cpp sim/qemu_gdb.cpp
    LIBS sim_demo_firmware)
  target_include_directories(firmware_${kind}_tests PRIVATE ${CMAKE_SOURCE_DIR})
  add_dependencies(firmware_${kind}_tests demo_firmware)
endforeach()
target_compile_definitions(firmware_qemu_tests PRIVATE KORVANE_QEMU_TESTS=1)
# The CMSIS-SVD schema, wherever the shared data keeps it (empty: the test skips).
file(GLOB_RECURSE svd_schema "${KORVANE_SHARED_DATA}/*/CMSIS-SVD.xsd")
set(svd_schema_first "")
if(svd_schema)
  list(GET svd_schema 0 svd_schema_first)
endif()
target_compile_definitions(firmware_unit_tests PRIVATE KORVANE_SVD_SCHEMA="${svd_schema_first}")
target_compile_definitions(firmware_qemu_tests PRIVATE KORVANE_SVD_SCHEMA="${svd_schema_first}")

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
