#include "platform/printing.h"

#include "platform/runtime_error.h"

#include <QPainter>
#include <QPrinter>
#include <QPrinterInfo>
#include <cups/cups.h>
#include <dlfcn.h>
#include <optional>

namespace kv {

namespace {
QString& printFile() {
    static QString path;
    return path;
}

// The print server's failure in its last answer to this thread, with the server's own
// words for the reason, or none. It comes from the print system's client as Qt's print
// support loaded it to send the page: the program does not link the client itself, for
// the client and the libraries it needs (some twenty) cost every start about 10 ms to
// load. No client loaded means nothing went to a print server.
std::optional<QString> lastServerFailure() {
    void* client = ::dlopen("libcups.so.2", RTLD_LAZY | RTLD_NOLOAD);
    if (!client)
        return std::nullopt;
    const auto status = reinterpret_cast<decltype(&cupsLastError)>(::dlsym(client, "cupsLastError"));
    const auto reason =
        reinterpret_cast<decltype(&cupsLastErrorString)>(::dlsym(client, "cupsLastErrorString"));
    std::optional<QString> failure;
    // 0x0400 and above are failures.
    if (status && reason && status() >= IPP_STATUS_ERROR_BAD_REQUEST)
        failure = QString::fromUtf8(reason());
    ::dlclose(client);
    return failure;
}
} // namespace

void setPrintToFile(const QString& pdfPath) {
    printFile() = pdfPath;
}

void printPage(const QImage& image, const QString& jobName) {
    std::unique_ptr<QPrinter> printer;
    if (printFile().isEmpty()) {
        // Qt falls back to writing a PDF when there is no printer at all; that would
        // report success for a page that went nowhere, so look first.
        const QPrinterInfo target = QPrinterInfo::defaultPrinter();
        if (QPrinterInfo::availablePrinterNames().isEmpty() || target.isNull() ||
            target.printerName().isEmpty())
            throw RuntimeError(ErrorCode::PrinterError,
                               QStringLiteral("No hay ninguna impresora predeterminada."));
        printer = std::make_unique<QPrinter>(target, QPrinter::HighResolution);
        if (printer->printerName().isEmpty())
            throw RuntimeError(ErrorCode::PrinterError,
                               QStringLiteral("No hay ninguna impresora predeterminada."));
    } else {
        printer = std::make_unique<QPrinter>(QPrinter::HighResolution);
        printer->setOutputFormat(QPrinter::PdfFormat);
        printer->setOutputFileName(printFile());
    }
    printer->setColorMode(QPrinter::Color); // queues without a driver start in grey
    printer->setDocName(jobName);
    printer->setCreator(jobName);
    printer->setFullPage(false); // the origin is the printable area's top-left corner

    QPainter painter;
    if (!painter.begin(printer.get()))
        throw RuntimeError(ErrorCode::PrinterError, printer->printerName());
    // The window's pixels reach the paper as they are: a lossy encoding would blur
    // line drawings.
    painter.setRenderHint(QPainter::LosslessImageRendering);
    // One screen pixel is 1/96 inch on paper too.
    const double scale = printer->resolution() / 96.0;
    painter.drawImage(QRectF(0, 0, image.width() * scale, image.height() * scale), image);
    if (!painter.end())
        throw RuntimeError(ErrorCode::PrinterError, printer->printerName());
    if (printer->printerState() == QPrinter::Error)
        throw RuntimeError(ErrorCode::PrinterError, printer->printerName());
    // Qt hands the page to the print server as it ends, and looks at no answer: a queue
    // that refuses jobs, or a server that has gone, would pass for a printed page. The
    // print system's client keeps its last answer for the thread.
    if (printFile().isEmpty())
        if (const std::optional<QString> failure = lastServerFailure())
            throw RuntimeError(ErrorCode::PrinterError, *failure);
}

} // namespace kv
