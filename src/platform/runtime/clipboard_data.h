#pragma once
// What "Copia" puts on the system clipboard: the picture, offered in every image format
// Qt writes, with its PNG made once, on threads of its own, for every paste.
#include <QImage>
#include <QMimeData>
#include <memory>

namespace kv {

class PngEncoding;

// What "Copia" puts on the clipboard: the picture itself, from which Qt offers every
// image format it writes, and the same picture as PNG beside it, in the place Qt gives
// PNG among them, encoded once for every paste (Qt would encode it again at each one, on
// the event loop). Until the encoding is done, the PNG's place is held by an empty
// value; a paste that asks for it then waits for the rest of the encoding. Qt's own
// name for a picture, application/x-qt-image, is sent as the same PNG.
class PictureMimeData : public QMimeData {
public:
    explicit PictureMimeData(const QImage& image);
    ~PictureMimeData() override;

protected:
    QVariant retrieveData(const QString& format, QMetaType type) const override;

private:
    void takePng();

    std::unique_ptr<PngEncoding> encoding_;
};

} // namespace kv
