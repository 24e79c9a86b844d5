# Firmware images for the symbol tests, built with the Arm GCC: the demo
# firmware at -O0/-O2 with line tables of DWARF 3, 4 and 5 (gas writes the
# version given by --gdwarf-N; gcc 12 alone always writes 3), and a
# newlib-heavy program (full newlib, the nosys stubs) linked with --gc-sections.
set(sym_dir ${CMAKE_BINARY_DIR}/tests/symbols)
# Only Ninja makes the folders of custom command outputs by itself.
file(MAKE_DIRECTORY ${sym_dir})
set(fw ${CMAKE_SOURCE_DIR}/sim/firmware)
set(fw_sources ${fw}/startup.c ${fw}/main.c ${fw}/faults.c ${fw}/wave.c)
set(sym_files "")
foreach(opt O0 O2)
  foreach(lv 3 4 5)
    set(elf ${sym_dir}/demo_${opt}_line${lv}.elf)
    add_custom_command(OUTPUT ${elf}
      COMMAND ${KORVANE_ARM_GCC} -mcpu=cortex-m4 -mthumb -mfloat-abi=hard -mfpu=fpv4-sp-d16
              -ffreestanding -nostartfiles -nostdlib -std=gnu11 -g -gdwarf-4 -Wa,--gdwarf-${lv} -${opt}
              -T ${fw}/demo.ld -Wl,--no-warn-rwx-segments ${fw_sources} -lgcc -o ${elf}
      DEPENDS ${fw_sources} ${fw}/demo.ld VERBATIM)
    list(APPEND sym_files ${elf})
  endforeach()
endforeach()
foreach(lv 4 5)
  set(elf ${sym_dir}/newlib_line${lv}.elf)
  set(src ${CMAKE_CURRENT_SOURCE_DIR}/symbols/fixtures/newlib_app.c ${CMAKE_CURRENT_SOURCE_DIR}/symbols/fixtures/newlib_util.c)
  add_custom_command(OUTPUT ${elf}
    COMMAND ${KORVANE_ARM_GCC} -mcpu=cortex-m4 -mthumb -O2 -g -gdwarf-4 -Wa,--gdwarf-${lv}
            -Wl,--gc-sections ${src} -lm -lc -lnosys -o ${elf}
    DEPENDS ${src} VERBATIM)
  list(APPEND sym_files ${elf})
endforeach()
# Variables and types: the demo firmware with .debug_info of DWARF 2, 3 and 5
# (the images above carry DWARF 4), the newlib program at -O0 and -O2, and a
# C++ program whose types sit in type units (DWARF 5 in .debug_info, DWARF 4
# in .debug_types).
foreach(opt O0 O2)
  foreach(iv 2 3 5)
    set(elf ${sym_dir}/demo_${opt}_info${iv}.elf)
    add_custom_command(OUTPUT ${elf}
      COMMAND ${KORVANE_ARM_GCC} -mcpu=cortex-m4 -mthumb -mfloat-abi=hard -mfpu=fpv4-sp-d16
              -ffreestanding -nostartfiles -nostdlib -std=gnu11 -g -gdwarf-${iv} -${opt}
              -T ${fw}/demo.ld -Wl,--no-warn-rwx-segments ${fw_sources} -lgcc -o ${elf}
      DEPENDS ${fw_sources} ${fw}/demo.ld VERBATIM)
    list(APPEND sym_files ${elf})
  endforeach()
endforeach()
foreach(variant O0_info2 O0_info5 O2_info3)
  string(REGEX REPLACE "_info.*" "" opt ${variant})
  string(REGEX REPLACE ".*_info" "" iv ${variant})
  set(elf ${sym_dir}/newlib_${variant}.elf)
  set(src ${CMAKE_CURRENT_SOURCE_DIR}/symbols/fixtures/newlib_app.c ${CMAKE_CURRENT_SOURCE_DIR}/symbols/fixtures/newlib_util.c)
  add_custom_command(OUTPUT ${elf}
    COMMAND ${KORVANE_ARM_GCC} -mcpu=cortex-m4 -mthumb -${opt} -g -gdwarf-${iv}
            -Wl,--gc-sections ${src} -lm -lc -lnosys -o ${elf}
    DEPENDS ${src} VERBATIM)
  list(APPEND sym_files ${elf})
endforeach()
foreach(iv 4 5)
  set(elf ${sym_dir}/typeunit_info${iv}.elf)
  set(src ${CMAKE_CURRENT_SOURCE_DIR}/symbols/fixtures/typeunit_app.cpp)
  add_custom_command(OUTPUT ${elf}
    COMMAND ${KORVANE_ARM_GCC} -x c++ -mcpu=cortex-m4 -mthumb -O0 -g -gdwarf-${iv} -fdebug-types-section
            -ffreestanding -fno-exceptions -fno-rtti -nostdlib -nostartfiles -Wl,-e,main ${src} -o ${elf}
    DEPENDS ${src} VERBATIM)
  list(APPEND sym_files ${elf})
endforeach()
# The newlib program's units from a second compiler: clang writes DWARF 5's
# indexed forms (strx, addrx, loclistx, rnglistx) that gcc keeps for split DWARF.
find_program(KORVANE_CLANG NAMES clang-14 clang)
if(KORVANE_CLANG)
  set(elf ${sym_dir}/newlib_clang5.elf)
  set(objs "")
  foreach(unit newlib_app newlib_util)
    set(obj ${sym_dir}/${unit}_clang.o)
    add_custom_command(OUTPUT ${obj}
      COMMAND ${KORVANE_CLANG} --target=thumbv7em-none-eabi -mcpu=cortex-m4 -mfloat-abi=soft -fshort-enums -O2 -g -gdwarf-5
              -isystem /usr/lib/arm-none-eabi/include -c ${CMAKE_CURRENT_SOURCE_DIR}/symbols/fixtures/${unit}.c -o ${obj}
      DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/symbols/fixtures/${unit}.c VERBATIM)
    list(APPEND objs ${obj})
  endforeach()
  add_custom_command(OUTPUT ${elf}
    COMMAND ${KORVANE_ARM_GCC} -mcpu=cortex-m4 -mthumb -Wl,--gc-sections -Wl,--no-warn-execstack ${objs} -lm -lc -lnosys -o ${elf}
    DEPENDS ${objs} VERBATIM)
  list(APPEND sym_files ${elf})
endif()
add_custom_target(symbol_fixtures DEPENDS ${sym_files})

korvane_test(symbols_tests LABEL unit
  SOURCES symbols/elf_dwarf_test.cpp symbols/malformed_test.cpp
    symbols/variables_test.cpp symbols/svd_test.cpp symbols/frame_test.cpp symbols/dwarf_expr_test.cpp
  LIBS symbols)
add_dependencies(symbols_tests symbol_fixtures sim_demo_firmware)
target_compile_definitions(symbols_tests PRIVATE KORVANE_SYMBOL_FIXTURES="${sym_dir}" ${KORVANE_DEMO_FW_DEFINITIONS})
