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
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QPainter>
#include <QPixmap>
#include <QScreen>
#include <QScrollBar>
#include <QStandardPaths>
#include <QStatusBar>
#include <QUrl>
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>

#include "Effector/Pixelate.h"
#include "Effector/StrokeBlend.h"
#include "FileFormat/ExifJpeg.h"
#include "FileFormat/FileTypes.h"
#include "FileFormat/Graphic.h"
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
    if (PictureFormats().Find(fs::path(path).extension().string()) == nullptr) return {};
    return path;
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
}

void TImage::SetPicture(const QImage& picture) {
    FPicture = picture;
    setFixedSize(picture.size());
    update();
}

void TImage::paintEvent(QPaintEvent* event) {
    if (FPicture.isNull()) return;
    QPainter p(this);
    const QRect r = event->rect() & FPicture.rect();
    p.drawImage(r.topLeft(), FPicture, r);
}

void TImage::mousePressEvent(QMouseEvent* event) {
    const QPoint pt = event->position().toPoint();
    const int32_t button = int32_t(event->button());
    FForm->ScrollBox1Click();
    FForm->Guarded([&] { FForm->Image1MouseDown(pt.x(), pt.y(), button); });
}

void TImage::mouseMoveEvent(QMouseEvent* event) {
    const QPoint pt = event->position().toPoint();
    FForm->Guarded([&] { FForm->Image1MouseMove(pt.x(), pt.y()); });
}

void TImage::mouseReleaseEvent(QMouseEvent* event) {
    const int32_t button = int32_t(event->button());
    FForm->Guarded([&] { FForm->Image1MouseUp(button); });
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
    setCentralWidget(ScrollBox1);
    PanelCanvas = new QWidget;
    PanelCanvas->setObjectName(QStringLiteral("PanelCanvas"));
    Image1 = new TImage(this, PanelCanvas);
    Image1->setObjectName(QStringLiteral("Image1"));
    ScrollBox1->setWidget(PanelCanvas);
    OpenPictureDialog1 = new QFileDialog(this);
    OpenPictureDialog1->setObjectName(QStringLiteral("OpenPictureDialog1"));
    OpenPictureDialog1->setFileMode(QFileDialog::ExistingFile);
    OpenPictureDialog1->setAcceptMode(QFileDialog::AcceptOpen);
    CreateMenus();
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
    FMSave = action(FMFile, "FMSave", tr("&Save"));
    guarded(FMSave, &TForm1::FMSaveClick);
    FMSaveAs = action(FMFile, "FMSaveAs", tr("Save &as..."));
    guarded(FMSaveAs, &TForm1::FMSaveAsClick);
    FMExit = action(FMFile, "FMExit", tr("E&xit"));
    guarded(FMExit, &TForm1::FMExitClick);

    FMEdit = menu(nullptr, "FMEdit", tr("&Edit"));
    connect(FMEdit, &QMenu::aboutToShow, this, [this] { Guarded([&] { FMEditClick(); }); });
    FMUndo = action(FMEdit, "FMUndo", tr("&Undo"));
    FMUndo->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Z));
    guarded(FMUndo, &TForm1::FMUndoClick);
    FMRedo = action(FMEdit, "FMRedo", tr("&Redo"));
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
    auto mosaicItem = [this](int32_t size) {
        for (QAction* item : FMMosaicPixItems)
            if (item->data().toInt() == size) return item;
        throw Exception("no menu item for mosaic size " + std::to_string(size));
    };
    FMMosaicPix2 = mosaicItem(2);
    FMMosaicPix4 = mosaicItem(4);
    FMMosaicPix8 = mosaicItem(8);
    FMMosaicPix12 = mosaicItem(12);
    FMMosaicPix16 = mosaicItem(16);
    FMMosaicPix4->setChecked(true);
    connect(mosaicGroup, &QActionGroup::triggered, this,
            [this] { Guarded([&] { MosaicPixSizeChange(); }); });

    FMBrushSize = menu(FMMosaic, "FMBrushSize", tr("Brush size"));
    QActionGroup* brushGroup = new QActionGroup(this);
    brushGroup->setExclusive(true);
    FMBrush5 = radio(FMBrushSize, brushGroup, "FMBrush5", QStringLiteral("5"));
    FMBrush8 = radio(FMBrushSize, brushGroup, "FMBrush8", QStringLiteral("8"));
    FMBrush10 = radio(FMBrushSize, brushGroup, "FMBrush10", QStringLiteral("10"));
    FMBrush20 = radio(FMBrushSize, brushGroup, "FMBrush20", QStringLiteral("20"));
    FMBrush30 = radio(FMBrushSize, brushGroup, "FMBrush30", QStringLiteral("30"));
    FMBrush40 = radio(FMBrushSize, brushGroup, "FMBrush40", QStringLiteral("40"));
    FMBrush50 = radio(FMBrushSize, brushGroup, "FMBrush50", QStringLiteral("50"));
    FMBrush20->setChecked(true);
    connect(brushGroup, &QActionGroup::triggered, this,
            [this] { Guarded([&] { BrushSizeChange(); }); });
    FMSoftenEdge = action(FMMosaic, "FMSoftenEdge", tr("Soften edge"));
    FMSoftenEdge->setCheckable(true);
    FMSoftenEdge->setChecked(true);

    FMHelp = new QAction(QStringLiteral("?"), this);
    FMHelp->setObjectName(QStringLiteral("FMHelp"));
    menuBar()->addAction(FMHelp);
    guarded(FMHelp, &TForm1::FMHelpClick);
}

void TForm1::FormCreate() {
    setWindowTitle(QLatin1String(kTilvoTitle));
    const std::string exeDir = fs::path(FExePath).parent_path().string();
    SetLanguageBaseDir(exeDir);
    SetLanguageFolder("Lang/");

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
    BrushSize = 20;
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

    SelectLanguage(kLanguageJapanese);
    LoadLanguageMessages();
    ApplyLanguageToForm(this);
    ApplyDialogTexts(SaveDialog1);

    OpenPictureDialog1->setNameFilter(OpenDialogFilter(BuildOpenDialogFilter(SystemIsJapanese())));
    for (const TKorvaneFileTypeInfo& row : FileTypeInfos())
        SaveDialog1.AddFileType(row.DisplayName, row.FileMask);

    Capture->AxisLocked = false;
    BrushCursor = MakeBrushCursor();
    Image1->setCursor(BrushCursor);

    FSettingsFile = SettingsFilePath(
        FExePath,
        QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation).toStdString());
    LoadSettings();

    Image1->SetPicture(QImage());
    UpdateClipboardActions();
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
    const TSettings& s = FSettings;
    move(s.Left, s.Top);
    resize(s.Width, s.Height);
    FMSave->setVisible(s.CanOverWrite);
    const std::pair<int32_t, QAction*> mosaics[] = {{2, FMMosaicPix2},
                                                    {4, FMMosaicPix4},
                                                    {8, FMMosaicPix8},
                                                    {12, FMMosaicPix12},
                                                    {16, FMMosaicPix16}};
    for (const auto& [size, item] : mosaics)
        if (s.MosaicSize == size) item->setChecked(true);
    const std::pair<int32_t, QAction*> brushes[] = {
        {5, FMBrush5},   {8, FMBrush8},   {10, FMBrush10}, {20, FMBrush20},
        {30, FMBrush30}, {40, FMBrush40}, {50, FMBrush50}};
    for (const auto& [size, item] : brushes)
        if (s.BrushSize == size) item->setChecked(true);
    FMSoftenEdge->setChecked(s.SoftenEdge);
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
    s.MosaicSize = FMMosaicPix2->isChecked()    ? 2
                   : FMMosaicPix4->isChecked()  ? 4
                   : FMMosaicPix8->isChecked()  ? 8
                   : FMMosaicPix12->isChecked() ? 12
                   : FMMosaicPix16->isChecked() ? 16
                                                : 4;
    s.BrushSize = FMBrush5->isChecked()    ? 5
                  : FMBrush8->isChecked()  ? 8
                  : FMBrush10->isChecked() ? 10
                  : FMBrush20->isChecked() ? 20
                  : FMBrush30->isChecked() ? 30
                  : FMBrush40->isChecked() ? 40
                  : FMBrush50->isChecked() ? 50
                                           : 20;
    s.SoftenEdge = FMSoftenEdge->isChecked();
    s.SaveOptions = SaveOptions;
    s.SaveOptions.DCRResourceName.clear();
    if (s.LegacySaveDialog) s.LegacySaveDialog = SaveDialog1.UseLegacyDialog();
    s.Save(FSettingsFile);
}

// ---- Opening pictures -----------------------------------------------------------------------

void TForm1::SetCaptionForFile() {
    setWindowTitle(Q(fs::path(FileName).filename().string()) + QStringLiteral(" - ") +
                   QLatin1String(kTilvoTitle));
}

void TForm1::OpenPictureFile(const std::string& fileName) {
    std::error_code ec;
    if (fileName.empty() || !fs::is_regular_file(fileName, ec)) return;
    // The window switches only once the new picture is read and every copy of it can be made: a
    // failure at any step leaves the picture, its history, the caption and Save as they were.
    // The reader decodes into the shown copy's buffer (a buffer that is mapped already costs far
    // less than a fresh one); the shown copy is remade from WorkBitmap when the open fails.
    TBitmap loaded;
    loaded.Swap(DisplayBitmap);
    loaded.Resize(0, 0, pf24bit);
    try {
        std::vector<uint8_t> jpegBytes;
        LoadPictureFile(fileName, loaded, &jpegBytes);
        TakeNewPicture(loaded, [&] {
            SourceJpeg.swap(jpegBytes);
            FileName = fileName;
            SetCaptionForFile();
            FMSaveAs->setEnabled(true);
            FMSave->setEnabled(true);
            SaveFileName = FileName;
        });
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
        if (WorkBitmap.Empty()) {
            Image1->SetPicture(QImage());
        } else {
            Image1->SetPicture(QImage(WorkBitmap.ScanLine(0), WorkBitmap.Width(),
                                      WorkBitmap.Height(), qsizetype(WorkBitmap.Stride()),
                                      QImage::Format_BGR888));
        }
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
    FTrailRect = TRect{};
    ShowWorkBitmap();
    PanelCanvas->setFixedSize(WorkBitmap.Width(), WorkBitmap.Height());
    PanelCanvas->show();
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

void TForm1::FMOpenClick() {
    if (OpenPictureDialog1->exec() != QDialog::Accepted) return;
    const QStringList files = OpenPictureDialog1->selectedFiles();
    if (!files.isEmpty()) OpenPictureFile(files.front().toStdString());
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
    Guarded([&] { OpenPictureFile(fileName); });
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
    const QMimeData* mime = QGuiApplication::clipboard()->mimeData();
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
        setWindowTitle(QStringLiteral("Clipboard - ") + QLatin1String(kTilvoTitle));
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
    MosaicSize = 4;
    for (QAction* item : FMMosaicPixItems)
        if (item->isChecked()) MosaicSize = item->data().toInt();
}

void TForm1::BrushSizeChange() {
    BrushSize = 20;
    const std::pair<int32_t, QAction*> brushes[] = {
        {5, FMBrush5},   {8, FMBrush8},   {10, FMBrush10}, {20, FMBrush20},
        {30, FMBrush30}, {40, FMBrush40}, {50, FMBrush50}};
    for (const auto& [size, item] : brushes) {
        if (item->isChecked()) {
            BrushSize = size;
            break;
        }
    }
    DisplayBitmap.Canvas().Pen.Width = BrushSize;
    MaskBitmap.Canvas().Pen.Width = BrushSize;
}

void TForm1::FMUndoClick() {
    if (History.Position() <= 0) return;
    TBitmap replayed;
    replayed.Assign(SourceBitmap);
    const bool more = History.Undo(replayed);
    WorkBitmap.Swap(replayed);
    ShowWorkBitmap();
    FMUndo->setEnabled(more);
    FMRedo->setEnabled(true);
}

void TForm1::FMRedoClick() {
    if (History.Position() >= History.Count()) return;
    TBitmap replayed;
    replayed.Assign(SourceBitmap);
    const bool more = History.Redo(replayed);
    WorkBitmap.Swap(replayed);
    ShowWorkBitmap();
    FMRedo->setEnabled(more);
    FMUndo->setEnabled(true);
}

void TForm1::FMHelpClick() {
    QMessageBox::about(this, QStringLiteral("Tilvo"),
                       QLatin1String(kTilvoTitle) + QStringLiteral("\n\n") +
                           tr("Hides parts of a picture behind a pixel mosaic.") +
                           QStringLiteral("\n") + QLatin1String(kTilvoHomePage));
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

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    if (watched == ScrollBox1->viewport()) {
        if (event->type() == QEvent::MouseButtonPress) ScrollBox1Click();
        if (event->type() == QEvent::Wheel) {
            const QWheelEvent* wheel = static_cast<QWheelEvent*>(event);
            const int dy = wheel->angleDelta().y();
            if (dy != 0) {
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
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

// ---- Strokes --------------------------------------------------------------------------------

void TForm1::DrawTrail(TPoint from, TPoint to) {
    TCanvas& canvas = DisplayBitmap.Canvas();
    canvas.MoveTo(from.X, from.Y);
    canvas.LineTo(to.X, to.Y);
    const int32_t reach = BrushSize / 2 + 2;
    const TRect segment{std::min(from.X, to.X) - reach, std::min(from.Y, to.Y) - reach,
                        std::max(from.X, to.X) + reach + 1, std::max(from.Y, to.Y) + reach + 1};
    const TRect shown =
        Intersect(segment, TRect{0, 0, DisplayBitmap.Width(), DisplayBitmap.Height()});
    if (shown.Width() <= 0 || shown.Height() <= 0) return;
    FTrailRect = Union(FTrailRect, shown);
    Image1->update(shown.Left, shown.Top, shown.Width(), shown.Height());
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
    Image1->update(rect.Left, rect.Top, rect.Width(), rect.Height());
}

void TForm1::Image1MouseDown(int32_t x, int32_t y, int32_t button) {
    if (DisplayBitmap.Empty()) return;
    // Another button pressed during a stroke is ignored: the stroke goes on with its points and
    // its trail, and ends when its own button is released.
    const TCaptureResult r = Capture->MouseDown({x, y}, button);
    if (r.Step == TCaptureStep::Ignored) return;
    FTrailRect = TRect{};
    TCanvas& canvas = DisplayBitmap.Canvas();
    canvas.Pen.Mode = pmMerge;
    canvas.Pen.Color = TrailColor;
    canvas.Pen.Width = BrushSize;
    DrawTrail(r.From, r.To);
}

void TForm1::Image1MouseMove(int32_t x, int32_t y) {
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
            // The freehand trail goes; the locked line is drawn from the press point.
            const int32_t reach = BrushSize / 2 + 2;
            RestoreDisplay(Union(FTrailRect, TRect{r.Erase.Left - reach, r.Erase.Top - reach,
                                                   r.Erase.Right + reach, r.Erase.Bottom + reach}));
            FTrailRect = TRect{};
            DrawTrail(r.From, r.To);
            return;
        }
    }
}

void TForm1::Image1MouseUp(int32_t button) {
    if (Capture->MouseUp(button)) CommitStroke();
}

void TForm1::CommitStroke() {
    const TRect trail = FTrailRect;
    FTrailRect = TRect{};
    DirtyRect = ComputeDirtyRect(Capture->Points(), Capture->PointCount, BrushSize,
                                 WorkBitmap.Width(), WorkBitmap.Height());
    TStrokeContext ctx{WorkBitmap, RegionBitmap, MaskBitmap, History};
    try {
        ApplyStroke(ctx, Capture->Points(), Capture->PointCount, DirtyRect, MosaicSize, BrushSize,
                    FMSoftenEdge->isChecked());
    } catch (...) {
        RestoreDisplay(trail);
        throw;
    }
    FMUndo->setEnabled(true);
    FMRedo->setEnabled(false);
    // The trail goes and the mosaic shows: only what either touched is copied.
    RestoreDisplay(Union(trail, DirtyRect));
    DisplayBitmap.Canvas().Pen.Color = TrailColor;
    DisplayBitmap.Canvas().Pen.Width = BrushSize;
}

// ---- Save and Save As -----------------------------------------------------------------------

void TForm1::ShowConvertError(const std::string& why) {
    const TLanguageMessages& m = LanguageMessages();
    QString text = Q(m.MBMConvertErr);
    if (!why.empty()) text += QStringLiteral("\n\n") + Q(why);
    QMessageBox::warning(this, Q(m.MBTConvertErr), text);
}

bool TForm1::ConfirmOverwrite(const std::string& fileName) {
    std::error_code ec;
    if (!fs::exists(fileName, ec)) return true;
    const TLanguageMessages& m = LanguageMessages();
    const auto answer = QMessageBox::warning(this, Q(m.MBTFileReplace), Q(m.MBMFileReplace),
                                             QMessageBox::Ok | QMessageBox::Cancel);
    if (answer == QMessageBox::Cancel) return false;
    // A read-only file is made writable once the user agreed to replace it.
    if ((fs::status(fileName, ec).permissions() & fs::perms::owner_write) == fs::perms::none)
        MakeOwnerWritable(fileName);
    return true;
}

void TForm1::FMSaveAsClick() {
    SaveAs();
}

void TForm1::SaveAs() {
    if (WorkBitmap.Empty()) return;
    // Propose the picture's own name without its extension (nothing after a paste).
    std::string proposed;
    if (!FileName.empty()) proposed = fs::path(FileName).replace_extension().string();
    SaveDialog1.SetFileName(proposed);
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
    if (!SaveDialog1.Execute(this)) return;

    // The confirmed options stay in effect from here on, whatever happens to the file.
    const TSaveOptions chosen = SaveDialog1.SaveOptions();
    SaveOptions = chosen;
    const std::string target = SaveDialog1.FileName();
    // A file made writable for the save gets its old mode back when the save fails.
    std::optional<fs::perms> oldMode;
    const fs::file_status status = fs::status(target, ec);
    if (fs::exists(status)) {
        if (!ConfirmOverwrite(target)) return;
        if (fs::is_regular_file(status)) oldMode = status.permissions();
        MakeOwnerWritable(target);
    }
    auto restoreMode = [&] {
        std::error_code ignored;
        if (oldMode && fs::status(target, ignored).permissions() != *oldMode)
            fs::permissions(target, *oldMode, ignored);
    };
    if (oldMode && ::access(target.c_str(), W_OK) != 0) {
        restoreMode();
        ShowConvertError();
        return;
    }
    bool ok = false;
    std::string why;
    TKeepUntouchedSource keep{&SourceJpeg, &SourceBitmap, "", 0};
    {
        TBusyCursor busy;
        try {
            ok = SaveAsByType(WorkBitmap, target, int32_t(SaveDialog1.SelectedFileType()), chosen,
                              FileName, probe, &why, &keep);
        } catch (...) {
            restoreMode();
            throw;
        }
    }
    if (ok) {
        FMSave->setEnabled(true);
        SaveFileName = target;
        ShowKeepUntouchedNote(keep.Note);
    } else {
        restoreMode();
        ShowConvertError(why);
    }
}

void TForm1::FMSaveClick() {
    if (WorkBitmap.Empty() || SaveFileName.empty()) return;
    // Save never replaces a read-only file: it fails and leaves the file alone.
    std::error_code ec;
    const fs::file_status status = fs::status(SaveFileName, ec);
    if (fs::is_regular_file(status) &&
        ((status.permissions() & (fs::perms::owner_write | fs::perms::group_write |
                                  fs::perms::others_write)) == fs::perms::none ||
         ::access(SaveFileName.c_str(), W_OK) != 0)) {
        ShowConvertError();
        return;
    }
    TSaveOptions options = SaveOptions;
    options.DCRResourceName = SaveDialog1.Options().DCRResourceName;
    std::string why;
    TKeepUntouchedSource keep{&SourceJpeg, &SourceBitmap, "", 0};
    if (!SaveByExtension(WorkBitmap, SaveFileName, options, &why, &keep))
        ShowConvertError(why);
    else
        ShowKeepUntouchedNote(keep.Note);
}

void TForm1::ShowKeepUntouchedNote(const std::string& note) {
    // A saved file that could not keep the untouched areas says so in the status bar (made when
    // first needed); a quiet save clears it.
    if (!note.empty())
        statusBar()->showMessage(QString::fromStdString(note));
    else if (auto* bar = findChild<QStatusBar*>())
        bar->clearMessage();
}

}  // namespace tilvo
