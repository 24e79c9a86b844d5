# Tests of the flash interface, STM32 peripherals, FPB/DWT/ITM and ROM tables.
korvane_test(sim_periph_tests LABEL unit
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/periph_flash_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/flash_models_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/periph_debug_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/periph_stm32_test.cpp
  LIBS sim)

# ST's flash algorithm from the device pack, run under Unicorn against the
# flash interface model.
find_package(PkgConfig REQUIRED)
pkg_check_modules(PERIPH_UNICORN IMPORTED_TARGET unicorn)
if(PERIPH_UNICORN_FOUND)
  korvane_test(sim_periph_flm_tests LABEL unit
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/periph_flm_test.cpp ${CMAKE_CURRENT_LIST_DIR}/flash_families_test.cpp
    LIBS sim PkgConfig::PERIPH_UNICORN flash_demo_pack)
else()
  message(STATUS "unicorn not found: sim_periph_flm_tests not built")
endif()
