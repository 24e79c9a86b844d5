// One place that decides how OpenGL and GLFW are included: glad's loader first,
// and GLFW told not to pull in a system GL header of its own.
#pragma once

#include <glad/gl.h>
#define GLFW_INCLUDE_NONE
#include <GLFW/glfw3.h>
