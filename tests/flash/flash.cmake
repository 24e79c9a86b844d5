# Flash algorithms and flash jobs against the simulated board, ST's real FLM
# and pack, and arm-none-eabi-objcopy as the HEX oracle.
korvane_test(flash_tests LABEL unit
  SOURCES flash/flm_test.cpp flash/flm_run_test.cpp flash/hex_test.cpp flash/flash_job_test.cpp flash/stm32_flash_test.cpp
    flash/target_algo_flash_test.cpp
  LIBS flash target probe runctl sim sim_demo_firmware flash_demo_pack)
target_include_directories(flash_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_compile_definitions(flash_tests PRIVATE KORVANE_OBJCOPY="${KORVANE_ARM_OBJCOPY}")
