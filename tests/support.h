#pragma once
// What every widget test starts and ends with: a fresh program (an empty window
// registry, run-time errors collected instead of shown in a message box) and, after the
// test, nothing of it left behind.
#include "app/registry.h"
#include "picture/bmp_reader.h"
#include "platform/runtime/events.h"
#include "platform/runtime/runtime.h"
#include "platform/runtime/runtime_error.h"
#include "platform/world/filesystem.h"
#include "platform/world/printing.h"

#include <QApplication>
#include <QFile>
#include <QList>
#include <QTemporaryDir>
#include <filesystem>
#include <system_error>

struct FreshProgram {
    QList<int> reported;  // the numbers of the run-time errors the user would have seen
    QTemporaryDir folder; // the test's own files, gone with the test program

    // Qt cannot remove a file whose name is not valid text (the tests make some): the
    // folder is removed by its bytes first.
    ~FreshProgram() {
        std::error_code ignored;
        std::filesystem::remove_all(QFile::encodeName(folder.path()).toStdString(), ignored);
    }

    // Once per test program: the program's look, as at start-up.
    bool prepare() {
        kv::installLook(*qApp);
        return folder.isValid();
    }

    void start() {
        kv::registry::clear();
        reported.clear();
        kv::setErrorReporter([this](const kv::RuntimeError& e) { reported.append(e.number()); });
    }
    void finish() {
        kv::registry::clear();
        kv::setErrorReporter({});
        kv::setEventTrace({});
        kv::setDriveSource({});
        kv::setMountTable({});
        kv::setProgramFolder({});
        kv::setPrintToFile({});
        kv::setPictureMemoryLimit(0);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
};
