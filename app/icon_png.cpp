// Build tool: writes the program's icon as a PNG of the given size, for the
// desktop's icon theme. Drawn at four times the size and averaged down, so
// the large sizes have smooth edges.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <stb_image_write.h>

#include "app/window_icon.h"

int main(int argc, char** argv) {
    int size = argc == 3 ? std::atoi(argv[1]) : 0;
    if (size < 8 || size > 1024) {
        std::fprintf(stderr, "usage: korvane-icon-png SIZE OUT.png (SIZE 8 to 1024)\n");
        return 2;
    }
    const int k = 4, big = size * k;
    std::vector<unsigned char> hi((size_t)big * big * 4), out((size_t)size * size * 4);
    app_icon_pixels(hi.data(), big);
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x) {
            // Colour weighted by coverage, so that the edge does not darken.
            unsigned sum[4] = {};
            for (int j = 0; j < k; ++j)
                for (int i = 0; i < k; ++i) {
                    const unsigned char* p = &hi[(((size_t)y * k + j) * big + (size_t)x * k + i) * 4];
                    for (int c = 0; c < 3; ++c) sum[c] += p[c] * p[3];
                    sum[3] += p[3];
                }
            unsigned char* q = &out[((size_t)y * size + x) * 4];
            for (int c = 0; c < 3; ++c) q[c] = (unsigned char)(sum[3] ? (sum[c] + sum[3] / 2) / sum[3] : 0);
            q[3] = (unsigned char)((sum[3] + k * k / 2) / (k * k));
        }
    if (!stbi_write_png(argv[2], size, size, 4, out.data(), size * 4)) {
        std::fprintf(stderr, "korvane-icon-png: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
