# The OpenGL 3.3 core loader is generated at build time from Debian's python3-glad;
# --reproducible makes glad use its packaged registry instead of downloading one;
# --debug gives every call a hook, which ui/gl_count uses to count the calls of a frame.
find_program(GLAD_EXECUTABLE glad REQUIRED)
set(GLAD_OUT ${CMAKE_BINARY_DIR}/glad)
add_custom_command(
  OUTPUT ${GLAD_OUT}/src/gl.c ${GLAD_OUT}/include/glad/gl.h
  COMMAND ${GLAD_EXECUTABLE} --quiet --reproducible --api gl:core=3.3 --out-path ${GLAD_OUT} c --debug
  COMMENT "Generating the OpenGL 3.3 core loader with glad"
  VERBATIM)
add_library(glad STATIC ${GLAD_OUT}/src/gl.c ${GLAD_OUT}/include/glad/gl.h)
target_include_directories(glad SYSTEM PUBLIC ${GLAD_OUT}/include)
set_target_properties(glad PROPERTIES POSITION_INDEPENDENT_CODE ON)
