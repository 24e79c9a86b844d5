korvane_test(disasm_tests LABEL unit
  SOURCES disasm/thumb2_test.cpp disasm/disasm_core_test.cpp
  LIBS disasm)
add_dependencies(disasm_tests symbol_fixtures)
target_compile_definitions(disasm_tests PRIVATE KORVANE_SYMBOL_FIXTURES="${CMAKE_BINARY_DIR}/tests/symbols")

# newlib's libc.a and libm.a of five multilibs, each linked whole into one
# image, so that branches show their real targets: objdump's listing of them
# is the judge of the disassembler's text.
set(dis_dir ${CMAKE_BINARY_DIR}/tests/disasm)
file(MAKE_DIRECTORY ${dis_dir})
find_program(KORVANE_ARM_LD arm-none-eabi-ld REQUIRED)
set(dis_files "")
foreach(ml "arm|" "v6m|-mthumb;-march=armv6s-m" "v7m|-mthumb;-march=armv7-m"
           "v7em_fp|-mthumb;-march=armv7e-m+fp;-mfloat-abi=hard" "v8mmain_fp|-mthumb;-march=armv8-m.main+fp;-mfloat-abi=hard")
  string(REPLACE "|" ";" parts "${ml}")
  list(GET parts 0 name)
  list(SUBLIST parts 1 -1 flags)
  execute_process(COMMAND ${KORVANE_ARM_GCC} ${flags} -print-file-name=libc.a OUTPUT_VARIABLE libc OUTPUT_STRIP_TRAILING_WHITESPACE)
  get_filename_component(libdir ${libc} DIRECTORY)
  set(elf ${dis_dir}/newlib_${name}.elf)
  add_custom_command(OUTPUT ${elf}
    COMMAND ${KORVANE_ARM_LD} --whole-archive ${libdir}/libc.a ${libdir}/libm.a --no-whole-archive
            --unresolved-symbols=ignore-all -z muldefs -e 0 -Ttext=0x08000000 -o ${elf}
    DEPENDS ${libdir}/libc.a ${libdir}/libm.a VERBATIM)
  list(APPEND dis_files ${elf})
endforeach()
add_custom_target(disasm_fixtures DEPENDS ${dis_files})

korvane_test(disasm_oracle_tests LABEL oracle
  SOURCES disasm/objdump_test.cpp disasm/random_test.cpp
  LIBS disasm symbols flash_demo_pack sim_demo_firmware)
add_dependencies(disasm_oracle_tests disasm_fixtures)
target_compile_definitions(disasm_oracle_tests PRIVATE KORVANE_DISASM_FIXTURES="${dis_dir}")
# Capstone, where installed, is the second opinion on random encodings.
pkg_check_modules(CAPSTONE IMPORTED_TARGET capstone)
if(CAPSTONE_FOUND)
  target_link_libraries(disasm_oracle_tests PRIVATE PkgConfig::CAPSTONE)
  target_compile_definitions(disasm_oracle_tests PRIVATE KORVANE_CAPSTONE)
endif()

# Every 16-bit Thumb value and random Thumb-2 and ARM words through the
# decoders, for the sanitizer build (KORVANE_SWEEP_VALUES sets how many).
korvane_test(disasm_sweep_tests LABEL long
  SOURCES disasm/sweep_test.cpp
  LIBS disasm)
