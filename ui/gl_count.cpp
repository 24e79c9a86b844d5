#include "ui/gl_count.h"

#include "ui/gl.h"

// GL is called from the window's thread only.
static GlCallCounts s_counts;


static void count_call(const char*, GLADapiproc proc, int, ...) {
    ++s_counts.calls;
    if (proc == (GLADapiproc)glad_glDrawArrays || proc == (GLADapiproc)glad_glDrawElements ||
        proc == (GLADapiproc)glad_glDrawElementsBaseVertex || proc == (GLADapiproc)glad_glDrawRangeElements ||
        proc == (GLADapiproc)glad_glDrawRangeElementsBaseVertex || proc == (GLADapiproc)glad_glDrawArraysInstanced ||
        proc == (GLADapiproc)glad_glDrawElementsInstanced || proc == (GLADapiproc)glad_glDrawElementsInstancedBaseVertex ||
        proc == (GLADapiproc)glad_glMultiDrawArrays || proc == (GLADapiproc)glad_glMultiDrawElements ||
        proc == (GLADapiproc)glad_glMultiDrawElementsBaseVertex)
        ++s_counts.draws;
    else if (proc == (GLADapiproc)glad_glUseProgram)
        ++s_counts.program_switches;
    else if (proc == (GLADapiproc)glad_glGetUniformLocation)
        ++s_counts.uniform_lookups;
    else if (proc == (GLADapiproc)glad_glBufferData || proc == (GLADapiproc)glad_glBufferSubData ||
             proc == (GLADapiproc)glad_glTexImage2D || proc == (GLADapiproc)glad_glTexSubImage2D ||
             proc == (GLADapiproc)glad_glTexImage3D || proc == (GLADapiproc)glad_glTexSubImage3D)
        ++s_counts.uploads;
}

static void after_call(void*, const char*, GLADapiproc, int, ...) {}

void gl_count_install() {
    gladSetGLPreCallback(count_call);
    gladSetGLPostCallback(after_call);
}

GlCallCounts gl_count_read() { return s_counts; }

void gl_count_add_since(GlCallCounts* total, const GlCallCounts& before) {
    total->calls += s_counts.calls - before.calls;
    total->draws += s_counts.draws - before.draws;
    total->program_switches += s_counts.program_switches - before.program_switches;
    total->uniform_lookups += s_counts.uniform_lookups - before.uniform_lookups;
    total->uploads += s_counts.uploads - before.uploads;
}
