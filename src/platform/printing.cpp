#include "platform/printing.h"

#include "platform/bounded_wait.h"
#include "platform/runtime_error.h"

#include <QPainter>
#include <QPrinter>
#include <QPrinterInfo>
#include <atomic>
#include <cups/cups.h>
#include <memory>

namespace kv {

namespace {
QString& printFile() {
    static QString path;
    return path;
}
} // namespace

void setPrintToFile(const QString& pdfPath) {
    printFile() = pdfPath;
}

namespace {
// The reason a queue gives for refusing jobs (what cupsreject -r says), where it has one:
// a queue refused without one says only CUPS's own "Rejecting Jobs".
QString queueReason(const QString& queue) {
    char uri[HTTP_MAX_URI];
    httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", 0, "/printers/%s",
                     queue.toUtf8().constData());
    ipp_t* request = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr,
                 "printer-state-message");
    ipp_t* response = cupsDoRequest(CUPS_HTTP_DEFAULT, request, "/");
    QString reason;
    if (ipp_attribute_t* a = ippFindAttribute(response, "printer-state-message", IPP_TAG_TEXT))
        reason = QString::fromUtf8(ippGetString(a, 0, nullptr)).trimmed();
    ippDelete(response);
    if (reason.startsWith(QLatin1String("Rejecting Jobs"), Qt::CaseInsensitive))
        return {};
    return reason;
}

// Prints on the print server's thread; `given up` once the program stopped waiting for
// it, so that a server that answers late prints nothing the user was told had failed.
void printOnServer(const QImage& image, const QString& jobName, const QString& pdf,
                   const std::atomic<bool>& givenUp) {
    std::unique_ptr<QPrinter> printer;
    if (pdf.isEmpty()) {
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
        printer->setOutputFileName(pdf);
    }
    printer->setColorMode(QPrinter::Color); // queues without a driver start in grey
    printer->setDocName(jobName);
    printer->setCreator(jobName);
    printer->setFullPage(false); // the origin is the printable area's top-left corner

    QPainter painter;
    if (givenUp || !painter.begin(printer.get()))
        throw RuntimeError(ErrorCode::PrinterError, printer->printerName());
    // The window's pixels reach the paper as they are: a lossy encoding would blur
    // line drawings.
    painter.setRenderHint(QPainter::LosslessImageRendering);
    // One screen pixel is 1/96 inch on paper too.
    const double scale = printer->resolution() / 96.0;
    painter.drawImage(QRectF(0, 0, image.width() * scale, image.height() * scale), image);
    if (givenUp) {
        printer->abort();
        return;
    }
    if (!painter.end())
        throw RuntimeError(ErrorCode::PrinterError, printer->printerName());
    if (printer->printerState() == QPrinter::Error)
        throw RuntimeError(ErrorCode::PrinterError, printer->printerName());
    // Qt hands the page to the print server as it ends, and looks at no answer: a queue
    // that refuses jobs, or a server that has gone, would pass for a printed page. The
    // print system's client keeps its last answer for the thread; 0x0400 and above are
    // failures, with the server's own words for the reason: the queue's own reason where
    // it gives one ("Sin papel"), else the server's.
    if (pdf.isEmpty() && cupsLastError() >= IPP_STATUS_ERROR_BAD_REQUEST) {
        const QString server = QString::fromUtf8(cupsLastErrorString());
        const QString queue = queueReason(printer->printerName());
        throw RuntimeError(ErrorCode::PrinterError, queue.isEmpty() ? server : queue);
    }
}
} // namespace

void printPage(const QImage& image, const QString& jobName) {
    // The print server may be on another machine, or stopped: the page is made and sent
    // as a step that the window does not freeze for.
    const auto givenUp = std::make_shared<std::atomic<bool>>(false);
    waitOn<bool>(
        QStringLiteral("print server"),
        RuntimeError(ErrorCode::PrinterError, QStringLiteral("El servidor de impresión no responde.")),
        [givenUp] { *givenUp = true; },
        [image, jobName, pdf = printFile(), givenUp] {
            printOnServer(image, jobName, pdf, *givenUp);
            return true;
        });
}

} // namespace kv
