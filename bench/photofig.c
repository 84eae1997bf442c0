/* Writes a photograph-like 24-bit BMP: smooth light and colour that change across the
 * picture, and the fine grain of a camera's sensor. It compresses as photographs do
 * (about two thirds of its size as PNG), unlike a flat colour or pure noise. With a
 * colour, its top 256 rows (the corner a picture box shows) are of that one colour: a
 * mark that tells figures apart on screen.
 * With --sparse it writes the header, the top 256 rows and a band of 16 rows every 4,096
 * in the colour, and leaves the rest a hole (black, taking no disk): a figure of any size
 * in a moment, for the figure window's benchmarks.
 * Usage: photofig FILE WIDTH HEIGHT [SEED [RRGGBB]]
 *        photofig --sparse FILE WIDTH HEIGHT RRGGBB */
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static void le32(unsigned char* p, uint32_t v) {
    p[0] = (unsigned char)v;
    p[1] = (unsigned char)(v >> 8);
    p[2] = (unsigned char)(v >> 16);
    p[3] = (unsigned char)(v >> 24);
}

static int clamp(int v) {
    return v < 0 ? 0 : v > 255 ? 255 : v;
}

/* The row of one colour, `rgb` as RRGGBB. */
static void fill(unsigned char* row, long w, unsigned long rgb) {
    for (long x = 0; x < w; ++x) {
        row[x * 3] = (unsigned char)rgb;
        row[x * 3 + 1] = (unsigned char)(rgb >> 8);
        row[x * 3 + 2] = (unsigned char)(rgb >> 16);
    }
}

int main(int argc, char** argv) {
    const int sparse = argc > 1 && strcmp(argv[1], "--sparse") == 0;
    argv += sparse;
    argc -= sparse;
    if (argc < 4 || (sparse && argc < 5)) {
        fprintf(stderr, "usage: photofig FILE WIDTH HEIGHT [SEED [RRGGBB]]\n"
                        "       photofig --sparse FILE WIDTH HEIGHT RRGGBB\n");
        return 2;
    }
    const long w = atol(argv[2]), h = atol(argv[3]);
    uint32_t seed = argc > 4 && !sparse ? (uint32_t)atol(argv[4]) : 2463534242u;
    const char* mark = sparse ? argv[4] : argc > 5 ? argv[5] : NULL;
    const unsigned long rgb = mark ? strtoul(mark, NULL, 16) : 0;
    if (w <= 0 || h <= 0 || w > 65535 || h > 65535)
        return 2;
    FILE* out = fopen(argv[1], "wb");
    if (!out)
        return 1;
    const uint64_t stride = ((uint64_t)w * 3 + 3) / 4 * 4;
    const uint64_t pixels = stride * (uint64_t)h;
    unsigned char header[54] = {'B', 'M'};
    le32(header + 2, (uint32_t)(54 + pixels));
    le32(header + 10, 54);
    le32(header + 14, 40);
    le32(header + 18, (uint32_t)w);
    le32(header + 22, (uint32_t)h);
    header[26] = 1;
    header[28] = 24;
    le32(header + 34, (uint32_t)pixels);
    le32(header + 38, 2835);
    le32(header + 42, 2835);
    fwrite(header, 1, sizeof header, out);
    if (sparse) {
        /* Rows lie bottom up: picture row y is file row h - 1 - y. */
        unsigned char* line = calloc(1, stride);
        if (!line || fflush(out) != 0 || ftruncate(fileno(out), (off_t)(54 + pixels)) != 0)
            return 1;
        fill(line, w, rgb);
        for (long y = 0; y < h; ++y) {
            if (y >= 256 && (y < 4096 || y % 4096 >= 16))
                continue;
            if (fseeko(out, (off_t)(54 + stride * (uint64_t)(h - 1 - y)), SEEK_SET) != 0 ||
                fwrite(line, 1, stride, out) != stride)
                return 1;
        }
        return fclose(out) == 0 ? 0 : 1;
    }
    /* The smooth part is a sum of a term across and a term down, per channel. */
    int* across = malloc(sizeof(int) * 3 * (size_t)w);
    unsigned char* row = calloc(1, stride);
    if (!across || !row)
        return 1;
    for (long x = 0; x < w; ++x)
        for (int c = 0; c < 3; ++c)
            across[x * 3 + c] =
                (int)(50 * sin((double)x * (0.004 + 0.002 * c) + c) + 18 * sin((double)x * 0.031 + 2.0 * c));
    for (long y = 0; y < h; ++y) {
        int down[3];
        for (int c = 0; c < 3; ++c)
            down[c] = 120 + (int)(45 * sin((double)y * (0.003 + 0.0015 * c) + 1.5 * c) +
                                  14 * sin((double)y * 0.023));
        if (mark && y >= h - 256) { /* the top rows */
            fill(row, w, rgb);
            if (fwrite(row, 1, stride, out) != stride)
                return 1;
            continue;
        }
        for (long x = 0; x < w; ++x) {
            seed ^= seed << 13;
            seed ^= seed >> 17;
            seed ^= seed << 5;
            for (int c = 0; c < 3; ++c) {
                const int grain = (int)((seed >> (c * 5)) & 15) - 8;
                row[x * 3 + (2 - c)] = (unsigned char)clamp(down[c] + across[x * 3 + c] + grain);
            }
        }
        if (fwrite(row, 1, stride, out) != stride)
            return 1;
    }
    return fclose(out) == 0 ? 0 : 1;
}
