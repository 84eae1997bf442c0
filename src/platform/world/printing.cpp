#include "platform/world/printing.h"

#include "platform/runtime/runtime_error.h"
#include "platform/world/bounded_wait.h"

#include <QDir>
#include <QPainter>
#include <QPrinter>
#include <QPrinterInfo>
#include <QTemporaryFile>
#include <algorithm>
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
    X(cupsUser)                                                                                              \
    X(httpConnect2)                                                                                          \
    X(httpClose)                                                                                             \
    X(httpAssembleURIf)                                                                                      \
    X(cupsCreateJob)                                                                                         \
    X(cupsStartDocument)                                                                                     \
    X(cupsWriteRequestData)                                                                                  \
    X(cupsFinishDocument)                                                                                    \
    X(cupsCancelJob2)                                                                                        \
    X(cupsDoRequest)                                                                                         \
    X(cupsLastError)                                                                                         \
    X(cupsLastErrorString)                                                                                   \
    X(ippNewRequest)                                                                                         \
    X(ippAddString)                                                                                          \
    X(ippAddInteger)                                                                                         \
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

RuntimeError printerError(const QString& what) {
    return RuntimeError(ErrorCode::PrinterError, what);
}
RuntimeError noDefaultPrinter() {
    return printerError(QStringLiteral("No hay ninguna impresora predeterminada."));
}

// The address of a queue on the print server the client talks to.
QByteArray queueUri(const Client& cups, const QByteArray& queue) {
    char uri[HTTP_MAX_URI];
    cups.httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", 0,
                          "/printers/%s", queue.constData());
    return uri;
}

// The reason a queue gives for refusing jobs (what cupsreject -r says), where it has one:
// a queue refused without one says only CUPS's own "Rejecting Jobs".
QString queueReason(const Client& cups, const QByteArray& queue) {
    ipp_t* request = cups.ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
    cups.ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                      queueUri(cups, queue).constData());
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

// The print server's failure in its last answer to this thread, as the printer error: the
// queue's own reason where it gives one ("Sin papel"), else the server's own words.
RuntimeError serverFailure(const Client& cups, const QByteArray& queue) {
    const QString server = QString::fromUtf8(cups.cupsLastErrorString());
    const QString reason = queueReason(cups, queue);
    return printerError(reason.isEmpty() ? server : reason);
}

// 0x0400 and above are failures.
bool failed(ipp_status_t status) {
    return status >= IPP_STATUS_ERROR_BAD_REQUEST;
}

// Where a page's job stands between the print server's thread and the window that waits
// for it: waited for until either the server has accepted all of it or the window has
// stopped waiting (the user was told the server does not answer), whichever comes first.
enum class Wait { Waiting, Accepted, GivenUp };

bool givenUp(const std::atomic<Wait>& wait) {
    return wait.load() == Wait::GivenUp;
}

// The options Qt's own print engine gives a job of one copy, so that the page comes out
// as it did when Qt sent it.
struct JobOptions {
    QByteArray media;
    const char* sides;
    bool landscape;
};

JobOptions optionsOf(const QPrinter& printer) {
    const QPageLayout layout = printer.pageLayout();
    const bool landscape = layout.orientation() == QPageLayout::Landscape;
    const char* sides = "one-sided";
    switch (printer.duplex()) {
    case QPrinter::DuplexNone:
        break;
    case QPrinter::DuplexAuto:
        sides = landscape ? "two-sided-short-edge" : "two-sided-long-edge";
        break;
    case QPrinter::DuplexLongSide:
        sides = "two-sided-long-edge";
        break;
    case QPrinter::DuplexShortSide:
        sides = "two-sided-short-edge";
        break;
    }
    return {layout.pageSize().key().toUtf8(), sides, landscape};
}

// Asks the server to print a job it holds.
bool releaseJob(const Client& cups, http_t* http, const QByteArray& queue, int id) {
    ipp_t* request = cups.ippNewRequest(IPP_OP_RELEASE_JOB);
    cups.ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                      queueUri(cups, queue).constData());
    cups.ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", id);
    cups.ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                      cups.cupsUser());
    cups.ippDelete(cups.cupsDoRequest(http, request, "/jobs/"));
    return !failed(cups.cupsLastError());
}

// Sends the document to the queue as one job, and knows it by the number the server gives
// it. The server holds the job until all of it has arrived and the window still waits:
// only then is it released to print. Once the window has stopped waiting, a job that the
// server created is cancelled at whatever step it has reached and nothing more is sent
// for it, so that no page comes out that the user was told had failed; a job that the
// server accepted in time is never cancelled. (The server releases a job before it
// answers: only when that last answer comes late can a page be under way already when
// the job is cancelled.)
void sendJob(const Client& cups, http_t* http, const QByteArray& queue, const QByteArray& title,
             const JobOptions& options, const QByteArray& document, std::atomic<Wait>& wait) {
    cups_option_t given[] = {{const_cast<char*>("media"), const_cast<char*>(options.media.constData())},
                             {const_cast<char*>("sides"), const_cast<char*>(options.sides)},
                             {const_cast<char*>("job-hold-until"), const_cast<char*>("indefinite")},
                             {const_cast<char*>("landscape"), const_cast<char*>("")}};
    const int count = options.landscape ? 4 : 3;
    const int id = cups.cupsCreateJob(http, queue.constData(), title.constData(), count, given);
    if (id == 0)
        throw serverFailure(cups, queue);
    const auto cancel = [&] { cups.cupsCancelJob2(http, queue.constData(), id, 0); };
    if (givenUp(wait)) {
        cancel();
        return;
    }
    // (The server recognises the document as the PDF it is, as it does for Qt's jobs.)
    http_status_t status =
        cups.cupsStartDocument(http, queue.constData(), id, title.constData(), CUPS_FORMAT_AUTO, 1);
    constexpr qsizetype kPiece = 32 * 1024;
    for (qsizetype at = 0; status == HTTP_STATUS_CONTINUE && at < document.size() && !givenUp(wait);
         at += kPiece)
        status = cups.cupsWriteRequestData(http, document.constData() + at,
                                           static_cast<size_t>(std::min(kPiece, document.size() - at)));
    const ipp_status_t finished = cups.cupsFinishDocument(http, queue.constData());
    if (givenUp(wait)) {
        cancel();
        return;
    }
    if (status != HTTP_STATUS_CONTINUE || failed(finished) || !releaseJob(cups, http, queue, id)) {
        const RuntimeError failure = serverFailure(cups, queue);
        cancel();
        throw failure;
    }
    // The server has accepted it; printed unless the window stopped waiting meanwhile.
    Wait waiting = Wait::Waiting;
    if (!wait.compare_exchange_strong(waiting, Wait::Accepted))
        cancel();
}

// Paints the image on the printer; false when the window stopped waiting meanwhile.
bool paint(QPrinter& printer, const QImage& image, const std::atomic<Wait>& wait) {
    printer.setColorMode(QPrinter::Color); // queues without a driver start in grey
    printer.setFullPage(false);            // the origin is the printable area's top-left corner
    QPainter painter;
    if (givenUp(wait) || !painter.begin(&printer))
        throw printerError(printer.printerName());
    // The window's pixels reach the paper as they are: a lossy encoding would blur
    // line drawings.
    painter.setRenderHint(QPainter::LosslessImageRendering);
    // One screen pixel is 1/96 inch on paper too.
    const double scale = printer.resolution() / 96.0;
    painter.drawImage(QRectF(0, 0, image.width() * scale, image.height() * scale), image);
    if (givenUp(wait)) {
        printer.abort();
        return false;
    }
    if (!painter.end() || printer.printerState() == QPrinter::Error)
        throw printerError(printer.printerName());
    return true;
}

// Prints on the print server's thread.
void printOnServer(const QImage& image, const QString& jobName, const QString& pdf, std::atomic<Wait>& wait) {
    if (!pdf.isEmpty()) {
        QPrinter printer(QPrinter::HighResolution);
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(pdf);
        printer.setDocName(jobName);
        printer.setCreator(jobName);
        paint(printer, image, wait);
        return;
    }
    const Client* cups = client();
    if (!cups)
        throw noDefaultPrinter();
    // A server that is not running is told as such, not as a server without printers
    // (which is all that Qt's list of printers would say).
    const std::unique_ptr<http_t, decltype(cups->httpClose)> http(
        cups->httpConnect2(cups->cupsServer(), cups->ippPort(), nullptr, AF_UNSPEC, cups->cupsEncryption(), 1,
                           30000, nullptr),
        cups->httpClose);
    if (!http)
        throw printerError(QStringLiteral("El servidor de impresión no está en marcha."));
    // Qt falls back to writing a PDF when there is no printer at all; that would report
    // success for a page that went nowhere, so look first.
    const QPrinterInfo target = QPrinterInfo::defaultPrinter();
    if (QPrinterInfo::availablePrinterNames().isEmpty() || target.isNull() || target.printerName().isEmpty())
        throw noDefaultPrinter();
    QPrinter printer(target, QPrinter::HighResolution);
    if (printer.printerName().isEmpty())
        throw noDefaultPrinter();
    // Qt's print engine for the queue makes the page, as for the queue and with its page
    // layout, but into a file: it would send the job itself, and keep the job's number to
    // itself, and a job that the program does not know cannot be cancelled. (A file name
    // without ".pdf" keeps the queue's own engine.)
    QTemporaryFile file(QDir::tempPath() + QStringLiteral("/kelvaria-XXXXXX"));
    if (!file.open())
        throw printerError(printer.printerName());
    printer.setOutputFileName(file.fileName());
    printer.setDocName(jobName);
    printer.setCreator(jobName);
    if (!paint(printer, image, wait))
        return;
    const QByteArray document = file.readAll();
    if (document.isEmpty())
        throw printerError(printer.printerName());
    // A queue's name may carry an instance of the user's settings after a slash: the
    // server knows the queue by the part before it.
    const QByteArray queue = printer.printerName().section(QLatin1Char('/'), 0, 0).toUtf8();
    sendJob(*cups, http.get(), queue, jobName.toUtf8(), optionsOf(printer), document, wait);
}
} // namespace

void printPage(const QImage& image, const QString& jobName) {
    // The print server may be on another machine, or stopped: the page is made and sent
    // as a step that the window does not freeze for.
    const auto wait = std::make_shared<std::atomic<Wait>>(Wait::Waiting);
    try {
        waitOn<bool>(
            QStringLiteral("print server"),
            printerError(QStringLiteral("El servidor de impresión no responde.")),
            [wait] {
                Wait waiting = Wait::Waiting;
                wait->compare_exchange_strong(waiting, Wait::GivenUp);
            },
            [image, jobName, pdf = printFile(), wait] {
                printOnServer(image, jobName, pdf, *wait);
                return true;
            });
    } catch (const RuntimeError&) {
        // The server accepted the job just as the limit passed, before the window gave up
        // on it: the page is printed, and nothing failed.
        if (wait->load() == Wait::Accepted)
            return;
        throw;
    }
}

} // namespace kv
