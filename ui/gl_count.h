// Counts the GL calls the program makes. A software renderer pays for every
// call, state change and upload, so the window benchmark reports them per frame.
// glad is generated with its call hooks for this; installing the counter also
// replaces glad's default hooks, which would call glGetError after every call.
#pragma once

#include <cstdint>

struct GlCallCounts {
    uint64_t calls;            // every GL call
    uint64_t draws;            // glDraw*
    uint64_t program_switches; // glUseProgram
    uint64_t uniform_lookups;  // glGetUniformLocation
    uint64_t uploads;          // glBufferData, glBufferSubData, glTex(Sub)Image*
};

void gl_count_install();
GlCallCounts gl_count_read();
// Adds the calls made since `before` (an earlier gl_count_read) to *total.
void gl_count_add_since(GlCallCounts* total, const GlCallCounts& before);
