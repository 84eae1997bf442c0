// kelvar500-thumbnailer -s SIZE INPUT OUTPUT: the thumbnail of a bitmap file for a
// desktop's file manager (a freedesktop thumbnailer), as a PNG whose longer side is SIZE.
// INPUT is a path or a file:// URI. It needs no display and no session: it reads the
// figure and writes the PNG, nothing else. Status 0 when the PNG is written; otherwise
// 1 (2 for a wrong command line), with the reason on standard error and no output file.
#include "picture/bmp_reader.h"
#include "platform/world/file_uri.h"
#include "thumbnailer/thumbnail.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The file INPUT names: a path, or a local file:// URI; empty for any other URI.
QByteArray inputPath(const QByteArray& input) {
    if (input.left(5).toLower() == "file:")
        return kv::localPathOfUri(input).value_or(QByteArray());
    return input.contains("://") ? QByteArray() : input;
}

} // namespace

int main(int argc, char** argv) {
    char* end = nullptr;
    const long size = argc == 5 && std::strcmp(argv[1], "-s") == 0 ? std::strtol(argv[2], &end, 10) : 0;
    if (!end || *end || size < 1 || size > kv::kThumbnailMostPixels) {
        std::fprintf(stderr,
                     "Uso: kelvar500-thumbnailer -s TAMAÑO ENTRADA SALIDA\n"
                     "Escribe en SALIDA (PNG) la miniatura de la figura ENTRADA (ruta o URI file://),\n"
                     "su lado mayor de TAMAÑO píxeles (1 a %d).\n",
                     kv::kThumbnailMostPixels);
        return 2;
    }
    const QByteArray input = inputPath(argv[3]);
    QByteArray error = "no es un archivo local";
    // A decoded figure never takes more than the thumbnail's share of memory.
    kv::setPictureMemoryLimit(kv::kThumbnailPictureBytes);
    if (!input.isEmpty() && kv::writeThumbnail(input, argv[4], static_cast<int>(size), error))
        return 0;
    std::fprintf(stderr, "kelvar500-thumbnailer: %s: %s\n", argv[3], error.constData());
    return 1;
}
