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
// The print system's client, loaded when the first page is printed: the program does not
// link it, for the client and the libraries it needs (some twenty) would cost every start
// about 10 ms to load. (Only the functions' types come from the client's header.)
#define KV_CUPS_FUNCTIONS(X)                                                                                 \
    X(cupsServer)                                                                                            \
    X(ippPort)                                                                                               \
    X(cupsEncryption)                                                                                        \
    X(httpConnect2)                                                                                          \
    X(httpClose)                                                                                             \
    X(httpAssembleURIf)                                                                                      \
    X(cupsDoRequest)                                                                                         \
    X(cupsLastError)                                                                                         \
    X(cupsLastErrorString)                                                                                   \
    X(ippNewRequest)                                                                                         \
    X(ippAddString)                                                                                          \
    X(ippFindAttribute)                                                                                      \
    X(ippGetString)                                                                                          \
    X(ippDelete)

struct Client {
#define KV_MEMBER(function) decltype(&::function) function = nullptr;
    KV_CUPS_FUNCTIONS(KV_MEMBER)
#undef KV_MEMBER
};

// The client, or none when it is not installed (then Qt finds no printer either).
const Client* client() {
    static const std::optional<Client> loaded = []() -> std::optional<Client> {
        void* handle = ::dlopen("libcups.so.2", RTLD_LAZY | RTLD_LOCAL);
        if (!handle)
            return std::nullopt;
        Client c;
        bool complete = true;
#define KV_TAKE(function)                                                                                    \
    c.function = reinterpret_cast<decltype(c.function)>(::dlsym(handle, #function));                         \
    complete = complete && c.function;
        KV_CUPS_FUNCTIONS(KV_TAKE)
#undef KV_TAKE
        return complete ? std::optional<Client>(c) : std::nullopt; // (the library stays loaded)
    }();
    return loaded ? &*loaded : nullptr;
}
#undef KV_CUPS_FUNCTIONS

// The reason a queue gives for refusing jobs (what cupsreject -r says), where it has one:
// a queue refused without one says only CUPS's own "Rejecting Jobs".
QString queueReason(const Client& cups, const QString& queue) {
    char uri[HTTP_MAX_URI];
    cups.httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", 0,
                          "/printers/%s", queue.toUtf8().constData());
    ipp_t* request = cups.ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
    cups.ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri);
    cups.ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr,
                      "printer-state-message");
    ipp_t* response = cups.cupsDoRequest(CUPS_HTTP_DEFAULT, request, "/");
    QString reason;
    if (ipp_attribute_t* a = cups.ippFindAttribute(response, "printer-state-message", IPP_TAG_TEXT))
        reason = QString::fromUtf8(cups.ippGetString(a, 0, nullptr)).trimmed();
    cups.ippDelete(response);
    if (reason.startsWith(QLatin1String("Rejecting Jobs"), Qt::CaseInsensitive))
        return {};
    return reason;
}

// The print server's failure in its last answer to this thread, or none: the queue's
// own reason where it gives one ("Sin papel"), else the server's own words.
std::optional<QString> lastServerFailure(const Client& cups, const QString& queue) {
    // 0x0400 and above are failures.
    if (cups.cupsLastError() < IPP_STATUS_ERROR_BAD_REQUEST)
        return std::nullopt;
    const QString server = QString::fromUtf8(cups.cupsLastErrorString());
    const QString reason = queueReason(cups, queue);
    return reason.isEmpty() ? server : reason;
}

// Prints on the print server's thread; `given up` once the program stopped waiting for
// it, so that a server that answers late prints nothing the user was told had failed.
void printOnServer(const QImage& image, const QString& jobName, const QString& pdf,
                   const std::atomic<bool>& givenUp) {
    std::unique_ptr<QPrinter> printer;
    const Client* cups = client();
    if (pdf.isEmpty()) {
        if (!cups)
            throw RuntimeError(ErrorCode::PrinterError,
                               QStringLiteral("No hay ninguna impresora predeterminada."));
        // A server that is not running is told as such, not as a server without printers
        // (which is all that Qt's list of printers would say).
        http_t* server = cups->httpConnect2(cups->cupsServer(), cups->ippPort(), nullptr, AF_UNSPEC,
                                            cups->cupsEncryption(), 1, 30000, nullptr);
        if (!server)
            throw RuntimeError(ErrorCode::PrinterError,
                               QStringLiteral("El servidor de impresión no está en marcha."));
        cups->httpClose(server);
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
        if (const std::optional<QString> failure = lastServerFailure(*cups, printer->printerName()))
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
