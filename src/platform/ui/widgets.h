#pragma once
// The Qt widgets behind windows and controls. Only the platform layer includes this.
#include "picture/picture.h"
#include "platform/ui/design.h"

#include <QAbstractButton>
#include <QLabel>
#include <QPushButton>
#include <QWidget>
#include <functional>
#include <optional>

namespace kv {

class Form;

// Draws the platform's sunken 3-D edge, two pixels wide, just inside `outer`.
void drawSunkenEdge(QPainter& p, const QRect& outer);
// Draws a raised 3-D edge, two pixels wide, just inside `outer`.
void drawRaisedEdge(QPainter& p, const QRect& outer);

// The top-level window: background colour, and the window picture drawn at its own
// size from the client area's top-left corner.
class FormWindow : public QWidget {
    Q_OBJECT
public:
    FormWindow(Form* form, const FormDesign& design);
    const FormDesign& design() const { return design_; }
    void setPicture(Picture picture);
    const Picture& picture() const { return picture_; }

protected:
    void paintEvent(QPaintEvent*) override;
    void closeEvent(QCloseEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    void dragEnterEvent(QDragEnterEvent* e) override;
    void dragMoveEvent(QDragMoveEvent* e) override;
    void dragLeaveEvent(QDragLeaveEvent* e) override;
    void dropEvent(QDropEvent* e) override;

private:
    Form* form_;
    const FormDesign& design_;
    Picture picture_;
    std::optional<QByteArray> dropping_; // what the drag over the window would open
};

// A text control without a window of its own: opaque background, text left-aligned and
// wrapped at the label's width, an optional sunken edge. It paints itself; being a
// QLabel, its text is what screen readers read, and the control it names (its buddy)
// takes that text as its name.
class LabelWidget : public QLabel {
    Q_OBJECT
public:
    LabelWidget(const ControlDesign& d, QWidget* parent);
    const QString& caption() const { return caption_; }
    // The caption, and the bytes of the file it names when it names one.
    void setCaption(const QString& text, const QByteArray& file = {});
    const QByteArray& file() const { return file_; }
    bool hasBorder() const { return border_; }
    // Whether the whole text fits the label, wrapped at its width.
    bool fits() const;
    static constexpr int kTextFlags = Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap;

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QRect textRect() const;
    QString caption_;
    QByteArray file_;
    bool border_;
};

// A picture at its natural size, with an optional sunken edge around it.
class ImageWidget : public QWidget {
    Q_OBJECT
public:
    ImageWidget(const ControlDesign& d, QWidget* parent);
    const Picture& picture() const { return picture_; }
    bool hasBorder() const { return border_; }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    Picture picture_;
    bool border_;
};

// A picture box: sunken edge, background colour, and its picture drawn from the inner
// top-left corner at its own size, clipped at the inner edges, never scaled.
class PictureBoxWidget : public QWidget {
    Q_OBJECT
public:
    PictureBoxWidget(const ControlDesign& d, QWidget* parent);
    const Picture& picture() const { return picture_; }
    void setPicture(Picture picture);
    static constexpr int kEdge = 2;
    // A double-click on the box, or Return, Enter or Space while it has the focus.
    std::function<void()> onOpen;

signals:
    void pictureChanged();

protected:
    void paintEvent(QPaintEvent*) override;
    void mouseDoubleClickEvent(QMouseEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;

private:
    // Gives the picture to a drag out of the program: its image, as the clipboard has
    // it after "Copia", and its file.
    void dragPicture();
    Picture picture_;
    QImage shown_; // the visible part, ready for the screen
    std::optional<QPointF> pressedAt_;
};

// The 3-D push button that shows an icon and no text: a raised face, the icon's first
// image centred on it (transparent pixels show the face), a pressed look and a dotted
// focus mark. Space and Enter click it.
class PictureButtonWidget : public QAbstractButton {
    Q_OBJECT
public:
    PictureButtonWidget(const ControlDesign& d, QWidget* parent);
    const Picture& picture() const { return picture_; }
    // Settings the button keeps but does not draw while its caption is empty.
    QColor foreColor() const { return foreColor_; }
    // The button's extent in HIMETRIC, width and height.
    QSize extent() const { return extent_; }
    QSize sizeHint() const override { return size(); }

protected:
    void paintEvent(QPaintEvent*) override;
    void keyPressEvent(QKeyEvent* e) override;

private:
    Picture picture_;
    QColor foreColor_;
    QSize extent_;
};

// A plain push button with a caption. Space and Enter click it when it has the focus;
// it is never a window's default button.
class CommandButtonWidget : public QPushButton {
    Q_OBJECT
public:
    CommandButtonWidget(const ControlDesign& d, QWidget* parent);

protected:
    void keyPressEvent(QKeyEvent* e) override;
};

// Builds the widget of one control of a design, in pixels.
QWidget* createControlWidget(const ControlDesign& d, QWidget* parent);

// Whether a control of this kind has a window of its own (lies above labels and images
// and can take the focus).
bool isWindowed(ControlKind kind);

} // namespace kv
