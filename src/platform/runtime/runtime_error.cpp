#include "platform/runtime/runtime_error.h"

#include <cerrno>

namespace kv {

QString describe(ErrorCode code) {
    switch (code) {
    case ErrorCode::InvalidArgument:
        return QStringLiteral("Argumento o llamada a procedimiento no válidos");
    case ErrorCode::OutOfMemory:
        return QStringLiteral("Memoria insuficiente");
    case ErrorCode::FileNotFound:
        return QStringLiteral("No se ha encontrado el archivo");
    case ErrorCode::DeviceUnavailable:
        return QStringLiteral("Dispositivo no disponible");
    case ErrorCode::PermissionDenied:
        return QStringLiteral("Permiso denegado");
    case ErrorCode::DiskNotReady:
        return QStringLiteral("El disco no está preparado");
    case ErrorCode::PathFileAccess:
        return QStringLiteral("Error de acceso a la ruta o al archivo");
    case ErrorCode::PathNotFound:
        return QStringLiteral("No se ha encontrado la ruta de acceso");
    case ErrorCode::InvalidPropertyValue:
        return QStringLiteral("Valor de propiedad no válido");
    case ErrorCode::InvalidPicture:
        return QStringLiteral("Imagen no válida");
    case ErrorCode::PrinterError:
        return QStringLiteral("Error de impresora");
    }
    return QStringLiteral("Error definido por la aplicación");
}

RuntimeError::RuntimeError(ErrorCode code, QString detail)
    : std::runtime_error(describe(code).toStdString()), code_(code), detail_(std::move(detail)) {}

QString RuntimeError::message() const {
    QString text =
        QStringLiteral("Error '%1' en tiempo de ejecución:\n\n%2").arg(number()).arg(description());
    if (!detail_.isEmpty())
        text += QStringLiteral("\n\n%1").arg(detail_);
    return text;
}

ErrorCode errorForErrno(int err) {
    switch (err) {
    case ENOENT:
        return ErrorCode::PathNotFound;
    case EACCES:
    case EPERM:
        return ErrorCode::PermissionDenied;
    case ENOMEM:
        return ErrorCode::OutOfMemory;
    case ENXIO:
    case ENODEV:
    case ENOMEDIUM:
        return ErrorCode::DiskNotReady;
    case EIO:
    case ETIMEDOUT:
    case EHOSTDOWN:
    case EHOSTUNREACH:
    case ESTALE:
        return ErrorCode::DeviceUnavailable;
    default:
        return ErrorCode::PathFileAccess;
    }
}

} // namespace kv
