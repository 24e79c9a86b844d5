// The Watch tab's value texts, rebuilt from the probe thread's published
// values whenever fresh registers arrive.
#pragma once

void watch_refresh_all();
// Forgets the previous values, so nothing is marked on the next refresh.
void watch_display_reset();
