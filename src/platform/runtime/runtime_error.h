#pragma once
#include <QString>
#include <stdexcept>

// A failing operation on a window, a control or the global object raises a run-time
// error: a number and a Spanish description. The event dispatcher catches it at the
// boundary of the handler that was running and shows it to the user.
namespace kv {

enum class ErrorCode : int {
    InvalidArgument = 5,
    OutOfMemory = 7,
    FileNotFound = 53,
    DeviceUnavailable = 68,
    PermissionDenied = 70,
    DiskNotReady = 71,
    PathFileAccess = 75,
    PathNotFound = 76,
    InvalidPropertyValue = 380,
    InvalidPicture = 481,
    PrinterError = 482,
};

// The Spanish description the user reads for each error number.
QString describe(ErrorCode code);

class RuntimeError : public std::runtime_error {
public:
    explicit RuntimeError(ErrorCode code, QString detail = {});
    ErrorCode code() const { return code_; }
    int number() const { return static_cast<int>(code_); }
    QString description() const { return describe(code_); }
    // What the failing operation was working on (a file name, a drive), may be empty.
    const QString& detail() const { return detail_; }
    // The text of the message box: number, description and, where known, what failed.
    QString message() const;

private:
    ErrorCode code_;
    QString detail_;
};

// Maps the error of a failed file-system call (errno) to the run-time error for it.
ErrorCode errorForErrno(int err);

} // namespace kv
