// The main window.
#include "Unit1.h"

#include <unistd.h>

#include <QActionGroup>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLayout>
#include <QLocale>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QPainter>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QStandardPaths>
#include <QStatusBar>
#include <QUrl>
#include <algorithm>
#include <cmath>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>

#include "Effector/Pixelate.h"
#include "Effector/StrokeBlend.h"
#include "FileFormat/ExifJpeg.h"
#include "FileFormat/FileTypes.h"
#include "FileFormat/Graphic.h"
#include "FileFormat/ProgressScope.h"
#include "app/ComLineEX.h"
#include "lang/LangApply.h"

namespace tilvo {

namespace fs = std::filesystem;

namespace {

QString Q(const std::string& s) {
    return QString::fromStdString(s);
}

// The wheel moves the picture this far per step.
constexpr int kWheelStep = 20;

// The brush cursor: a 32 × 32 two-colour brush whose tip, at the top-left corner, is the hot spot.
QCursor MakeBrushCursor() {
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing, false);
    // Handle: white with a black outline, from the ferrule to the bottom-right.
    p.setPen(QPen(Qt::black, 7, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(10, 10, 28, 28);
    p.setPen(QPen(Qt::white, 4, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(10, 10, 28, 28);
    // Bristles: black, ending in the tip at 0, 0.
    p.setPen(QPen(Qt::white, 1));
    p.setBrush(Qt::black);
    const QPoint tuft[] = {{0, 0}, {6, 2}, {11, 8}, {8, 11}, {2, 6}};
    p.drawPolygon(tuft, 5);
    p.end();
    return QCursor(pixmap, 0, 0);
}

// The open dialog's filter ("label|patterns|label|patterns|") in Qt's syntax: one
// "label (pattern pattern)" per pair, joined by ";;".
QString OpenDialogFilter(const std::string& filter) {
    QStringList parts = Q(filter).split(QLatin1Char('|'));
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        if (parts[i].isEmpty() && parts[i + 1].isEmpty()) continue;
        QString patterns = parts[i + 1];
        patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
        // A label that shows its patterns already ("JPEG (*.jpg;*.jpeg)") shows Qt's instead.
        QString label = parts[i];
        const qsizetype open = label.lastIndexOf(QStringLiteral(" ("));
        if (open > 0 && label.endsWith(QLatin1Char(')'))) label.truncate(open);
        filters << label + QStringLiteral(" (") + patterns.simplified() + QLatin1Char(')');
    }
    return filters.join(QStringLiteral(";;"));
}

// The local picture file a clipboard or drop URL list names, if it names exactly one whose
// extension has a registered picture class.
std::string SinglePictureFile(const QMimeData* mime) {
    if (!mime || !mime->hasUrls()) return {};
    const QList<QUrl> urls = mime->urls();
    if (urls.size() != 1 || !urls[0].isLocalFile()) return {};
    const std::string path = urls[0].toLocalFile().toStdString();
    if (PictureFormats().Find(fs::path(path).extension().string()) != nullptr) return path;
    // A file whose extension names no format is taken when it carries a format's signature, as
    // the open path then opens it by its content.
    try {
        const std::vector<uint8_t> head = ReadSignatureBytes(path);
        if (PictureFormats().FindBySignature(head.data(), head.size()) != nullptr) return path;
    } catch (const std::exception&) {
    }
    return {};
}

// A QImage (any format) as a 24-bit surface.
void ImageToBitmap(const QImage& image, TBitmap& bitmap) {
    const QImage bgr = image.convertToFormat(QImage::Format_BGR888);
    if (bgr.isNull()) throw Exception("the clipboard holds no usable picture");
    bitmap.Resize(bgr.width(), bgr.height(), pf24bit);
    const size_t rowBytes = size_t(bgr.width()) * 3;
    for (int y = 0; y < bgr.height(); ++y)
        std::memcpy(bitmap.ScanLine(y), bgr.constScanLine(y), rowBytes);
}

TRect Intersect(TRect a, const TRect& b) {
    a.Left = std::max(a.Left, b.Left);
    a.Top = std::max(a.Top, b.Top);
    a.Right = std::min(a.Right, b.Right);
    a.Bottom = std::min(a.Bottom, b.Bottom);
    return a;
}

TRect Union(const TRect& a, const TRect& b) {
    if (a.Width() <= 0 || a.Height() <= 0) return b;
    if (b.Width() <= 0 || b.Height() <= 0) return a;
    return {std::min(a.Left, b.Left), std::min(a.Top, b.Top), std::max(a.Right, b.Right),
            std::max(a.Bottom, b.Bottom)};
}

// Puts the default cursor back when a busy section ends, also when it ends by an exception.
class TBusyCursor {
  public:
    TBusyCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~TBusyCursor() { QApplication::restoreOverrideCursor(); }
    TBusyCursor(const TBusyCursor&) = delete;
    TBusyCursor& operator=(const TBusyCursor&) = delete;
};

// Swallows every input event while an open or a save runs, except those of the Cancel button:
// no stroke, open, paste or shortcut can start in between.
class TInputBlocker : public QObject {
  public:
    explicit TInputBlocker(QWidget* allowed) : FAllowed(allowed) {}

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        switch (event->type()) {
            case QEvent::Shortcut:
                return true;
            case QEvent::MouseButtonPress:
            case QEvent::MouseButtonRelease:
            case QEvent::MouseButtonDblClick:
            case QEvent::MouseMove:
            case QEvent::Wheel:
            case QEvent::KeyPress:
            case QEvent::KeyRelease:
            case QEvent::ShortcutOverride:
            case QEvent::ContextMenu:
            case QEvent::DragEnter:
            case QEvent::DragMove:
            case QEvent::Drop:
            case QEvent::TouchBegin:
            case QEvent::TouchUpdate:
            case QEvent::TouchEnd:
                // Events reach the window system's window first and its widget afterwards: only
                // the widget decides.
                return watched->isWidgetType() && watched != FAllowed;
            default:
                return false;
        }
    }

  private:
    QWidget* FAllowed;
};

// A text of the language file's "Misc" section, with its English default.
QString MiscText(std::string_view key, std::string_view english) {
    return QString::fromStdString(ReadLanguageText(key, english));
}

// Gives the owner write permission on an existing file.
void MakeOwnerWritable(const std::string& fileName) {
    std::error_code ec;
    fs::permissions(fileName, fs::perms::owner_write, fs::perm_options::add, ec);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Image1

TImage::TImage(TForm1* form, QWidget* parent) : QWidget(parent), FForm(form) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    // Moves without a button show the brush's outline.
    setMouseTracking(true);
}

QSize TImage::ViewSize() const {
    if (FPicture.isNull()) return {0, 0};
    return {ViewExtent(FPicture.width(), FZoom), ViewExtent(FPicture.height(), FZoom)};
}

void TImage::SetPicture(const QImage& picture) {
    FPicture = picture;
    setFixedSize(ViewSize());
    update();
}

void TImage::SetZoom(TZoom zoom) {
    FZoom = ClampZoom(zoom);
    FCircleShown = false;
    FOutline = QRect();
    setFixedSize(ViewSize());
    update();
}

TPoint TImage::PicturePoint(QPointF pos) const {
    // The widget pixel under the pointer, then the picture pixel that pixel shows.
    const int32_t vx = int32_t(std::floor(std::clamp(pos.x(), -1e9, 1e9)));
    const int32_t vy = int32_t(std::floor(std::clamp(pos.y(), -1e9, 1e9)));
    return {ViewToPicture(vx, FZoom), ViewToPicture(vy, FZoom)};
}

void TImage::UpdatePictureRect(const TRect& rect) {
    const TRect v = PictureRectToView(rect, FZoom);
    if (v.Width() > 0 && v.Height() > 0) update(v.Left, v.Top, v.Width(), v.Height());
}

void TImage::ShowBrushCircle(TPoint centre, int32_t diameter) {
    // The circle's square at the zoom, centred on the middle of the picture pixel, with room
    // for the outline's two pens.
    const double z = FZoom.Value();
    const double cx = (centre.X + 0.5) * z, cy = (centre.Y + 0.5) * z;
    // A brush smaller than kCrossBelow screen pixels gets a cross around it too, so that the
    // outline shows at every zoom: its square is at least the cross's.
    FCircleDiameter = diameter * z;
    const double r = std::max(FCircleDiameter < kCrossBelow ? kCrossArm : diameter * z / 2.0, 1.0);
    const QRect square(int(std::floor(cx - r)) - 2, int(std::floor(cy - r)) - 2,
                       int(std::ceil(2 * r)) + 5, int(std::ceil(2 * r)) + 5);
    if (FCircleShown && square == FCircle) return;
    if (FCircleShown) update(FCircle);
    FCircle = square;
    FCircleShown = true;
    update(FCircle);
}

void TImage::HideBrushCircle() {
    if (!FCircleShown) return;
    FCircleShown = false;
    update(FCircle);
}

void TImage::UpdateOutlineEdges(const QRect& outline) {
    // Only the outline's four edges need a repaint, not the picture inside it.
    if (outline.isEmpty()) return;
    update(outline.left(), outline.top(), outline.width(), 2);
    update(outline.left(), outline.bottom() - 1, outline.width(), 2);
    update(outline.left(), outline.top(), 2, outline.height());
    update(outline.right() - 1, outline.top(), 2, outline.height());
}

void TImage::ShowRectOutline(const TRect& rect) {
    QRect outline;
    if (rect.Width() > 0 && rect.Height() > 0) {
        const TRect v = PictureRectToView(rect, FZoom);
        outline = QRect(v.Left, v.Top, v.Width(), v.Height());
    }
    if (outline == FOutline) return;
    UpdateOutlineEdges(FOutline);
    FOutline = outline;
    UpdateOutlineEdges(FOutline);
}

void TImage::paintEvent(QPaintEvent* event) {
    if (FPicture.isNull()) return;
    QPainter p(this);
    const QRect viewRect(QPoint(0, 0), ViewSize());
    // Each exposed rectangle on its own: the outline of a dragged rectangle exposes four thin
    // edges, not the picture inside them.
    for (const QRect& exposed : event->region()) {
        const QRect view = exposed & viewRect;
        if (view.isEmpty()) continue;
        if (FZoom.IsOne()) {
            p.drawImage(view.topLeft(), FPicture, view);
            continue;
        }
        // Only the exposed part is scaled, from the picture's rows, into a buffer that is reused
        // from paint to paint.
        if (FBuffer.width() < view.width() || FBuffer.height() < view.height())
            FBuffer = QImage(std::max(view.width(), FBuffer.width()),
                             std::max(view.height(), FBuffer.height()), QImage::Format_RGB32);
        const TPixelRows rows{FPicture.constBits(), ptrdiff_t(FPicture.bytesPerLine()),
                              FPicture.width(), FPicture.height()};
        RenderView(rows, FZoom, TRect{view.left(), view.top(), view.right() + 1, view.bottom() + 1},
                   FBuffer.bits(), ptrdiff_t(FBuffer.bytesPerLine()), FScratch);
        p.drawImage(view.topLeft(), FBuffer, QRect(0, 0, view.width(), view.height()));
    }
    if (FCircleShown && FCircle.intersects(event->rect())) {
        // Black and white, so that the outline shows on any picture.
        const QRectF square = QRectF(FCircle).adjusted(2.5, 2.5, -2.5, -2.5);
        const QPointF c = square.center();
        const double r = std::max(FCircleDiameter / 2.0, 0.5);
        const QRectF circle(c.x() - r, c.y() - r, 2 * r, 2 * r);
        p.setRenderHint(QPainter::Antialiasing, false);
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(Qt::black, 1));
        p.drawEllipse(circle);
        p.setPen(QPen(Qt::white, 1, Qt::DotLine));
        p.drawEllipse(circle);
        if (FCircleDiameter < kCrossBelow) {
            // A cross with a gap where the brush is, black under white.
            const double gap = r + 1, arm = kCrossArm;
            const QLineF arms[] = {{c.x() - arm, c.y(), c.x() - gap, c.y()},
                                   {c.x() + gap, c.y(), c.x() + arm, c.y()},
                                   {c.x(), c.y() - arm, c.x(), c.y() - gap},
                                   {c.x(), c.y() + gap, c.x(), c.y() + arm}};
            p.setPen(QPen(Qt::black, 3));
            p.drawLines(arms, 4);
            p.setPen(QPen(Qt::white, 1));
            p.drawLines(arms, 4);
        }
    }
    if (!FOutline.isEmpty() && FOutline.intersects(event->rect())) {
        const QRect r = FOutline.adjusted(0, 0, -1, -1);
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(Qt::black, 1));
        p.drawRect(r);
        p.setPen(QPen(Qt::white, 1, Qt::DashLine));
        p.drawRect(r);
    }
}

void TImage::mousePressEvent(QMouseEvent* event) {
    const TPoint pt = PicturePoint(event->position());
    const Qt::MouseButton b = event->button();
    const int32_t button = int32_t(b);
    FForm->ScrollBox1Click();
    // The middle button, and the left one while Space is held, drag the view.
    const bool busy = FForm->Capture->Drawing || FForm->RectCapture.Dragging;
    if (!busy && (b == Qt::MiddleButton || (b == Qt::LeftButton && FForm->SpaceHeld()))) {
        HideBrushCircle();
        FForm->BeginPan(event->globalPosition().toPoint());
        return;
    }
    // Only the left button paints; a press of another one during a drag is ignored as well.
    if (b != Qt::LeftButton || FForm->Panning()) return;
    if (event->modifiers() & Qt::ControlModifier) {
        HideBrushCircle();
        const bool ellipse = event->modifiers() & Qt::ShiftModifier;
        FForm->Guarded([&] { FForm->Image1RectDown(pt.X, pt.Y, button, ellipse); });
    } else {
        FForm->Guarded([&] { FForm->Image1MouseDown(pt.X, pt.Y, button); });
    }
}

void TImage::mouseMoveEvent(QMouseEvent* event) {
    if (FForm->Panning()) {
        FForm->PanTo(event->globalPosition().toPoint());
        return;
    }
    const TPoint pt = PicturePoint(event->position());
    if (FForm->RectCapture.Dragging)
        HideBrushCircle();
    else
        ShowBrushCircle(pt, FForm->BrushSize);
    FForm->Guarded([&] { FForm->Image1MouseMove(pt.X, pt.Y); });
}

void TImage::mouseReleaseEvent(QMouseEvent* event) {
    if (FForm->Panning()) {
        if (event->buttons() == Qt::NoButton) FForm->EndPan();
        return;
    }
    const int32_t button = int32_t(event->button());
    FForm->Guarded([&] { FForm->Image1MouseUp(button); });
}

void TImage::wheelEvent(QWheelEvent* event) {
    // The scroll box's wheel, handled here so that it works however the event came.
    const QPoint at = mapTo(FForm->ScrollBox1->viewport(), event->position().toPoint());
    if (FForm->ViewportWheel(*event, at))
        event->accept();
    else
        event->ignore();
}

void TImage::leaveEvent(QEvent* event) {
    HideBrushCircle();
    QWidget::leaveEvent(event);
}

// ---------------------------------------------------------------------------------------------
// TForm1

TForm1::TForm1(const std::string& exePath, const std::vector<std::string>& args, QWidget* parent)
    : QMainWindow(parent),
      Capture(std::make_unique<TStrokeCapture>()),
      FExePath(exePath),
      FArgs(args) {
    setObjectName(QStringLiteral("Form1"));
    ScrollBox1 = new TEventScrollBox(this);
    ScrollBox1->setObjectName(QStringLiteral("ScrollBox1"));
    ScrollBox1->setBackgroundRole(QPalette::Dark);
    ScrollBox1->viewport()->installEventFilter(this);
    ScrollBox1->installEventFilter(this);
    ScrollBox1->OnResize = [this] { ApplyZoomMode(); };
    setCentralWidget(ScrollBox1);
    // The scroll bars always take their room, so that the view's size does not change as the
    // picture grows past it while zooming around the mouse.
    ScrollBox1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    ScrollBox1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // The scroll box's content: the picture's panel and the empty room beside it.
    ViewRoom = new QWidget;
    ViewRoom->setObjectName(QStringLiteral("ViewRoom"));
    ViewRoom->setBackgroundRole(QPalette::Dark);
    ViewRoom->installEventFilter(this);
    PanelCanvas = new QWidget(ViewRoom);
    PanelCanvas->setObjectName(QStringLiteral("PanelCanvas"));
    Image1 = new TImage(this, PanelCanvas);
    Image1->setObjectName(QStringLiteral("Image1"));
    ScrollBox1->setWidget(ViewRoom);
    OpenPictureDialog1 = new QFileDialog(this);
    OpenPictureDialog1->setObjectName(QStringLiteral("OpenPictureDialog1"));
    OpenPictureDialog1->setFileMode(QFileDialog::ExistingFile);
    OpenPictureDialog1->setAcceptMode(QFileDialog::AcceptOpen);
    CreateMenus();
    // The status bar shows only while an open or a save runs.
    ProgressBar = new QProgressBar;
    ProgressBar->setObjectName(QStringLiteral("ProgressBar"));
    ProgressBar->setRange(0, 100);
    ButtonCancelWork = new QPushButton;
    ButtonCancelWork->setObjectName(QStringLiteral("ButtonCancelWork"));
    connect(ButtonCancelWork, &QPushButton::clicked, this, [this] { FCancelRequested = true; });
    // The status bar stays: the zoom, the picture's size and the cell and brush sizes, and while
    // an open or a save runs its progress and Cancel, so the view never moves when work starts.
    statusBar()->setObjectName(QStringLiteral("StatusBar1"));
    auto label = [this](const char* name) {
        QLabel* l = new QLabel;
        l->setObjectName(QLatin1String(name));
        statusBar()->addPermanentWidget(l);
        return l;
    };
    statusBar()->addWidget(ProgressBar, 1);
    statusBar()->addWidget(ButtonCancelWork);
    LabelZoom = label("LabelZoom");
    LabelPictureSize = label("LabelPictureSize");
    LabelCellSize = label("LabelCellSize");
    LabelBrushSize = label("LabelBrushSize");
    ProgressBar->hide();
    ButtonCancelWork->hide();
    resize(602, 479);
    connect(QGuiApplication::clipboard(), &QClipboard::dataChanged, this,
            [this] { UpdateClipboardActions(); });
    FormCreate();
}

TForm1::~TForm1() {
    if (!FSettingsSaved) {
        try {
            FormDestroy();
        } catch (...) {
            // The window is going away; there is nobody left to tell.
        }
    }
}

void TForm1::CreateMenus() {
    auto action = [this](QMenu* menu, const char* name, const QString& caption) {
        QAction* a = new QAction(caption, this);
        a->setObjectName(QLatin1String(name));
        menu->addAction(a);
        return a;
    };
    auto menu = [this](QMenu* parentMenu, const char* name, const QString& caption) {
        QMenu* m = new QMenu(caption, this);
        m->setObjectName(QLatin1String(name));
        if (parentMenu)
            parentMenu->addMenu(m);
        else
            menuBar()->addMenu(m);
        return m;
    };
    auto guarded = [this](QAction* a, void (TForm1::*handler)()) {
        connect(a, &QAction::triggered, this,
                [this, handler] { Guarded([&] { (this->*handler)(); }); });
    };

    FMFile = menu(nullptr, "FMFile", tr("&File"));
    FMOpen = action(FMFile, "FMOpen", tr("&Open..."));
    FMOpen->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    guarded(FMOpen, &TForm1::FMOpenClick);
    FMOpenRecent = menu(FMFile, "FMOpenRecent", tr("Open &Recent"));
    FMSave = action(FMFile, "FMSave", tr("&Save"));
    FMSave->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    guarded(FMSave, &TForm1::FMSaveClick);
    FMSaveAs = action(FMFile, "FMSaveAs", tr("Save &as..."));
    FMSaveAs->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S));
    guarded(FMSaveAs, &TForm1::FMSaveAsClick);
    FMExit = action(FMFile, "FMExit", tr("E&xit"));
    FMExit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    guarded(FMExit, &TForm1::FMExitClick);

    FMEdit = menu(nullptr, "FMEdit", tr("&Edit"));
    connect(FMEdit, &QMenu::aboutToShow, this, [this] { Guarded([&] { FMEditClick(); }); });
    FMUndo = action(FMEdit, "FMUndo", tr("&Undo"));
    FMUndo->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Z));
    guarded(FMUndo, &TForm1::FMUndoClick);
    FMRedo = action(FMEdit, "FMRedo", tr("&Redo"));
    FMRedo->setShortcuts(
        {QKeySequence(Qt::CTRL | Qt::Key_Y), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z)});
    guarded(FMRedo, &TForm1::FMRedoClick);
    FMHistoryPalette = action(FMEdit, "FMHistoryPalette", tr("History"));
    FMEditL1 = FMEdit->addSeparator();
    FMEditL1->setObjectName(QStringLiteral("FMEditL1"));
    FMCopyToClipboard = action(FMEdit, "FMCopyToClipboard", tr("Copy"));
    FMCopyToClipboard->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_C));
    guarded(FMCopyToClipboard, &TForm1::FMCopyToClipboardClick);
    FMPaste = action(FMEdit, "FMPaste", tr("Paste"));
    FMPaste->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_V));
    guarded(FMPaste, &TForm1::FMPasteClick);

    FMMosaic = menu(nullptr, "FMMosaic", tr("&Mosaic"));
    FMMosaicPixSize = menu(FMMosaic, "FMMosaicPixSize", tr("Mosaic pixel size"));
    QActionGroup* mosaicGroup = new QActionGroup(this);
    mosaicGroup->setExclusive(true);
    auto radio = [&](QMenu* m, QActionGroup* g, const char* name, const QString& caption) {
        QAction* a = action(m, name, caption);
        a->setCheckable(true);
        g->addAction(a);
        return a;
    };
    // One item per mosaic size the engine offers, named after its size.
    for (const int32_t size : kMosaicCellSizes) {
        const std::string name = "FMMosaicPix" + std::to_string(size);
        QAction* item =
            radio(FMMosaicPixSize, mosaicGroup, name.c_str(), tr("%1x%1 pix").arg(size));
        item->setData(size);
        FMMosaicPixItems.push_back(item);
    }
    // The item of a size, from a menu's items (each holds its size as data).
    auto itemOfSize = [](const std::vector<QAction*>& items, int32_t size) {
        for (QAction* item : items)
            if (item->data().toInt() == size) return item;
        throw Exception("no menu item for size " + std::to_string(size));
    };
    auto mosaicItem = [&](int32_t size) { return itemOfSize(FMMosaicPixItems, size); };
    FMMosaicPix2 = mosaicItem(2);
    FMMosaicPix4 = mosaicItem(4);
    FMMosaicPix8 = mosaicItem(8);
    FMMosaicPix12 = mosaicItem(12);
    FMMosaicPix16 = mosaicItem(16);
    mosaicItem(kDefaultMosaicSize)->setChecked(true);
    connect(mosaicGroup, &QActionGroup::triggered, this,
            [this] { Guarded([&] { MosaicPixSizeChange(); }); });

    FMBrushSize = menu(FMMosaic, "FMBrushSize", tr("Brush size"));
    QActionGroup* brushGroup = new QActionGroup(this);
    brushGroup->setExclusive(true);
    // One item per brush size, named after its size.
    for (const int32_t size : kBrushSizes) {
        const std::string name = "FMBrush" + std::to_string(size);
        QAction* item = radio(FMBrushSize, brushGroup, name.c_str(), QString::number(size));
        item->setData(size);
        FMBrushItems.push_back(item);
    }
    auto brushItem = [&](int32_t size) { return itemOfSize(FMBrushItems, size); };
    FMBrush5 = brushItem(5);
    FMBrush8 = brushItem(8);
    FMBrush10 = brushItem(10);
    FMBrush20 = brushItem(20);
    FMBrush30 = brushItem(30);
    FMBrush40 = brushItem(40);
    FMBrush50 = brushItem(50);
    FMBrush80 = brushItem(80);
    FMBrush120 = brushItem(120);
    FMBrush200 = brushItem(200);
    FMBrush300 = brushItem(300);
    FMBrush400 = brushItem(400);
    FMBrush600 = brushItem(600);
    brushItem(kDefaultBrushSize)->setChecked(true);
    FMBrushSize->addSeparator();
    FMBrushSmaller = action(FMBrushSize, "FMBrushSmaller", tr("Smaller brush"));
    FMBrushSmaller->setShortcut(QKeySequence(Qt::Key_BracketLeft));
    guarded(FMBrushSmaller, &TForm1::FMBrushSmallerClick);
    FMBrushLarger = action(FMBrushSize, "FMBrushLarger", tr("Larger brush"));
    FMBrushLarger->setShortcut(QKeySequence(Qt::Key_BracketRight));
    guarded(FMBrushLarger, &TForm1::FMBrushLargerClick);
    connect(brushGroup, &QActionGroup::triggered, this,
            [this] { Guarded([&] { BrushSizeChange(); }); });
    FMSoftenEdge = action(FMMosaic, "FMSoftenEdge", tr("Soften edge"));
    FMSoftenEdge->setCheckable(true);
    FMSoftenEdge->setChecked(true);
    FMSolidFill = action(FMMosaic, "FMSolidFill", tr("Solid fill"));
    FMSolidFill->setCheckable(true);
    FMSolidFill->setChecked(false);
    FMRestore = action(FMMosaic, "FMRestore", tr("Restore"));
    FMRestore->setCheckable(true);
    FMRestore->setChecked(false);
    FMRestore->setShortcut(QKeySequence(Qt::Key_R));

    FMHelp = new QAction(QStringLiteral("?"), this);
    FMHelp->setObjectName(QStringLiteral("FMHelp"));
    menuBar()->addAction(FMHelp);
    guarded(FMHelp, &TForm1::FMHelpClick);
    CreateViewMenu();
}

void TForm1::CreateViewMenu() {
    // View sits between Edit and Mosaic.
    FMView = new QMenu(tr("&View"), this);
    FMView->setObjectName(QStringLiteral("FMView"));
    menuBar()->insertMenu(FMMosaic->menuAction(), FMView);
    auto item = [this](const char* name, const QString& caption, QList<QKeySequence> keys,
                       void (TForm1::*handler)()) {
        QAction* a = new QAction(caption, this);
        a->setObjectName(QLatin1String(name));
        a->setShortcuts(keys);
        FMView->addAction(a);
        connect(a, &QAction::triggered, this,
                [this, handler] { Guarded([&] { (this->*handler)(); }); });
        return a;
    };
    // Ctrl+= as well as Ctrl++: on many keyboards "+" is the shifted "=".
    FMZoomIn = item("FMZoomIn", tr("Zoom &in"),
                    {QKeySequence(Qt::CTRL | Qt::Key_Plus), QKeySequence(Qt::CTRL | Qt::Key_Equal)},
                    &TForm1::FMZoomInClick);
    FMZoomOut = item("FMZoomOut", tr("Zoom &out"), {QKeySequence(Qt::CTRL | Qt::Key_Minus)},
                     &TForm1::FMZoomOutClick);
    FMZoomFit = item("FMZoomFit", tr("&Fit to window"), {QKeySequence(Qt::CTRL | Qt::Key_0)},
                     &TForm1::FMZoomFitClick);
    FMZoom100 = item("FMZoom100", tr("&100 %"), {QKeySequence(Qt::CTRL | Qt::Key_1)},
                     &TForm1::FMZoom100Click);
    // Each language under its own name, so that anyone finds theirs.
    FMView->addSeparator();
    FMLanguage = new QMenu(QStringLiteral("Language"), this);
    FMLanguage->setObjectName(QStringLiteral("FMLanguage"));
    FMView->addMenu(FMLanguage);
    QActionGroup* languages = new QActionGroup(this);
    auto language = [&](const char* name, const QString& caption, const char* code) {
        QAction* a = new QAction(caption, this);
        a->setObjectName(QLatin1String(name));
        a->setCheckable(true);
        languages->addAction(a);
        FMLanguage->addAction(a);
        connect(a, &QAction::triggered, this, [this, code] {
            Guarded([&] {
                FSettings.Language = code;
                ApplyLanguage(ChosenLanguage());
            });
        });
        return a;
    };
    FMLanguageEnglish = language("FMLanguageEnglish", QStringLiteral("English"), "en");
    FMLanguageJapanese = language("FMLanguageJapanese", QStringLiteral("日本語"), "ja");
}

void TForm1::FormCreate() {
    SetCaption(QLatin1String(kTilvoTitle));
    const std::string exeDir = fs::path(FExePath).parent_path().string();
    SetLanguageBaseDir(exeDir);
    SetLanguageFolder("Lang/");
    // The language file lies beside the program in the build tree; an installed program finds
    // it in the data folder: the one beside its bin/ (wherever the prefix was moved), else the
    // one of the prefix it was built for.
    {
        std::error_code ec;
        SelectLanguage(kLanguageJapanese);
        std::string found = exeDir;
        for (const std::string& dir :
             {exeDir, (fs::path(exeDir) / TILVO_DATA_FROM_BIN).lexically_normal().string(),
              std::string(TILVO_DATA_DIR)}) {
            SetLanguageBaseDir(dir);
            if (fs::is_regular_file(LanguageFilePath(), ec)) {
                found = dir;
                break;
            }
        }
        SetLanguageBaseDir(found);
    }

    FMSaveAs->setEnabled(false);
    FMSave->setEnabled(false);
    SaveFileName.clear();
    PanelCanvas->hide();

    // The command line: its first file is opened at the end. A command line that cannot be read
    // (an unreadable parameter file, a malformed colour) is reported once the window runs, and
    // the window starts without a picture.
    std::string startFile;
    try {
        TComLineEX commandLine(FExePath, FArgs, std::string(), 0);
        // The first named file that exists opens; when none does, the window says so.
        std::error_code ec;
        for (const std::string& file : commandLine.Files) {
            if (fs::is_regular_file(file, ec)) {
                startFile = file;
                break;
            }
        }
        if (startFile.empty() && !commandLine.Files.empty()) {
            const std::string message = "File not found: " + commandLine.Files.front();
            QMetaObject::invokeMethod(
                this, [this, message] { ShowException(message); }, Qt::QueuedConnection);
        }
    } catch (const std::exception& e) {
        const std::string message = e.what();
        QMetaObject::invokeMethod(
            this, [this, message] { ShowException(message); }, Qt::QueuedConnection);
    }

    FMHistoryPalette->setVisible(false);
    BrushSize = kDefaultBrushSize;
    TrailColor = 16756991;
    HistoryKind = 2;

    History.Clear();
    FMUndo->setEnabled(false);
    FMRedo->setEnabled(false);

    RegionBitmap.Resize(0, 0, pf24bit);
    MaskBitmap.Resize(0, 0, pf24bit);
    MaskBitmap.Canvas().Brush.Color = 0xFFFFFF;
    MaskBitmap.Canvas().Pen.Color = 0;
    MaskBitmap.Canvas().Pen.Width = BrushSize;

    // The window's own texts are English; the language (chosen or the system's) is applied once
    // the settings are read.
    for (QAction* a : findChildren<QAction*>())
        if (!a->objectName().isEmpty()) FBuiltInTexts.emplace_back(a, a->text());
    for (QMenu* m : findChildren<QMenu*>())
        if (!m->objectName().isEmpty()) FBuiltInTexts.emplace_back(m, m->title());

    for (const TKorvaneFileTypeInfo& row : FileTypeInfos())
        SaveDialog1.AddFileType(row.DisplayName, row.FileMask);

    Capture->AxisLocked = false;
    BrushCursor = MakeBrushCursor();
    Image1->setCursor(BrushCursor);

    FSettingsFile = SettingsFilePath(
        FExePath,
        QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation).toStdString());
    LoadSettings();
    ApplyLanguage(ChosenLanguage());
    RebuildRecentMenu();

    Image1->SetPicture(QImage());
    UpdateClipboardActions();
    UpdateStatus();
    Guarded([&] { OpenPictureFile(startFile); });
}

void TForm1::FormShow() {
    setAcceptDrops(true);
}

void TForm1::FormDestroy() {
    FSettingsSaved = true;
    SaveSettings();
}

void TForm1::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    FormShow();
}

void TForm1::closeEvent(QCloseEvent* event) {
    // Nothing closes while an open or a save runs, nor before unsaved work is saved or given up.
    bool mayClose = !FBusy;
    if (mayClose) {
        mayClose = false;
        Guarded([&] { mayClose = MayDiscardPicture(); });
    }
    if (!mayClose) {
        event->ignore();
        return;
    }
    if (!FSettingsSaved) Guarded([&] { FormDestroy(); });
    QMainWindow::closeEvent(event);
}

void TForm1::ShowException(const std::string& message) {
    QMessageBox::critical(this, QStringLiteral("Tilvo"), Q(message));
}

// ---- Settings -------------------------------------------------------------------------------

void TForm1::LoadSettings() {
    FSettings.Load(FSettingsFile);
    // The window opens on the screen and no larger than it, wherever the file puts it.
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        FSettings.FitWindowToScreen(area.left(), area.top(), area.width(), area.height());
    }
    if (!FSettings.WindowSizeRead) {
        // The first run: a window of two thirds of the screen, not the small default.
        if (const QScreen* screen = QGuiApplication::primaryScreen()) {
            const QRect area = screen->availableGeometry();
            FSettings.PlaceFirstRunWindow(area.left(), area.top(), area.width(), area.height());
        }
    }
    const TSettings& s = FSettings;
    move(s.Left, s.Top);
    resize(s.Width, s.Height);
    FMSave->setVisible(s.CanOverWrite);
    for (QAction* item : FMMosaicPixItems)
        if (s.MosaicSize == item->data().toInt()) item->setChecked(true);
    for (QAction* item : FMBrushItems)
        if (s.BrushSize == item->data().toInt()) item->setChecked(true);
    FMSoftenEdge->setChecked(s.SoftenEdge);
    FMSolidFill->setChecked(s.SolidFill);
    BrushSizeChange();
    SaveOptions = s.SaveOptions;
    if (s.LegacySaveDialog) SaveDialog1.SetUseLegacyDialog(*s.LegacySaveDialog);
}

void TForm1::SaveSettings() {
    TSettings& s = FSettings;
    s.Top = pos().y();
    s.Left = pos().x();
    s.Width = width();
    s.Height = height();
    s.CanOverWrite = FMSave->isVisible();
    // The checked item's size is written as the value itself, as for the first five sizes.
    s.MosaicSize = kDefaultMosaicSize;
    for (QAction* item : FMMosaicPixItems)
        if (item->isChecked()) s.MosaicSize = item->data().toInt();
    s.BrushSize = kDefaultBrushSize;
    for (QAction* item : FMBrushItems)
        if (item->isChecked()) s.BrushSize = item->data().toInt();
    s.SoftenEdge = FMSoftenEdge->isChecked();
    s.SolidFill = FMSolidFill->isChecked();
    s.SaveOptions = SaveOptions;
    s.SaveOptions.DCRResourceName.clear();
    if (s.LegacySaveDialog) s.LegacySaveDialog = SaveDialog1.UseLegacyDialog();
    s.Save(FSettingsFile);
}

// ---- Opening pictures -----------------------------------------------------------------------

void TForm1::SetCaptionForFile() {
    // After a Save As elsewhere the caption names both: what is open, and where it was saved.
    const QString open =
        FileName.empty() ? QStringLiteral("Clipboard") : Q(fs::path(FileName).filename().string());
    QString savedAs;
    if (!FSavedAsCaption.isEmpty())
        savedAs = QStringLiteral(" (") +
                  MiscText("MISC_CAPTION_SAVEDAS", "saved as %1")
                      .replace(QStringLiteral("%1"), FSavedAsCaption) +
                  QLatin1Char(')');
    SetCaption(open + savedAs + QStringLiteral(" - ") + QLatin1String(kTilvoTitle));
}

void TForm1::OpenPictureFile(const std::string& fileName) {
    std::error_code ec;
    if (fileName.empty() || !fs::is_regular_file(fileName, ec)) return;
    // The window switches only once the new picture is read and every copy of it can be made: a
    // failure at any step leaves the picture, its history, the caption and Save as they were.
    // The reader decodes into the shown copy's buffer (a buffer that is mapped already costs far
    // less than a fresh one); the shown copy is remade from WorkBitmap when the open fails.
    TBitmap loaded;
    // The progress listener lets the window repaint while the reader works: until the open ends,
    // the picture widget shows the working picture itself, never the buffer being decoded into.
    ShowPictureDirectly();
    loaded.Swap(DisplayBitmap);
    loaded.Resize(0, 0, pf24bit);
    try {
        std::vector<uint8_t> jpegBytes;
        {
            // The readers report their progress; Cancel ends the open with ECancelled.
            const TProgressFn progress = BeginWork();
            struct TEnd {
                TForm1* form;
                ~TEnd() { form->EndWork(); }
            } end{this};
            TProgressScope scope(progress);
            LoadPictureFile(fileName, loaded, &jpegBytes);
        }
        TakeNewPicture(loaded, [&] {
            SourceJpeg.swap(jpegBytes);
            FileName = fileName;
            FSavedPosition = HistoryPosition();
            FSavedAsCaption.clear();
            SetCaptionForFile();
            FMSaveAs->setEnabled(true);
            FMSave->setEnabled(true);
            SaveFileName = FileName;
        });
        AddRecent(fileName);
    } catch (...) {
        if (DisplayBitmap.Empty()) RemakeDisplay(loaded);
        throw;
    }
    MosaicPixSizeChange();
}

void TForm1::RemakeDisplay(TBitmap& buffer) {
    DisplayBitmap.Swap(buffer);
    try {
        ShowWorkBitmap();
    } catch (...) {
        // Not even the shown copy fits: the window shows the working picture itself until the
        // next change remakes the copy.
        DisplayBitmap.Resize(0, 0, pf24bit);
        ShowPictureDirectly();
    }
}

void TForm1::ShowPictureDirectly() {
    if (WorkBitmap.Empty()) {
        Image1->SetPicture(QImage());
    } else {
        Image1->SetPicture(QImage(WorkBitmap.ScanLine(0), WorkBitmap.Width(), WorkBitmap.Height(),
                                  qsizetype(WorkBitmap.Stride()), QImage::Format_BGR888));
    }
}

void TForm1::TakeNewPicture(TBitmap& loaded, const std::function<void()>& switchState) {
    if (loaded.PixelFormat() != pf24bit) loaded.SetPixelFormat(pf24bit);
    loaded.Palette().clear();
    const int32_t w = loaded.Width(), h = loaded.Height();
    const int64_t bytes = CheckedMul(RowBytes(w, 24), h);
    // The working and shown copies take the buffers of the old working picture and of the old
    // source or shown copy, but only once the window switches.
    // Buffers that are too small are replaced now, so that running out of memory changes nothing.
    TBitmap freshWork, freshShown;
    if (WorkBitmap.Capacity() < bytes) freshWork.Resize(w, h, pf24bit);
    if (SourceBitmap.Capacity() < bytes && DisplayBitmap.Capacity() < bytes)
        freshShown.Resize(w, h, pf24bit);

    // The switch: from here on only buffers big enough are written, nothing is allocated.
    History.Clear();
    FMUndo->setEnabled(false);
    FMRedo->setEnabled(false);
    SourceJpeg.clear();  // the open path hands the new picture's bytes over in switchState
    switchState();
    TBitmap oldSource;
    oldSource.Swap(SourceBitmap);
    SourceBitmap.Swap(loaded);
    if (freshWork.Capacity() > 0) WorkBitmap.Swap(freshWork);
    WorkBitmap.Assign(SourceBitmap);
    if (freshShown.Capacity() > 0)
        DisplayBitmap.Swap(freshShown);
    else if (DisplayBitmap.Capacity() < bytes)
        DisplayBitmap.Swap(oldSource);
    Capture->Drawing = false;
    RectCapture.Dragging = false;
    Live.Cancel();
    FShapeShown = TRect{};
    FPanning = false;
    FTrailRect = TRect{};
    ShowWorkBitmap();
    ZoomForNewPicture();
    PanelCanvas->show();
    ScrollBox1->SetEmptyText(QString());
    UpdateClipboardActions();
}

void TForm1::ShowWorkBitmap() {
    DisplayBitmap.Assign(WorkBitmap);
    ShowDisplayBitmap();
}

void TForm1::ShowDisplayBitmap() {
    if (DisplayBitmap.Empty()) {
        Image1->SetPicture(QImage());
        return;
    }
    // The image reads the shown surface in place: rows of B, G, R bytes, padded to 4 bytes.
    const TBitmap& shown = DisplayBitmap;
    Image1->SetPicture(QImage(shown.ScanLine(0), shown.Width(), shown.Height(),
                              qsizetype(shown.Stride()), QImage::Format_BGR888));
}

void TForm1::TakeInputBack() {
    // A file dialog's completion list (or any other popup) can stay mapped after the dialog
    // closed and take the next click or key: every popup goes, and the window takes the input.
    for (int i = 0; i < 16; ++i) {
        QWidget* popup = QApplication::activePopupWidget();
        if (!popup) break;
        popup->close();
    }
    // A completion list that is shown but not the active popup any more (asking a completer for
    // its popup would make one).
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->isVisible() && w->windowType() == Qt::Popup) w->hide();
    ScrollBox1->setFocus(Qt::OtherFocusReason);
}

void TForm1::FMOpenClick() {
    if (FBusy) return;
    const int result = OpenPictureDialog1->exec();
    TakeInputBack();
    if (result != QDialog::Accepted) return;
    const QStringList files = OpenPictureDialog1->selectedFiles();
    if (!files.isEmpty()) OpenPictureFileAsked(files.front().toStdString());
}

void TForm1::OpenPictureFileAsked(const std::string& fileName) {
    if (FBusy || !MayDiscardPicture()) return;
    try {
        OpenPictureFile(fileName);
    } catch (const ECancelled&) {
        throw;
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& e) {
        ShowException(fileName + "\n\n" + e.what());
    }
}

void TForm1::dragEnterEvent(QDragEnterEvent* event) {
    const QMimeData* mime = event->mimeData();
    if (mime->hasUrls() && !mime->urls().isEmpty() && mime->urls().front().isLocalFile())
        event->acceptProposedAction();
}

void TForm1::dropEvent(QDropEvent* event) {
    const QMimeData* mime = event->mimeData();
    if (!mime->hasUrls() || mime->urls().isEmpty() || !mime->urls().front().isLocalFile()) return;
    event->acceptProposedAction();
    // Only the first dropped file opens, with its whole path.
    const std::string fileName = mime->urls().front().toLocalFile().toStdString();
    Guarded([&] { OpenPictureFileAsked(fileName); });
}

// ---- Clipboard ------------------------------------------------------------------------------

bool TForm1::ClipboardHasPicture() {
    const QMimeData* mime = QGuiApplication::clipboard()->mimeData();
    if (!mime) return false;
    return mime->hasImage() || !SinglePictureFile(mime).empty();
}

void TForm1::UpdateClipboardActions() {
    FMPaste->setEnabled(ClipboardHasPicture());
    FMCopyToClipboard->setEnabled(!Image1->Picture().isNull());
}

void TForm1::FMEditClick() {
    UpdateClipboardActions();
}

void TForm1::FMPasteClick() {
    if (FBusy) return;
    const QMimeData* mime = QGuiApplication::clipboard()->mimeData();
    if (!mime || (!mime->hasImage() && SinglePictureFile(mime).empty())) return;
    if (!MayDiscardPicture()) return;
    // The question may have run a save: the clipboard is read again.
    mime = QGuiApplication::clipboard()->mimeData();
    if (!mime) return;
    TBitmap pasted;
    if (mime->hasImage()) {
        ImageToBitmap(qvariant_cast<QImage>(mime->imageData()), pasted);
    } else {
        const std::string file = SinglePictureFile(mime);
        if (file.empty()) return;
        LoadPictureFile(file, pasted);
    }
    TakeNewPicture(pasted, [&] {
        FileName.clear();
        FSavedPosition = HistoryPosition();
        FSavedAsCaption.clear();
        SetCaption(QStringLiteral("Clipboard - ") + QLatin1String(kTilvoTitle));
        FMSaveAs->setEnabled(true);
        FMSave->setEnabled(false);
    });
    MosaicPixSizeChange();
}

void TForm1::FMCopyToClipboardClick() {
    if (Image1->Picture().isNull()) return;
    // A copy of its own: the shown image reads a surface that keeps changing.
    QGuiApplication::clipboard()->setImage(Image1->Picture().convertToFormat(QImage::Format_RGB32));
}

// ---- Menus ----------------------------------------------------------------------------------

void TForm1::MosaicPixSizeChange() {
    // Strokes take their cells from the picture as it stands when they are committed; nothing
    // is prepared ahead.
    MosaicSize = kDefaultMosaicSize;
    for (QAction* item : FMMosaicPixItems)
        if (item->isChecked()) MosaicSize = item->data().toInt();
    UpdateStatus();
}

void TForm1::BrushSizeChange() {
    BrushSize = kDefaultBrushSize;
    for (QAction* item : FMBrushItems) {
        if (item->isChecked()) {
            BrushSize = item->data().toInt();
            break;
        }
    }
    DisplayBitmap.Canvas().Pen.Width = BrushSize;
    MaskBitmap.Canvas().Pen.Width = BrushSize;
    UpdateStatus();
}

void TForm1::FMUndoClick() {
    // Not during a drag: the stroke being shown belongs to the picture as it is.
    if (History.Position() <= 0 || Capture->Drawing || RectCapture.Dragging) return;
    // The history takes the last stroke off WorkBitmap in place; only its rectangle is shown anew.
    TRect changed;
    const bool more = History.Undo(WorkBitmap, SourceBitmap, &changed);
    RestoreDisplay(changed);
    FMUndo->setEnabled(more);
    FMRedo->setEnabled(true);
    UpdateModifiedMarker();
}

void TForm1::FMRedoClick() {
    if (History.Position() >= History.Count() || Capture->Drawing || RectCapture.Dragging) return;
    TRect changed;
    const bool more = History.Redo(WorkBitmap, &changed);
    RestoreDisplay(changed);
    FMRedo->setEnabled(more);
    FMUndo->setEnabled(true);
    UpdateModifiedMarker();
}

void TForm1::FMHelpClick() {
    QMessageBox::about(this, QStringLiteral("Tilvo"),
                       QLatin1String(kTilvoTitle) + QStringLiteral("\n\n") +
                           MiscText("MISC_ABOUT", "Hides parts of a picture behind a pixel mosaic.") +
                           QStringLiteral("\n") + QLatin1String(kTilvoHomePage));
}

// ---- Language and recent files ----------------------------------------------------------------

int32_t TForm1::ChosenLanguage() const {
    if (FSettings.Language == "ja") return kLanguageJapanese;
    if (FSettings.Language == "en") return 0;
    const QStringList ui = QLocale::system().uiLanguages();
    return !ui.isEmpty() && ui.front().startsWith(QLatin1String("ja")) ? kLanguageJapanese : 0;
}

void TForm1::ApplyLanguage(int32_t language) {
    FLanguage = language;
    SelectLanguage(language);
    // The window's own texts first; the language file replaces what it has.
    for (const auto& [object, text] : FBuiltInTexts) {
        if (auto* a = qobject_cast<QAction*>(object))
            a->setText(text);
        else if (auto* m = qobject_cast<QMenu*>(object))
            m->setTitle(text);
    }
    if (language == kLanguageJapanese) {
        ApplyLanguageToForm(this);
    } else {
        // The Japanese faces go with the Japanese texts.
        setFont(QFont());
        for (QWidget* w : findChildren<QWidget*>())
            if (!w->objectName().isEmpty() && !w->objectName().startsWith(QLatin1String("qt_")))
                w->setFont(QFont());
    }
    LoadLanguageMessages();
    SaveDialog1.SetDialogTexts(LoadDialogTexts(language == kLanguageJapanese));
    OpenPictureDialog1->setNameFilter(
        OpenDialogFilter(BuildOpenDialogFilter(language == kLanguageJapanese)));
    ButtonCancelWork->setText(MiscText("MISC_CANCELWORK", "Cancel"));
    FEmptyHint = MiscText(
        "MISC_EMPTYHINT",
        "Open a picture: File ▸ Open… (Ctrl+O), drop a file here, or paste one (Ctrl+V).");
    if (WorkBitmap.Empty()) ScrollBox1->SetEmptyText(FEmptyHint);
    FMLanguageJapanese->setChecked(language == kLanguageJapanese);
    FMLanguageEnglish->setChecked(language != kLanguageJapanese);
    if (FSavedAsCaption.isEmpty())
        UpdateModifiedMarker();
    else
        SetCaptionForFile();
    RebuildRecentMenu();
    UpdateStatus();
}

void TForm1::RebuildRecentMenu() {
    FMOpenRecent->clear();
    const std::vector<std::string>& files = FSettings.RecentFiles;
    for (size_t i = 0; i < files.size(); ++i) {
        const QString name = Q(fs::path(files[i]).filename().string());
        QAction* a = FMOpenRecent->addAction(
            (i < 9 ? QStringLiteral("&%1 ").arg(i + 1) : QStringLiteral("1&0 ")) + name);
        a->setObjectName(QStringLiteral("RecentFile%1").arg(i + 1));
        a->setToolTip(Q(files[i]));
        a->setData(Q(files[i]));
        connect(a, &QAction::triggered, this, [this, i] { Guarded([&] { OpenRecentFile(i); }); });
    }
    FMOpenRecent->setEnabled(!files.empty());
}

void TForm1::AddRecent(const std::string& fileName) {
    std::error_code ec;
    const fs::path absolute = fs::absolute(fileName, ec);
    AddRecentFile(FSettings.RecentFiles, ec ? fileName : absolute.lexically_normal().string());
    RebuildRecentMenu();
}

void TForm1::OpenRecentFile(size_t index) {
    std::vector<std::string>& files = FSettings.RecentFiles;
    if (index >= files.size() || FBusy) return;
    const std::string file = files[index];
    std::error_code ec;
    if (!fs::is_regular_file(file, ec)) {
        files.erase(files.begin() + ptrdiff_t(index));
        RebuildRecentMenu();
        QMessageBox::warning(this, QStringLiteral("Tilvo"),
                             MiscText("MISC_MBM_RECENTMISSING",
                                      "This file is no longer there and leaves the list:") +
                                 QStringLiteral("\n\n") + Q(file));
        return;
    }
    OpenPictureFileAsked(file);
}

void TForm1::FMExitClick() {
    close();
}

// ---- Scroll box -----------------------------------------------------------------------------

void TForm1::ScrollBox1Click() {
    ScrollBox1->setFocus(Qt::MouseFocusReason);
}

void TForm1::ScrollBox1MouseWheelDown() {
    QScrollBar* bar = ScrollBox1->verticalScrollBar();
    bar->setValue(bar->value() + kWheelStep);
}

void TForm1::ScrollBox1MouseWheelUp() {
    QScrollBar* bar = ScrollBox1->verticalScrollBar();
    bar->setValue(bar->value() - kWheelStep);
}

void TForm1::BeginPan(QPoint globalPos) {
    FPanning = true;
    FPanFrom = globalPos;
    FPanScroll = QPoint(ScrollBox1->horizontalScrollBar()->value(),
                        ScrollBox1->verticalScrollBar()->value());
    QApplication::setOverrideCursor(Qt::ClosedHandCursor);
}

void TForm1::PanTo(QPoint globalPos) {
    if (!FPanning) return;
    // The picture follows the pointer.
    const QPoint moved = globalPos - FPanFrom;
    ScrollBox1->horizontalScrollBar()->setValue(FPanScroll.x() - moved.x());
    ScrollBox1->verticalScrollBar()->setValue(FPanScroll.y() - moved.y());
}

void TForm1::EndPan() {
    if (!FPanning) return;
    FPanning = false;
    QApplication::restoreOverrideCursor();
}

void TForm1::StepView(int dx, int dy) {
    const QSize view = ScrollBox1->maximumViewportSize();
    QScrollBar* h = ScrollBox1->horizontalScrollBar();
    QScrollBar* v = ScrollBox1->verticalScrollBar();
    h->setValue(h->value() + dx * std::max(1, view.width() / 10));
    v->setValue(v->value() + dy * std::max(1, view.height() / 10));
}

bool TForm1::ViewKey(const QKeyEvent& key, bool press) {
    if (key.key() == Qt::Key_Space) {
        if (key.isAutoRepeat()) return true;
        FSpaceHeld = press;
        if (!press) EndPan();
        return true;
    }
    if (!press || key.modifiers() & (Qt::ControlModifier | Qt::AltModifier)) return false;
    switch (key.key()) {
        case Qt::Key_Left:
            StepView(-1, 0);
            return true;
        case Qt::Key_Right:
            StepView(1, 0);
            return true;
        case Qt::Key_Up:
            StepView(0, -1);
            return true;
        case Qt::Key_Down:
            StepView(0, 1);
            return true;
        default:
            return false;
    }
}

void TForm1::keyPressEvent(QKeyEvent* event) {
    if (ViewKey(*event, true)) return;
    QMainWindow::keyPressEvent(event);
}

void TForm1::keyReleaseEvent(QKeyEvent* event) {
    if (ViewKey(*event, false)) return;
    QMainWindow::keyReleaseEvent(event);
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    if (watched == ScrollBox1 &&
        (event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease)) {
        // The arrow keys step a tenth of the view rather than the scroll box's single step.
        if (ViewKey(*static_cast<QKeyEvent*>(event), event->type() == QEvent::KeyPress))
            return true;
    }
    if (watched == ScrollBox1 && event->type() == QEvent::FocusOut) {
        FSpaceHeld = false;
    }
    if (watched == ScrollBox1->viewport() || watched == ViewRoom) {
        // Beside the picture the middle button (or Space and the left one) drags the view too.
        if (event->type() == QEvent::MouseButtonPress) {
            const QMouseEvent* m = static_cast<QMouseEvent*>(event);
            if (m->button() == Qt::MiddleButton ||
                (m->button() == Qt::LeftButton && FSpaceHeld)) {
                BeginPan(m->globalPosition().toPoint());
                return true;
            }
        } else if (event->type() == QEvent::MouseMove && FPanning) {
            PanTo(static_cast<QMouseEvent*>(event)->globalPosition().toPoint());
            return true;
        } else if (event->type() == QEvent::MouseButtonRelease && FPanning) {
            if (static_cast<QMouseEvent*>(event)->buttons() == Qt::NoButton) EndPan();
            return true;
        }
    }
    if (watched == ScrollBox1->viewport()) {
        if (event->type() == QEvent::MouseButtonPress) ScrollBox1Click();
        if (event->type() == QEvent::Wheel) {
            const QWheelEvent* wheel = static_cast<QWheelEvent*>(event);
            if (ViewportWheel(*wheel, wheel->position().toPoint())) return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

bool TForm1::ViewportWheel(const QWheelEvent& wheel, QPoint at) {
    const int dy = wheel.angleDelta().y();
    if (wheel.modifiers() & Qt::ControlModifier) {
        // Ctrl+wheel zooms a step a notch, around the point under the mouse.
        FZoomWheelRest += dy;
        Guarded([&] {
            while (FZoomWheelRest >= 120) {
                FZoomWheelRest -= 120;
                FZoomMode = TZoomMode::Fixed;
                SetZoom(NextZoomStep(Zoom()), at);
            }
            while (FZoomWheelRest <= -120) {
                FZoomWheelRest += 120;
                FZoomMode = TZoomMode::Fixed;
                SetZoom(PreviousZoomStep(Zoom()), at);
            }
        });
        return true;
    }
    if (wheel.modifiers() & Qt::ShiftModifier) {
        // Shift+wheel scrolls sideways (some systems turn it into a horizontal wheel already).
        const int delta = dy != 0 ? dy : wheel.angleDelta().x();
        if (delta == 0) return false;
        FHWheelRest += delta;
        QScrollBar* bar = ScrollBox1->horizontalScrollBar();
        while (FHWheelRest <= -120) {
            FHWheelRest += 120;
            bar->setValue(bar->value() + kWheelStep);
        }
        while (FHWheelRest >= 120) {
            FHWheelRest -= 120;
            bar->setValue(bar->value() - kWheelStep);
        }
        return true;
    }
    if (dy == 0) return false;
    // A notch is 120; finer wheels add up until a notch is complete.
    FWheelRest += dy;
    while (FWheelRest <= -120) {
        FWheelRest += 120;
        ScrollBox1MouseWheelDown();
    }
    while (FWheelRest >= 120) {
        FWheelRest -= 120;
        ScrollBox1MouseWheelUp();
    }
    return true;
}

// ---- Zoom -----------------------------------------------------------------------------------

QPointF TForm1::PictureOrigin() const {
    // The exact place last chosen, as long as the view has not been scrolled away from it since.
    const QPoint shown = Image1->mapTo(ScrollBox1->viewport(), QPoint(0, 0));
    if (FOriginValid && shown.x() == int(std::lround(FOrigin.x())) &&
        shown.y() == int(std::lround(FOrigin.y())))
        return FOrigin;
    return QPointF(shown);
}

void TForm1::PlacePicture(QPointF origin) {
    // The content is the picture plus whatever empty room lies between it and the view's sides,
    // so that the picture can sit anywhere: the scroll values put it at `origin` exactly (to the
    // pixel), whether it is larger or smaller than the view.
    const QSize view = ScrollBox1->maximumViewportSize();
    const QSize picture = Image1->ViewSize();
    struct TAxis {
        int Offset, Content, Scroll;
    };
    auto axis = [](double exact, int pictureSize, int viewSize) {
        const long at = std::lround(exact);
        const int offset = int(std::clamp<long>(at, 0, QWIDGETSIZE_MAX / 2));
        const long after = std::max<long>(0, long(viewSize) - (at + pictureSize));
        const int content =
            int(std::min<long>(long(offset) + pictureSize + after, QWIDGETSIZE_MAX));
        const int scroll = int(std::clamp<long>(offset - at, 0, std::max(0, content - viewSize)));
        return TAxis{offset, content, scroll};
    };
    const TAxis x = axis(origin.x(), picture.width(), view.width());
    const TAxis y = axis(origin.y(), picture.height(), view.height());
    PanelCanvas->setFixedSize(picture);
    PanelCanvas->move(x.Offset, y.Offset);
    ViewRoom->setFixedSize(x.Content, y.Content);
    QScrollBar* h = ScrollBox1->horizontalScrollBar();
    QScrollBar* v = ScrollBox1->verticalScrollBar();
    // The ranges now, not when the scroll box next lays itself out.
    h->setRange(0, std::max(0, x.Content - view.width()));
    v->setRange(0, std::max(0, y.Content - view.height()));
    h->setValue(x.Scroll);
    v->setValue(y.Scroll);
    FOrigin = origin;
    FOriginValid = true;
}

void TForm1::CentrePicture(QPointF keep) {
    // A picture smaller than the view sits in its middle; a larger one keeps the picture point
    // `keep` (fractional picture pixels) in the view's middle, within the picture's edges.
    const QSize view = ScrollBox1->maximumViewportSize();
    const QSize picture = Image1->ViewSize();
    auto axis = [](double keepView, int pictureSize, int viewSize) {
        if (pictureSize <= viewSize) return (viewSize - pictureSize) / 2.0;
        const double left = viewSize / 2.0 - keepView;
        return std::clamp(std::round(left), double(viewSize - pictureSize), 0.0);
    };
    const double z = Zoom().Value();
    PlacePicture(QPointF(axis(keep.x() * z, picture.width(), view.width()),
                         axis(keep.y() * z, picture.height(), view.height())));
}

QPointF TForm1::PictureAtViewCentre() const {
    const QPointF origin = PictureOrigin();
    const QSize view = ScrollBox1->maximumViewportSize();
    const double z = Zoom().Value();
    return QPointF((view.width() / 2.0 - origin.x()) / z, (view.height() / 2.0 - origin.y()) / z);
}

void TForm1::SetZoom(TZoom zoom, QPoint anchor) {
    // A zoom chosen stays as the window changes.
    FZoomMode = TZoomMode::Fixed;
    zoom = ClampZoom(zoom);
    const TZoom old = Zoom();
    // The picture point under the anchor (fractional picture pixels) stays under it: the anchor
    // wins over centring, also while the picture is narrower or shorter than the view.
    // An anchor over the empty room beside the picture holds the nearest point of its edge.
    const QPointF origin = PictureOrigin();
    const QSize shown = Image1->ViewSize();
    const double px =
        std::clamp(anchor.x() - origin.x(), 0.0, double(shown.width())) / old.Value();
    const double py =
        std::clamp(anchor.y() - origin.y(), 0.0, double(shown.height())) / old.Value();
    anchor = QPoint(int(std::lround(std::clamp(double(anchor.x()), origin.x(),
                                               origin.x() + shown.width()))),
                    int(std::lround(std::clamp(double(anchor.y()), origin.y(),
                                               origin.y() + shown.height()))));
    Image1->SetZoom(zoom);
    PlacePicture(QPointF(anchor.x() - px * zoom.Value(), anchor.y() - py * zoom.Value()));
    UpdateStatus();
}

void TForm1::ApplyZoomMode() {
    if (WorkBitmap.Empty()) return;
    if (FZoomMode == TZoomMode::Fixed) {
        // The view changed its size: the picture stays where it is, the room around it follows.
        PlacePicture(PictureOrigin());
        return;
    }
    const QSize area = ScrollBox1->maximumViewportSize();
    const int32_t w = WorkBitmap.Width(), h = WorkBitmap.Height();
    TZoom zoom = FitZoom(w, h, area.width(), area.height());
    if (FZoomMode == TZoomMode::Auto && w <= area.width() && h <= area.height()) zoom = {1, 1};
    if (!(zoom == Zoom())) Image1->SetZoom(zoom);
    CentrePicture(QPointF(0, 0));
    UpdateStatus();
}

void TForm1::ZoomForNewPicture() {
    FZoomMode = TZoomMode::Auto;
    FZoomWheelRest = 0;
    FOriginValid = false;
    // The scroll box's size is known even before the window is first shown.
    if (QLayout* l = layout()) l->activate();
    const QSize area = ScrollBox1->maximumViewportSize();
    const int32_t w = WorkBitmap.Width(), h = WorkBitmap.Height();
    TZoom zoom{1, 1};
    if (w > area.width() || h > area.height()) zoom = FitZoom(w, h, area.width(), area.height());
    Image1->SetZoom(zoom);
    CentrePicture(QPointF(0, 0));
    UpdateStatus();
}

// The zoom steps keep the middle of the viewport where it is.
void TForm1::FMZoomInClick() {
    FZoomMode = TZoomMode::Fixed;
    const QSize view = ScrollBox1->maximumViewportSize();
    SetZoom(NextZoomStep(Zoom()), QPoint(view.width() / 2, view.height() / 2));
}

void TForm1::FMZoomOutClick() {
    FZoomMode = TZoomMode::Fixed;
    const QSize view = ScrollBox1->maximumViewportSize();
    SetZoom(PreviousZoomStep(Zoom()), QPoint(view.width() / 2, view.height() / 2));
}

void TForm1::FMZoomFitClick() {
    FZoomMode = TZoomMode::Fit;
    ApplyZoomMode();
}

void TForm1::FMZoom100Click() {
    FZoomMode = TZoomMode::Fixed;
    const QPointF keep = PictureAtViewCentre();
    Image1->SetZoom(TZoom{1, 1});
    CentrePicture(keep);
    UpdateStatus();
}

// ---- Brush size steps -----------------------------------------------------------------------

void TForm1::StepBrush(int step) {
    const auto it = std::find(kBrushSizes.begin(), kBrushSizes.end(), BrushSize);
    const ptrdiff_t index =
        it == kBrushSizes.end()
            ? std::find(kBrushSizes.begin(), kBrushSizes.end(), kDefaultBrushSize) -
                  kBrushSizes.begin()
            : it - kBrushSizes.begin();
    const ptrdiff_t next =
        std::clamp<ptrdiff_t>(index + step, 0, ptrdiff_t(kBrushSizes.size()) - 1);
    FMBrushItems[size_t(next)]->setChecked(true);
    BrushSizeChange();
}

void TForm1::FMBrushSmallerClick() {
    StepBrush(-1);
}

void TForm1::FMBrushLargerClick() {
    StepBrush(1);
}

// ---- Strokes --------------------------------------------------------------------------------

void TForm1::DrawTrail(TPoint from, TPoint to) {
    // The segment shows as it will be committed: only the part it changed is computed.
    const TRect shown = Live.AddSegment(from, to, DisplayBitmap);
    if (shown.Width() <= 0 || shown.Height() <= 0) return;
    FTrailRect = Union(FTrailRect, shown);
    Image1->UpdatePictureRect(shown);
}

void TForm1::RestoreDisplay(TRect rect) {
    rect = Intersect(rect, TRect{0, 0, WorkBitmap.Width(), WorkBitmap.Height()});
    if (rect.Width() <= 0 || rect.Height() <= 0) return;
    if (DisplayBitmap.Width() != WorkBitmap.Width() ||
        DisplayBitmap.Height() != WorkBitmap.Height()) {
        ShowWorkBitmap();
        return;
    }
    const size_t bytes = size_t(rect.Width()) * 3;
    for (int32_t y = rect.Top; y < rect.Bottom; ++y)
        std::memcpy(DisplayBitmap.ScanLine(y) + size_t(rect.Left) * 3,
                    WorkBitmap.ScanLine(y) + size_t(rect.Left) * 3, bytes);
    Image1->UpdatePictureRect(rect);
}

void TForm1::Image1MouseDown(int32_t x, int32_t y, int32_t button) {
    if (DisplayBitmap.Empty() || RectCapture.Dragging || FPanning) return;
    // Another button pressed during a stroke is ignored: the stroke goes on with its points and
    // what it shows, and ends when its own button is released.
    if (Capture->Drawing) return;
    Live.Begin(WorkBitmap, &SourceBitmap, StrokeEffect(), MosaicSize, BrushSize,
               FMSoftenEdge->isChecked());
    const TCaptureResult r = Capture->MouseDown({x, y}, button);
    if (r.Step == TCaptureStep::Ignored) {
        Live.Cancel();
        return;
    }
    FTrailRect = TRect{};
    DrawTrail(r.From, r.To);
}

void TForm1::Image1MouseMove(int32_t x, int32_t y) {
    if (RectCapture.MouseMove({x, y})) {
        Image1->ShowRectOutline(RectCapture.Rect(WorkBitmap.Width(), WorkBitmap.Height()));
        ShowShapePreview();
        return;
    }
    if (!Capture->Drawing) return;
    // Shift is tested only where the lock can engage, from the keyboard's state at that moment.
    const bool shift = Capture->WantsShiftState() &&
                       (QGuiApplication::queryKeyboardModifiers() & Qt::ShiftModifier);
    const TCaptureResult r = Capture->MouseMove({x, y}, shift);
    switch (r.Step) {
        case TCaptureStep::Ignored:
            return;
        case TCaptureStep::Segment:
            DrawTrail(r.From, r.To);
            return;
        case TCaptureStep::Locked: {
            // The freehand part goes; the locked line is shown from the press point.
            RestoreDisplay(Union(FTrailRect, Live.Touched()));
            FTrailRect = TRect{};
            Live.Begin(WorkBitmap, &SourceBitmap, StrokeEffect(), MosaicSize, BrushSize,
                       FMSoftenEdge->isChecked());
            DrawTrail(r.From, r.To);
            return;
        }
    }
}

void TForm1::Image1MouseUp(int32_t button) {
    if (RectCapture.Dragging) {
        if (RectCapture.MouseUp(button)) CommitRect();
        return;
    }
    if (Capture->MouseUp(button)) CommitStroke();
}

void TForm1::Image1RectDown(int32_t x, int32_t y, int32_t button, bool ellipse) {
    if (DisplayBitmap.Empty() || Capture->Drawing || FPanning) return;
    if (!RectCapture.MouseDown({x, y}, button)) return;
    RectCapture.Ellipse = ellipse;
    FShapeShown = TRect{};
    Image1->ShowRectOutline(RectCapture.Rect(WorkBitmap.Width(), WorkBitmap.Height()));
    ShowShapePreview();
}

void TForm1::ShowShapePreview() {
    // The dragged shape shows as it will be committed: the same computation, on the shown copy.
    const TRect old = FShapeShown;
    FShapeShown = TRect{};
    const TRect rect = RectCapture.Rect(WorkBitmap.Width(), WorkBitmap.Height());
    TRect now;
    if (rect.Width() > 0 && rect.Height() > 0 && !DisplayBitmap.Empty()) {
        now = PreviewRectStroke(WorkBitmap, &SourceBitmap,
                                RectCapture.Ellipse ? RectCapture.Unclipped() : rect, MosaicSize,
                                FMSoftenEdge->isChecked(), StrokeEffect(), RectCapture.Ellipse,
                                MaskBitmap, RegionBitmap);
    }
    // What the old shape showed outside the new one goes back to the picture.
    RestoreDisplay(old);
    if (now.Width() > 0 && now.Height() > 0) {
        CopyRegionIn(RegionBitmap, now, DisplayBitmap);
        FShapeShown = now;
        Image1->UpdatePictureRect(now);
    }
}

void TForm1::CommitRect() {
    const TRect rect = RectCapture.Rect(WorkBitmap.Width(), WorkBitmap.Height());
    const TRect shown = FShapeShown;
    FShapeShown = TRect{};
    Image1->ShowRectOutline(TRect{});
    if (rect.Width() <= 0 || rect.Height() <= 0) {
        RestoreDisplay(shown);
        return;
    }
    const bool softEdge = FMSoftenEdge->isChecked();
    // A rectangle after an undo below the saved state drops that state from the history for good.
    if (HistoryPosition() < FSavedPosition) FSavedPosition = -1;
    TStrokeContext ctx{WorkBitmap, RegionBitmap, MaskBitmap, History, &SourceBitmap};
    try {
        ApplyRectStroke(ctx, RectCapture.Ellipse ? RectCapture.Unclipped() : rect, MosaicSize,
                        softEdge, StrokeEffect(), RectCapture.Ellipse);
    } catch (...) {
        RestoreDisplay(shown);
        throw;
    }
    DirtyRect = ComputeRectDirtyRect(rect, softEdge, WorkBitmap.Width(), WorkBitmap.Height());
    FMUndo->setEnabled(true);
    FMRedo->setEnabled(false);
    UpdateModifiedMarker();
    RestoreDisplay(Union(shown, DirtyRect));
}

TStrokeEffect TForm1::StrokeEffect() const {
    if (FMRestore->isChecked()) return TStrokeEffect::Restore;
    return FMSolidFill->isChecked() ? TStrokeEffect::SolidFill : TStrokeEffect::Mosaic;
}

void TForm1::CommitStroke() {
    const TRect trail = Union(FTrailRect, Live.Touched());
    FTrailRect = TRect{};
    DirtyRect = ComputeDirtyRect(Capture->Points(), Capture->PointCount, BrushSize,
                                 WorkBitmap.Width(), WorkBitmap.Height());
    // A stroke after an undo below the saved state drops that state from the history for good.
    if (HistoryPosition() < FSavedPosition) FSavedPosition = -1;
    TStrokeContext ctx{WorkBitmap, RegionBitmap, MaskBitmap, History, &SourceBitmap};
    try {
        // The mask and cells that were shown are the ones committed.
        Live.Commit(ctx, DirtyRect);
    } catch (...) {
        RestoreDisplay(trail);
        throw;
    }
    FMUndo->setEnabled(true);
    FMRedo->setEnabled(false);
    UpdateModifiedMarker();
    // The shown copy already shows the stroke; it is made a copy of WorkBitmap again there.
    RestoreDisplay(Union(trail, DirtyRect));
}

// ---- Save and Save As -----------------------------------------------------------------------

void TForm1::ShowConvertError(const std::string& fileName, const std::string& why) {
    const TLanguageMessages& m = LanguageMessages();
    const QString cause = why.empty() ? Q(m.MBMConvertErr) : Q(why);
    QMessageBox::warning(this, Q(m.MBTConvertErr), Q(fileName) + QStringLiteral("\n\n") + cause);
}

bool TForm1::ConfirmOverwrite(const std::string& fileName) {
    std::error_code ec;
    if (!fs::exists(fileName, ec)) return true;
    const TLanguageMessages& m = LanguageMessages();
    // The question names the file, and says so when it is read-only.
    const bool readOnly =
        (fs::status(fileName, ec).permissions() & fs::perms::owner_write) == fs::perms::none;
    QString text = Q(m.MBMFileReplace) + QStringLiteral("\n\n") + Q(fileName);
    if (readOnly)
        text += QStringLiteral("\n\n") +
                MiscText("MISC_MBM_FILEREADONLY",
                         "The file is read-only. Replaced, it stays read-only.");
    QMessageBox box(QMessageBox::Warning, Q(m.MBTFileReplace), text,
                    QMessageBox::Ok | QMessageBox::Cancel, this);
    box.setObjectName(QStringLiteral("ReplaceBox"));
    if (box.exec() == QMessageBox::Cancel) return false;
    // A read-only file is made writable for the save once the user agreed to replace it.
    if (readOnly) MakeOwnerWritable(fileName);
    return true;
}

void TForm1::FMSaveAsClick() {
    SaveAs();
}

bool TForm1::SaveAs() {
    if (FBusy || WorkBitmap.Empty()) return false;
    // Propose the picture's own name without its extension (nothing after a paste), and its own
    // type where Save As writes it (a PNG stays PNG).
    std::string proposed;
    if (!FileName.empty()) proposed = fs::path(FileName).replace_extension().string();
    SaveDialog1.SetFileName(proposed);
    SaveDialog1.SetProposedFileType(FileName.empty() ? sftUNKNOWN
                                                     : SaveAsTypeForFileName(FileName));
    // The dialog opens in the folder of the picture's file (else where it was last).
    if (!FileName.empty()) SaveDialog1.SetInitialDir(fs::path(FileName).parent_path().string());
    TExifProbe probe;
    std::error_code ec;
    if (!FileName.empty() && fs::is_regular_file(FileName, ec)) {
        try {
            probe = ProbeExif(FileName);
        } catch (const std::exception&) {
            probe = TExifProbe{};  // a source that cannot be probed offers no Exif options
        }
    }
    SaveDialog1.SetExifProbe(probe);
    SaveDialog1.SetSaveOptions(SaveOptions);
    const bool chosen = SaveDialog1.Execute(this);
    TakeInputBack();
    if (!chosen) return false;

    // The confirmed options stay in effect from here on, whatever happens to the file.
    const TSaveOptions options = SaveDialog1.SaveOptions();
    SaveOptions = options;
    // The typed name's extension picks the type when Save As writes it; otherwise the selected
    // type's extension is appended.
    const TSaveAsTarget resolved =
        ResolveSaveAsTarget(SaveDialog1.FileName(), SaveDialog1.SelectedFileType());
    const std::string target = resolved.FileName;
    // A file made writable for the save gets its old mode back when the save fails.
    std::optional<fs::perms> oldMode;
    const fs::file_status status = fs::status(target, ec);
    if (fs::exists(status)) {
        if (!ConfirmOverwrite(target)) return false;
        if (fs::is_regular_file(status)) oldMode = status.permissions();
        MakeOwnerWritable(target);
    }
    auto restoreMode = [&] {
        std::error_code ignored;
        if (oldMode && fs::status(target, ignored).permissions() != *oldMode)
            fs::permissions(target, *oldMode, ignored);
    };
    if (oldMode && ::access(target.c_str(), W_OK) != 0) {
        const int err = errno;
        restoreMode();
        ShowConvertError(target, std::strerror(err));
        return false;
    }
    bool ok = false;
    std::string why;
    TKeepUntouchedSource keep{&SourceJpeg, &SourceBitmap, "", 0};
    {
        TBusyCursor busy;
        const TProgressFn progress = BeginWork();
        try {
            ok = SaveAsByType(WorkBitmap, target, int32_t(resolved.Type), options, FileName, probe,
                              &why, progress, &keep);
        } catch (const std::bad_alloc&) {
            why = "out of memory";
        } catch (const std::exception& e) {
            why = e.what();
        }
        EndWork();
    }
    if (ok) {
        // A read-only file that was replaced stays read-only.
        restoreMode();
        FMSave->setEnabled(true);
        SaveFileName = target;
        FSavedPosition = HistoryPosition();
        std::error_code same;
        if (!FileName.empty() && fs::equivalent(FileName, target, same))
            FSavedAsCaption.clear();
        else
            FSavedAsCaption = Q(fs::path(target).filename().string());
        SetCaptionForFile();
        AddRecent(target);
        ShowKeepUntouchedNote(keep.Note);
        return true;
    }
    restoreMode();
    if (FCancelRequested) return false;  // the old file stays; nothing went wrong
    if (why.empty()) why = WriteObstacle(target);
    ShowConvertError(target, why);
    return false;
}

void TForm1::FMSaveClick() {
    SaveToSaveFileName();
}

bool TForm1::SaveToSaveFileName() {
    if (FBusy || WorkBitmap.Empty() || SaveFileName.empty()) return false;
    // Save never replaces a read-only file: it fails and leaves the file alone.
    std::error_code ec;
    const fs::file_status status = fs::status(SaveFileName, ec);
    if (fs::is_regular_file(status) &&
        ((status.permissions() & (fs::perms::owner_write | fs::perms::group_write |
                                  fs::perms::others_write)) == fs::perms::none ||
         ::access(SaveFileName.c_str(), W_OK) != 0)) {
        ShowConvertError(SaveFileName, std::strerror(EACCES));
        return false;
    }
    TSaveOptions options = SaveOptions;
    options.DCRResourceName = SaveDialog1.Options().DCRResourceName;
    bool ok = false;
    std::string why;
    TKeepUntouchedSource keep{&SourceJpeg, &SourceBitmap, "", 0};
    {
        const TProgressFn progress = BeginWork();
        try {
            ok = SaveByExtension(WorkBitmap, SaveFileName, options, &why, progress, &keep);
        } catch (const std::bad_alloc&) {
            why = "out of memory";
        } catch (const std::exception& e) {
            why = e.what();
        }
        EndWork();
    }
    if (ok) {
        FSavedPosition = HistoryPosition();
        UpdateModifiedMarker();
        ShowKeepUntouchedNote(keep.Note);
        return true;
    }
    if (FCancelRequested) return false;
    // A type without a writer has no cause to name beyond the language file's text.
    if (why.empty() && SaveAsTypeForFileName(SaveFileName) != sftUNKNOWN)
        why = WriteObstacle(SaveFileName);
    ShowConvertError(SaveFileName, why);
    return false;
}

// ---- Unsaved work ---------------------------------------------------------------------------

int32_t TForm1::HistoryPosition() const {
    // Clearing the history leaves its position where it was: with no entries it is 0.
    return std::clamp(History.Position(), 0, History.Count());
}

bool TForm1::IsModified() const {
    return !WorkBitmap.Empty() && HistoryPosition() != FSavedPosition;
}

void TForm1::SetCaption(const QString& caption) {
    FCaption = caption;
    UpdateModifiedMarker();
}

void TForm1::UpdateModifiedMarker() {
    const QString title = IsModified() ? QStringLiteral("*") + FCaption : FCaption;
    if (windowTitle() != title) setWindowTitle(title);
}

bool TForm1::MayDiscardPicture() {
    if (FBusy) return false;
    if (!IsModified()) return true;
    QMessageBox box(QMessageBox::Warning, MiscText("MISC_MBT_UNSAVEDCHANGES", "Unsaved changes"),
                    MiscText("MISC_MBM_UNSAVEDCHANGES",
                             "The picture has changes that are not saved. Save them?"),
                    QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel, this);
    box.setObjectName(QStringLiteral("UnsavedChangesBox"));
    box.button(QMessageBox::Save)->setText(MiscText("MISC_BTN_SAVE", "&Save"));
    box.button(QMessageBox::Discard)->setText(MiscText("MISC_BTN_DISCARD", "&Discard"));
    box.button(QMessageBox::Cancel)->setText(MiscText("MISC_BTN_CANCEL", "Cancel"));
    box.setDefaultButton(QMessageBox::Save);
    box.setEscapeButton(QMessageBox::Cancel);
    switch (box.exec()) {
        case QMessageBox::Discard:
            return true;
        case QMessageBox::Save: {
            // Save writes where it is shown and knows a file of a type it writes (not a TIFF,
            // say); everywhere else Save As runs.
            const bool saveWrites = SaveAsTypeForFileName(SaveFileName) != sftUNKNOWN ||
                                    FileTypeFromExtension(SaveFileName) == ftDCR;
            if (FMSave->isVisible() && FMSave->isEnabled() && !SaveFileName.empty() && saveWrites)
                return SaveToSaveFileName();
            return SaveAs();
        }
        default:
            return false;
    }
}

// ---- Long work ------------------------------------------------------------------------------

TProgressFn TForm1::BeginWork() {
    FBusy = true;
    FCancelRequested = false;
    ProgressBar->setValue(0);
    statusBar()->clearMessage();
    ProgressBar->show();
    ButtonCancelWork->show();
    ButtonCancelWork->setEnabled(true);
    if (!FInputBlocker) FInputBlocker = std::make_unique<TInputBlocker>(ButtonCancelWork);
    QCoreApplication::instance()->installEventFilter(FInputBlocker.get());
    return [this](int32_t percent) { return ReportWork(percent); };
}

void TForm1::EndWork() {
    QCoreApplication::instance()->removeEventFilter(FInputBlocker.get());
    ProgressBar->hide();
    ButtonCancelWork->hide();
    FBusy = false;
}

bool TForm1::ReportWork(int32_t percent) {
    ProgressBar->setValue(percent);
    emit WorkProgress(percent);
    // The window repaints and the Cancel button can be pressed; everything else is held back.
    QCoreApplication::processEvents();
    return !FCancelRequested;
}

void TForm1::ShowKeepUntouchedNote(const std::string& note) {
    // A saved file that could not keep the untouched areas says so in the status bar until the
    // next long work.
    if (note.empty()) return;
    ButtonCancelWork->hide();
    statusBar()->showMessage(Q(note));
}

void TForm1::UpdateStatus() {
    if (WorkBitmap.Empty()) {
        LabelZoom->clear();
        LabelPictureSize->clear();
    } else {
        const TZoom z = Zoom();
        const double percent = 100.0 * double(z.Num) / double(z.Den);
        LabelZoom->setText(QString::number(percent, 'f', percent < 10 ? 1 : 0) +
                           QStringLiteral(" %"));
        LabelPictureSize->setText(QStringLiteral("%1 × %2")
                                      .arg(WorkBitmap.Width())
                                      .arg(WorkBitmap.Height()));
    }
    LabelCellSize->setText(MiscText("MISC_STATUS_CELLS", "Cells %1").replace(
        QStringLiteral("%1"), QString::number(MosaicSize)));
    LabelBrushSize->setText(MiscText("MISC_STATUS_BRUSH", "Brush %1").replace(
        QStringLiteral("%1"), QString::number(BrushSize)));
}

}  // namespace tilvo
