# Chip identification against the simulated STM32F405 and the real ST pack.
korvane_test(target_tests LABEL unit
  SOURCES target/mcu_id_test.cpp
  LIBS target probe runctl sim sim_demo_firmware)
# The demo pack (KORVANE_DEMO_PACK_DIR), found by identification.
target_link_libraries(target_tests PRIVATE flash_demo_pack)
# tests/ itself, for the shared probe fixture ("probe/probe_fixture.h").
target_include_directories(target_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/..)

# The .pdsc reader against Python's ElementTree walk of every device of each ST pack, made at build time.
find_package(Python3 COMPONENTS Interpreter)
set(pdsc_walk_dir ${CMAKE_CURRENT_BINARY_DIR}/pdsc_walk)
set(pdsc_walks)
if(Python3_FOUND)
  foreach(pack F0 F4 G0 G4 H7 L0 L4)
    set(pdsc ${KORVANE_SHARED_DATA}/pdsc/Keil.STM32${pack}xx_DFP.pdsc)
    if(EXISTS ${pdsc})
      set(out ${pdsc_walk_dir}/Keil.STM32${pack}xx_DFP.pdsc.txt)
      add_custom_command(OUTPUT ${out}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${pdsc_walk_dir}
        COMMAND Python3::Interpreter ${CMAKE_CURRENT_LIST_DIR}/pdsc_walk.py ${pdsc} ${out}
        DEPENDS ${CMAKE_CURRENT_LIST_DIR}/pdsc_walk.py ${pdsc} VERBATIM)
      list(APPEND pdsc_walks ${out})
    endif()
  endforeach()
endif()
add_custom_target(pdsc_walks DEPENDS ${pdsc_walks})
target_sources(target_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/pdsc_xml_test.cpp)
add_dependencies(target_tests pdsc_walks)
target_compile_definitions(target_tests PRIVATE PDSC_WALK_DIR="${pdsc_walk_dir}")
# The debug sequence language: the real packs' sequences, its edge cases, the F4's sequences on the board.
target_sources(target_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/pdsc_seq_test.cpp)
find_package(pugixml REQUIRED)
target_link_libraries(target_tests PRIVATE pugixml::pugixml)
# The pack database and its cache in the settings file.
target_sources(target_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/pdsc_db_test.cpp)
# Target algorithm INI files: the step syntax, hostile files, sequences on the board.
target_sources(target_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/target_algo_test.cpp ${CMAKE_CURRENT_LIST_DIR}/algo_select_test.cpp)
