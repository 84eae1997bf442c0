#pragma once
#include <QImage>
#include <QString>

// Printing one page: the picture of a window, at the size it has on a 96-dpi screen,
// at the top left of the printable area, in colour, on the default printer.
namespace kv {

// Sends the image as one page and returns once the job is handed to the print
// system. No printer, no default printer or a failing job: the printer error.
void printPage(const QImage& image, const QString& jobName);

// Sends pages to a PDF file instead of the printer (for tests); empty restores the
// default printer.
void setPrintToFile(const QString& pdfPath);

} // namespace kv
