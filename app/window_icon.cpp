#include "app/window_icon.h"

#include <cmath>

#include "ui/gl.h"

// A rounded dark tile with an orange chip outline and a blue cursor bar, drawn
// analytically so that both sizes are crisp.
void app_icon_pixels(unsigned char* rgba, int size) {
    const float s = (float)size;
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            float u = (x + 0.5f) / s, v = (y + 0.5f) / s;
            float dx = std::fabs(u - 0.5f), dy = std::fabs(v - 0.5f);
            float qx = std::fmax(dx - 0.34f, 0), qy = std::fmax(dy - 0.34f, 0);
            bool tile = std::sqrt(qx * qx + qy * qy) <= 0.14f;
            bool chip = std::fmax(dx, dy) <= 0.27f && std::fmax(dx, dy) >= 0.19f;
            // Three whole pins a side, centred on the chip's middle.
            auto pin = [](float t) { return std::fmod((t - 0.5f) * 6 + 8.25f, 1.0f) < 0.5f; };
            bool pins = (dx <= 0.22f && dy > 0.27f && dy <= 0.36f && pin(u)) ||
                        (dy <= 0.22f && dx > 0.27f && dx <= 0.36f && pin(v));
            bool bar = dx <= 0.11f && dy <= 0.035f;
            unsigned char* p = rgba + 4 * (y * size + x);
            unsigned char r = 0, g = 0, b = 0, a = 0;
            if (tile) r = g = b = 38, a = 255;
            if (tile && (chip || pins)) r = 255, g = 140, b = 0;
            if (tile && bar) r = 51, g = 204, b = 255;
            p[0] = r, p[1] = g, p[2] = b, p[3] = a;
        }
    }
}

void app_set_window_icon(GLFWwindow* win) {
    if (!win) return;
    static unsigned char big[32 * 32 * 4], small[16 * 16 * 4];
    app_icon_pixels(big, 32);
    app_icon_pixels(small, 16);
    GLFWimage images[2] = {{32, 32, big}, {16, 16, small}};
    glfwSetWindowIcon(win, 2, images);
}
