#pragma once
// The drive list behind its control: the mounted drives, the current one shown.
#include "platform/ui/design.h"

#include <QComboBox>
#include <QTimer>
#include <functional>

namespace kv {

class DriveListWidget : public QComboBox {
    Q_OBJECT
public:
    DriveListWidget(const ControlDesign& d, QWidget* parent);
    ~DriveListWidget() override;
    DriveListWidget(const DriveListWidget&) = delete;
    DriveListWidget& operator=(const DriveListWidget&) = delete;
    const QString& drive() const { return drive_; }
    // Makes current the drive that holds the path; emits changed() if that is another drive.
    void setDrive(const QString& path);
    // Makes current the drive that holds the path without raising Change.
    void restoreDrive(const QString& path);
    void showPopup() override;
    // After the drive `lost` went away: the program folder's drive becomes current, at
    // the program folder, and Change is raised.
    void moveToProgramDrive(const QString& lost);
    // Makes current the drive of the folder, at that folder, and raises Change.
    void moveTo(const QString& folder);
    std::function<void()> onChange;

protected:
    void keyPressEvent(QKeyEvent* e) override;

private:
    void refill();
    void followMounts();
    void mountsChanged();
    void userPicked(int index);
    QString drive_;
    int mounts_ = -1; // the mount table, open to hear of its changes
    QTimer* mountsTimer_ = nullptr;
};

} // namespace kv
