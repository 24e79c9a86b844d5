// A plottable signal and a little arithmetic with recursion.
#include "demo.h"

// Quarter sine wave in Q15, 0..90 degrees in 16 steps (17 points).
const int16_t g_sine_table[17] = {
    0, 3212, 6393, 9512, 12539, 15446, 18204, 20787, 23170,
    25329, 27245, 28898, 30273, 31356, 32137, 32609, 32767,
};

static float sine_q(uint32_t phase) {   // phase: 64 steps per period
    uint32_t quadrant = (phase >> 4) & 3u;
    uint32_t i = phase & 15u;
    if (quadrant & 1u) i = 16u - i;
    float v = (float)g_sine_table[i] * (1.0f / 32767.0f);
    return (quadrant & 2u) ? -v : v;
}

float wave_sample(uint32_t tick) {
    // A 1 Hz sine plus a small 4 Hz triangle, so a plot shows two shapes.
    float s = sine_q((tick * 64u / 1000u) & 63u);
    uint32_t t = tick % 250u;
    float tri = (t < 125u ? (float)t : (float)(250u - t)) * (1.0f / 125.0f) - 0.5f;
    return 0.8f * s + 0.2f * tri;
}

uint32_t fibonacci(uint32_t n) {
    if (n < 2u) return n;
    return fibonacci(n - 1u) + fibonacci(n - 2u);
}

uint32_t factorial(uint32_t n) {
    if (n <= 1u) return 1u;
    return n * factorial(n - 1u);
}
