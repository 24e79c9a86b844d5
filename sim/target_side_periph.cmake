# The STM32F4 flash interface and peripherals, FPB, DWT, ITM
# and the CoreSight ROM tables. Each block is independent of the board.
target_sources(sim PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/flash_ctl.cpp
  ${CMAKE_CURRENT_LIST_DIR}/flash_f0.cpp
  ${CMAKE_CURRENT_LIST_DIR}/flash_f4.cpp
  ${CMAKE_CURRENT_LIST_DIR}/flash_l0.cpp
  ${CMAKE_CURRENT_LIST_DIR}/flash_g0l4.cpp
  ${CMAKE_CURRENT_LIST_DIR}/flash_h7.cpp
  ${CMAKE_CURRENT_LIST_DIR}/flash_u5.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fpb_dwt.cpp
  ${CMAKE_CURRENT_LIST_DIR}/periph_stm32.cpp
  ${CMAKE_CURRENT_LIST_DIR}/rom_table.cpp)
