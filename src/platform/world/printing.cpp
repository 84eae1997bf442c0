#include "platform/world/printing.h"

#include "platform/runtime/runtime_error.h"
#include "platform/world/bounded_wait.h"

#include <QPainter>
#include <QPrinter>
#include <QPrinterInfo>
#include <atomic>
#include <cups/cups.h>
#include <dlfcn.h>
#include <memory>
#include <optional>

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
// The print system's client as Qt's print support loaded it to send the page: the
// program does not link the client itself, for the client and the libraries it needs
// (some twenty) cost every start about 10 ms to load. No client loaded means nothing
// went to a print server.
class LoadedClient {
public:
    LoadedClient() : handle_(::dlopen("libcups.so.2", RTLD_LAZY | RTLD_NOLOAD)) {}
    ~LoadedClient() {
        if (handle_)
            ::dlclose(handle_);
    }
    LoadedClient(const LoadedClient&) = delete;
    LoadedClient& operator=(const LoadedClient&) = delete;
    template <class F> F* get(const char* name) const {
        return handle_ ? reinterpret_cast<F*>(::dlsym(handle_, name)) : nullptr;
    }

private:
    void* handle_;
};
// (Only the function's type is taken from the client's header: nothing is linked.)
#define KV_CUPS(client, function) (client).get<decltype(function)>(#function)

// The reason a queue gives for refusing jobs (what cupsreject -r says), where it has one:
// a queue refused without one says only CUPS's own "Rejecting Jobs".
QString queueReason(const LoadedClient& client, const QString& queue) {
    const auto assemble = KV_CUPS(client, httpAssembleURIf);
    const auto newRequest = KV_CUPS(client, ippNewRequest);
    const auto addString = KV_CUPS(client, ippAddString);
    const auto doRequest = KV_CUPS(client, cupsDoRequest);
    const auto find = KV_CUPS(client, ippFindAttribute);
    const auto getString = KV_CUPS(client, ippGetString);
    const auto release = KV_CUPS(client, ippDelete);
    if (!assemble || !newRequest || !addString || !doRequest || !find || !getString || !release)
        return {};
    char uri[HTTP_MAX_URI];
    assemble(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", 0, "/printers/%s",
             queue.toUtf8().constData());
    ipp_t* request = newRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
    addString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri);
    addString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr,
              "printer-state-message");
    ipp_t* response = doRequest(CUPS_HTTP_DEFAULT, request, "/");
    QString reason;
    if (ipp_attribute_t* a = find(response, "printer-state-message", IPP_TAG_TEXT))
        reason = QString::fromUtf8(getString(a, 0, nullptr)).trimmed();
    release(response);
    if (reason.startsWith(QLatin1String("Rejecting Jobs"), Qt::CaseInsensitive))
        return {};
    return reason;
}

// The print server's failure in its last answer to this thread, or none: the queue's
// own reason where it gives one ("Sin papel"), else the server's own words.
std::optional<QString> lastServerFailure(const QString& queue) {
    const LoadedClient client;
    const auto status = KV_CUPS(client, cupsLastError);
    const auto words = KV_CUPS(client, cupsLastErrorString);
    // 0x0400 and above are failures.
    if (!status || !words || status() < IPP_STATUS_ERROR_BAD_REQUEST)
        return std::nullopt;
    const QString server = QString::fromUtf8(words());
    const QString reason = queueReason(client, queue);
    return reason.isEmpty() ? server : reason;
}
#undef KV_CUPS

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
    // print system's client keeps its last answer for the thread.
    if (pdf.isEmpty())
        if (const std::optional<QString> failure = lastServerFailure(printer->printerName()))
            throw RuntimeError(ErrorCode::PrinterError, *failure);
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
