# Target side, part 1: the board, its Cortex-M4F core on Unicorn, the SCS.
pkg_check_modules(UNICORN REQUIRED IMPORTED_TARGET unicorn)
target_link_libraries(sim PUBLIC PkgConfig::UNICORN)
target_sources(sim PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/board.cpp
  ${CMAKE_CURRENT_LIST_DIR}/board_profile.cpp
  ${CMAKE_CURRENT_LIST_DIR}/cortexm.cpp
  ${CMAKE_CURRENT_LIST_DIR}/scs.cpp)
include(${CMAKE_CURRENT_LIST_DIR}/target_side_periph.cmake)
