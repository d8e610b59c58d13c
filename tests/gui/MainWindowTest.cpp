// The main window, driven offscreen: its three states, strokes with undo and redo, the Shift lock,
// the clipboard, dropped files, the menus, Save and Save As, the settings file and the cost of a
// mouse move during a stroke.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <QAbstractButton>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDropEvent>
#include <QFileDialog>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QStatusBar>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>

#include "Effector/Pixelate.h"
#include "FileFormat/DcrImageA.h"
#include "FileFormat/ExifJpeg.h"
#include "FileFormat/Graphic.h"
#include "FileFormat/JPEGImage.h"
#include "FileFormat/SaveDispatch.h"
#include "FileFormat/Stream.h"
#include "app/Unit1.h"
#include "PictureCompare.h"
#include "UnsavedChangesAnswer.h"
#include "lang/IniFile.h"

// Every heap allocation of the process (operator new and Qt's containers both end in malloc) is
// counted while g_countAllocations is set: through the sanitizer's allocation hook in a sanitized
// build, else by putting a counting malloc in front of the C library's.
namespace {
std::atomic<bool> g_countAllocations{false};
std::atomic<long> g_allocations{0};
void CountAllocation() {
    if (g_countAllocations.load(std::memory_order_relaxed)) ++g_allocations;
}
}  // namespace

#if defined(__SANITIZE_ADDRESS__)
#define TILVO_SANITIZED_ALLOCATOR 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TILVO_SANITIZED_ALLOCATOR 1
#endif
#endif

#ifdef TILVO_SANITIZED_ALLOCATOR
// The sanitizer runtime's hook (declared here: GCC ships no header for it).
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void*, size_t),
                                                         void (*)(const volatile void*));
namespace {
void MallocHook(const volatile void*, size_t) {
    CountAllocation();
}
void FreeHook(const volatile void*) {}
const int g_hooksInstalled = __sanitizer_install_malloc_and_free_hooks(MallocHook, FreeHook);
}  // namespace
#else
extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* __libc_realloc(void*, size_t);
extern "C" void* malloc(size_t n) {
    CountAllocation();
    return __libc_malloc(n);
}
extern "C" void* calloc(size_t n, size_t size) {
    CountAllocation();
    return __libc_calloc(n, size);
}
extern "C" void* realloc(void* p, size_t n) {
    CountAllocation();
    return __libc_realloc(p, n);
}
#endif

namespace tilvo {
namespace {

namespace fs = std::filesystem;

QImage ToImage(const TBitmap& b) {
    QImage image(b.Width(), b.Height(), QImage::Format_RGB32);
    for (int32_t y = 0; y < b.Height(); ++y)
        for (int32_t x = 0; x < b.Width(); ++x) {
            const uint8_t* p = b.ScanLine(y) + 3 * x;
            image.setPixel(x, y, qRgb(p[2], p[1], p[0]));
        }
    return image;
}

struct TBoxSeen {
    bool shown = false;
    QString title;
    QString text;
};

// Runs `action`; the first message box it opens is answered with `button` and reported.
TBoxSeen AnswerMessageBox(const std::function<void()>& action,
                          QMessageBox::StandardButton button = QMessageBox::Ok) {
    TBoxSeen seen;
    QTimer timer;
    timer.setInterval(5);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || seen.shown || box->objectName() == kUnsavedChangesBox) return;
        seen = {true, box->windowTitle(), box->text()};
        if (QAbstractButton* b = box->button(button))
            b->click();
        else
            box->reject();
    });
    timer.start();
    action();
    timer.stop();
    return seen;
}

// Runs `action`, answering every message box it opens with OK; answers their titles in order.
std::vector<QString> AnswerEveryMessageBox(const std::function<void()>& action) {
    std::vector<QString> titles;
    QTimer timer;
    timer.setInterval(5);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible() || box->objectName() == kUnsavedChangesBox) return;
        titles.push_back(box->windowTitle());
        if (QAbstractButton* b = box->button(QMessageBox::Ok))
            b->click();
        else
            box->reject();
    });
    timer.start();
    action();
    timer.stop();
    return titles;
}

// Answers the next file dialog with a name and a type (or cancels it), as a user types them.
void AnswerFileDialog(const QString& path, const QString& filter, bool accept,
                      QString* proposedName = nullptr) {
    QTimer::singleShot(0, [=] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!dialog) {
            QTimer::singleShot(5, [=] { AnswerFileDialog(path, filter, accept, proposedName); });
            return;
        }
        if (proposedName) {
            if (auto* edit = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
                *proposedName = edit->text();
        }
        if (!accept) {
            dialog->reject();
            return;
        }
        if (!filter.isEmpty()) dialog->selectNameFilter(filter);
        // What a user types into the name field.
        if (auto* edit = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
            edit->setText(path);
        QMetaObject::invokeMethod(dialog, "accept");
    });
}

class MainWindow : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("tilvo_window_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "bin");
        exe_ = (dir_ / "bin" / "tilvo").string();
        PaintPattern(picture_, 96, 80);
        picture_.SaveToFile(File("picture.bmp"));
        QGuiApplication::clipboard()->clear();
    }
    void TearDown() override {
        form_.reset();
        fs::remove_all(dir_);
    }

    std::string File(const std::string& name) const { return (dir_ / name).string(); }

    TForm1& NewForm(std::vector<std::string> args = {}) {
        form_.reset();
        form_ = std::make_unique<TForm1>(exe_, args);
        return *form_;
    }

    // The stroke tests below measure their strokes with the sizes of earlier first runs.
    static void UseCells4Brush20(TForm1& f) {
        f.FMMosaicPix4->trigger();
        f.FMBrush20->trigger();
    }

    // A stroke through real mouse events on Image1.
    void Drag(TForm1& f, std::initializer_list<QPoint> points) {
        auto it = points.begin();
        QTest::mousePress(f.Image1, Qt::LeftButton, {}, *it);
        for (++it; it != points.end(); ++it) {
            QMouseEvent move(QEvent::MouseMove, QPointF(*it), f.Image1->mapToGlobal(QPointF(*it)),
                             Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(f.Image1, &move);
        }
        QTest::mouseRelease(f.Image1, Qt::LeftButton, {}, *(points.end() - 1));
    }

    fs::path dir_;
    std::string exe_;
    TBitmap picture_;
    std::unique_ptr<TForm1> form_;
};

// ---- The three states --------------------------------------------------------------------------

TEST_F(MainWindow, StartsEmptyWithoutAPictureOrWithAMissingFile) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, std::vector<std::string>{File("missing.bmp")}}) {
        TForm1& f = NewForm(args);
        EXPECT_EQ(f.windowTitle(), "Tilvo v1.47");
        EXPECT_TRUE(f.PanelCanvas->isHidden());
        EXPECT_FALSE(f.FMSaveAs->isEnabled());
        EXPECT_FALSE(f.FMSave->isEnabled());
        EXPECT_FALSE(f.FMUndo->isEnabled());
        EXPECT_FALSE(f.FMRedo->isEnabled());
        EXPECT_FALSE(f.FMHistoryPalette->isVisible());
        EXPECT_TRUE(f.FileName.empty());
        EXPECT_TRUE(f.SaveFileName.empty());
        f.FMEditClick();
        EXPECT_FALSE(f.FMCopyToClipboard->isEnabled());
        EXPECT_FALSE(f.FMPaste->isEnabled());
    }
}

TEST_F(MainWindow, OpensTheFileNamedOnTheCommandLine) {
    // Save is offered (a hidden menu item reads as disabled).
    std::ofstream(dir_ / "bin" / "tilvo.ini") << "[General]\nCanOverWrite=1\n";
    TForm1& f = NewForm({File("picture.bmp")});
    EXPECT_EQ(f.windowTitle(), "picture.bmp - Tilvo v1.47");
    EXPECT_FALSE(f.PanelCanvas->isHidden());
    EXPECT_EQ(f.PanelCanvas->size(), QSize(96, 80));
    EXPECT_EQ(f.Image1->size(), QSize(96, 80));
    EXPECT_TRUE(f.FMSaveAs->isEnabled());
    EXPECT_TRUE(f.FMSave->isEnabled());
    EXPECT_EQ(f.FileName, File("picture.bmp"));
    EXPECT_EQ(f.SaveFileName, File("picture.bmp"));
    EXPECT_TRUE(SamePixels(f.SourceBitmap, picture_));
    EXPECT_TRUE(SamePixels(f.WorkBitmap, picture_));
    EXPECT_TRUE(SamePixels(f.DisplayBitmap, picture_));
    EXPECT_EQ(f.MosaicSize, 16);  // the first run's cells
    f.FMEditClick();
    EXPECT_TRUE(f.FMCopyToClipboard->isEnabled());
}

TEST_F(MainWindow, CommandLineNamesResolveAgainstTheCallersFolder) {
    fs::copy_file(File("picture.bmp"), File("my photo.bmp"));
    const fs::path before = fs::current_path();
    fs::current_path(dir_);
    struct Case {
        std::vector<std::string> args;
        std::string opened;
    };
    const Case cases[] = {
        {{"my", "photo.bmp"}, File("my photo.bmp")},         // split at its space: joined again
        {{"gone.bmp", "picture.bmp"}, File("picture.bmp")},  // else the first word that exists
        {{"./picture.bmp"}, File("./picture.bmp")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.front());
        TForm1& f = NewForm(c.args);
        EXPECT_EQ(f.FileName, c.opened);
        EXPECT_TRUE(f.FMSaveAs->isEnabled());
    }

    // A named file that does not exist: the window starts empty and says which file it missed.
    TBoxSeen box;
    box = AnswerMessageBox([&] {
        NewForm({"nothere.bmp"});
        QApplication::processEvents();
    });
    fs::current_path(before);
    EXPECT_TRUE(box.shown);
    EXPECT_EQ(box.text, QString::fromStdString("File not found: " + File("nothere.bmp")));
    EXPECT_TRUE(form_->FileName.empty());
    EXPECT_FALSE(form_->FMSaveAs->isEnabled());
}

TEST_F(MainWindow, PasteMakesAClipboardPictureThatOnlySaveAsCanWrite) {
    std::ofstream(dir_ / "bin" / "tilvo.ini") << "[General]\nCanOverWrite=1\n";
    TForm1& f = NewForm({File("picture.bmp")});
    TBitmap pasted;
    PaintPattern(pasted, 40, 30, 5);
    QGuiApplication::clipboard()->setImage(ToImage(pasted));
    f.FMEditClick();
    ASSERT_TRUE(f.FMPaste->isEnabled());
    f.FMPasteClick();
    EXPECT_EQ(f.windowTitle(), "Clipboard - Tilvo v1.47");
    EXPECT_TRUE(f.FileName.empty());
    EXPECT_EQ(f.SaveFileName, File("picture.bmp")) << "Save's file is left as it was";
    EXPECT_TRUE(f.FMSaveAs->isEnabled());
    EXPECT_FALSE(f.FMSave->isEnabled());
    EXPECT_TRUE(SamePixels(f.SourceBitmap, pasted));
    EXPECT_TRUE(SamePixels(f.WorkBitmap, pasted));
    EXPECT_EQ(f.PanelCanvas->size(), QSize(40, 30));

    // Nothing usable on the clipboard: Paste is disabled and does nothing.
    QGuiApplication::clipboard()->setText(QStringLiteral("just text"));
    f.FMEditClick();
    EXPECT_FALSE(f.FMPaste->isEnabled());
    f.FMPasteClick();
    EXPECT_TRUE(SamePixels(f.WorkBitmap, pasted));
}

TEST_F(MainWindow, PasteTakesASinglePictureFileFromTheClipboard) {
    TForm1& f = NewForm();
    auto* mime = new QMimeData;
    mime->setUrls({QUrl::fromLocalFile(QString::fromStdString(File("picture.bmp")))});
    QGuiApplication::clipboard()->setMimeData(mime);
    f.FMEditClick();
    ASSERT_TRUE(f.FMPaste->isEnabled());
    f.FMPasteClick();
    EXPECT_EQ(f.windowTitle(), "Clipboard - Tilvo v1.47");
    EXPECT_TRUE(f.FileName.empty());
    EXPECT_TRUE(SamePixels(f.WorkBitmap, picture_));

    // Two files, or a file that is no picture, are nothing to paste.
    auto* two = new QMimeData;
    two->setUrls({QUrl::fromLocalFile(QString::fromStdString(File("picture.bmp"))),
                  QUrl::fromLocalFile(QString::fromStdString(File("picture.bmp")))});
    QGuiApplication::clipboard()->setMimeData(two);
    EXPECT_FALSE(TForm1::ClipboardHasPicture());
    std::ofstream(File("notes.txt")) << "text";
    auto* text = new QMimeData;
    text->setUrls({QUrl::fromLocalFile(QString::fromStdString(File("notes.txt")))});
    QGuiApplication::clipboard()->setMimeData(text);
    EXPECT_FALSE(TForm1::ClipboardHasPicture());

    // A picture without an extension is taken by its content.
    fs::copy_file(File("picture.bmp"), File("scan"));
    auto* bare = new QMimeData;
    bare->setUrls({QUrl::fromLocalFile(QString::fromStdString(File("scan")))});
    QGuiApplication::clipboard()->setMimeData(bare);
    EXPECT_TRUE(TForm1::ClipboardHasPicture());
    f.FMPasteClick();
    EXPECT_TRUE(SamePixels(f.WorkBitmap, picture_));
}

TEST_F(MainWindow, CopyPutsTheEditedPictureOnTheClipboard) {
    TForm1& f = NewForm({File("picture.bmp")});
    f.show();
    Drag(f, {{20, 20}, {40, 30}});
    ASSERT_FALSE(SamePixels(f.WorkBitmap, picture_));
    f.FMCopyToClipboardClick();
    const QImage copied = QGuiApplication::clipboard()->image();
    ASSERT_EQ(copied.size(), QSize(96, 80));
    EXPECT_EQ(copied, ToImage(f.WorkBitmap));
    // The clipboard keeps its own copy: later strokes do not reach it.
    Drag(f, {{70, 60}, {80, 70}});
    EXPECT_EQ(QGuiApplication::clipboard()->image(), copied);
}

TEST_F(MainWindow, AFileThatCannotBeReadKeepsThePictureAndItsHistory) {
    TForm1& f = NewForm({File("picture.bmp")});
    f.show();
    Drag(f, {{20, 20}, {40, 30}});
    TBitmap edited;
    edited.Assign(f.WorkBitmap);
    std::ofstream(File("broken.bmp"), std::ios::binary) << "BM not really a bitmap";
    const TBoxSeen box =
        AnswerMessageBox([&] { f.Guarded([&] { f.OpenPictureFile(File("broken.bmp")); }); });
    EXPECT_TRUE(box.shown);
    EXPECT_EQ(box.title, "Tilvo");
    EXPECT_FALSE(box.text.isEmpty());
    EXPECT_EQ(f.FileName, File("picture.bmp"));
    EXPECT_EQ(f.windowTitle(), "*picture.bmp - Tilvo v1.47") << "still modified";
    EXPECT_TRUE(SamePixels(f.WorkBitmap, edited));
    EXPECT_TRUE(f.FMUndo->isEnabled());
    EXPECT_EQ(f.History.Count(), 1);
}

// Opening or pasting runs out of memory at each surface it needs in turn (the reader's, the
// 24-bit conversion, the working, shown and preview copies when the old buffers are too small):
// every time the window keeps its picture, history, caption, Save and what it shows, and strokes
// go on working; once every allocation succeeds the new picture is in.
TEST_F(MainWindow, RunningOutOfMemoryAtAnyStepOfOpeningChangesNothing) {
    // Palette pictures, so that the conversion to 24 bits is one of the steps: one larger than
    // the open picture (every buffer is new) and one smaller (the old buffers are reused).
    auto palettePicture = [&](const std::string& name, int32_t w, int32_t h, TBitmap& expected) {
        TBitmap palette(w, h, pf8bit);
        for (int i = 0; i < 256; ++i)
            palette.Palette().push_back(
                TPaletteEntry{uint8_t(i), uint8_t(255 - i), uint8_t(i * 3), 0});
        for (int32_t y = 0; y < h; ++y)
            for (int32_t x = 0; x < w; ++x) palette.ScanLine(y)[x] = uint8_t(x * 4 + y);
        palette.SaveToFile(File(name));
        expected.Assign(palette);
        expected.SetPixelFormat(pf24bit);
    };
    TBitmap large, small;
    palettePicture("large.bmp", 200, 150, large);
    palettePicture("small.bmp", 60, 50, small);

    struct Case {
        const char* name;
        std::function<void(TForm1&)> open;
        const TBitmap& expected;
        std::string fileName;
        QString caption;
        int leastFailures;
    };
    const Case cases[] = {
        {"open a larger picture", [&](TForm1& f) { f.OpenPictureFile(File("large.bmp")); }, large,
         File("large.bmp"), QStringLiteral("large.bmp - Tilvo v1.47"), 4},
        {"open a smaller picture", [&](TForm1& f) { f.OpenPictureFile(File("small.bmp")); }, small,
         File("small.bmp"), QStringLiteral("small.bmp - Tilvo v1.47"), 1},
        {"paste a larger picture",
         [&](TForm1& f) {
             QGuiApplication::clipboard()->setImage(ToImage(large));
             TUnsavedChangesAnswer discard(QMessageBox::Discard);
             f.FMPasteClick();
         },
         large, std::string(), QStringLiteral("Clipboard - Tilvo v1.47"), 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TForm1& f = NewForm({File("picture.bmp")});
        f.FMSave->setVisible(true);
        f.show();
        Drag(f, {{20, 20}, {40, 30}});
        TBitmap edited, source;
        edited.Assign(f.WorkBitmap);
        source.Assign(f.SourceBitmap);
        const QImage shown = f.Image1->Picture().copy();

        int failures = 0, namedFailures = 0;
        for (int64_t n = 0;; ++n) {
            SCOPED_TRACE(n);
            ASSERT_LT(n, 100) << "the open never succeeded";
            FailSurfaceAllocationAfter(n);
            const TBoxSeen box = AnswerMessageBox([&] { f.Guarded([&] { c.open(f); }); });
            FailSurfaceAllocationAfter(-1);
            if (!box.shown) break;
            ++failures;
            // The reader's own picture names the file and what it needs; the window's later
            // copies say "out of memory".
            const QString reading = QStringLiteral("not enough memory to open \"") +
                                    QString::fromStdString(c.fileName) + "\" (it needs about ";
            if (box.text.startsWith(reading))
                ++namedFailures;
            else
                EXPECT_EQ(box.text, "out of memory");
            EXPECT_EQ(f.windowTitle(), "*picture.bmp - Tilvo v1.47");
            EXPECT_EQ(f.FileName, File("picture.bmp"));
            EXPECT_EQ(f.SaveFileName, File("picture.bmp"));
            EXPECT_TRUE(f.FMSave->isEnabled());
            EXPECT_TRUE(f.FMSaveAs->isEnabled());
            EXPECT_TRUE(f.FMUndo->isEnabled());
            EXPECT_EQ(f.History.Count(), 1);
            EXPECT_TRUE(SamePixels(f.WorkBitmap, edited));
            EXPECT_TRUE(SamePixels(f.SourceBitmap, source));
            EXPECT_TRUE(SamePixels(f.DisplayBitmap, edited));
            EXPECT_EQ(f.Image1->Picture(), shown);
            EXPECT_EQ(f.PanelCanvas->size(), QSize(96, 80));
        }
        EXPECT_GE(failures, c.leastFailures);
        if (std::string(c.name).starts_with("open")) {
            EXPECT_GE(namedFailures, 1);
        }
        EXPECT_EQ(f.windowTitle(), c.caption);
        EXPECT_EQ(f.FileName, c.fileName);
        EXPECT_EQ(f.History.Count(), 0);
        EXPECT_TRUE(SamePixels(f.SourceBitmap, c.expected));
        EXPECT_TRUE(SamePixels(f.WorkBitmap, c.expected));
        EXPECT_EQ(f.Image1->Picture().convertToFormat(QImage::Format_RGB32), ToImage(c.expected));
        EXPECT_EQ(f.PanelCanvas->size(), QSize(c.expected.Width(), c.expected.Height()));
        // The window goes on working: a stroke on the new picture is recorded and shown.
        Drag(f, {{10, 10}, {30, 20}});
        EXPECT_EQ(f.History.Count(), 1);
        EXPECT_FALSE(SamePixels(f.WorkBitmap, c.expected));
        EXPECT_TRUE(SamePixels(f.DisplayBitmap, f.WorkBitmap));
    }
}

TEST_F(MainWindow, OpenCommandOpensTheChosenFile) {
    TForm1& f = NewForm();
    f.show();
    AnswerFileDialog({}, {}, false);
    f.FMOpen->trigger();
    EXPECT_TRUE(f.FileName.empty());
    EXPECT_TRUE(f.PanelCanvas->isHidden());
    AnswerFileDialog(QString::fromStdString(File("picture.bmp")), {}, true);
    f.FMOpen->trigger();
    EXPECT_EQ(f.FileName, File("picture.bmp"));
    EXPECT_TRUE(SamePixels(f.WorkBitmap, picture_));
}

TEST_F(MainWindow, AboutNamesTheProgramItsVersionAndHomePage) {
    TForm1& f = NewForm();
    const TBoxSeen box = AnswerMessageBox([&] { f.FMHelp->trigger(); });
    EXPECT_TRUE(box.shown);
    EXPECT_EQ(box.title, "Tilvo");
    EXPECT_TRUE(box.text.contains(QStringLiteral("Tilvo v1.47")));
    EXPECT_TRUE(box.text.contains(QStringLiteral("https://tilvo.example.org/")));
}

// ---- Dropped files ----------------------------------------------------------------------------

TEST_F(MainWindow, DropOpensTheFirstOfTheDroppedFilesWithItsWholePath) {
    TForm1& f = NewForm();
    f.show();  // a shown window takes drops
    // A folder chain that makes the path longer than 255 characters.
    fs::path deep = dir_;
    for (int i = 0; i < 8; ++i) deep /= std::string(40, char('a' + i));
    fs::create_directories(deep);
    const std::string longName = (deep / "long.bmp").string();
    ASSERT_GT(longName.size(), 300u);
    TBitmap other;
    PaintPattern(other, 30, 20, 9);
    other.SaveToFile(longName);
    PaintPattern(other, 10, 10, 3);
    other.SaveToFile(File("second.bmp"));

    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(QString::fromStdString(longName)),
                  QUrl::fromLocalFile(QString::fromStdString(File("second.bmp"))),
                  QUrl::fromLocalFile(QString::fromStdString(File("picture.bmp")))});
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&f, &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&f, &drop);
    EXPECT_EQ(f.FileName, longName);
    EXPECT_EQ(f.windowTitle(), "long.bmp - Tilvo v1.47");
    EXPECT_EQ(f.WorkBitmap.Width(), 30);
    EXPECT_FALSE(f.FMUndo->isEnabled());
}

// ---- Strokes, undo and redo --------------------------------------------------------------------

TEST_F(MainWindow, StrokeChangesOnlyItsDirtyRectAndUndoRedoReplayIt) {
    TForm1& f = NewForm({File("picture.bmp")});
    UseCells4Brush20(f);
    f.show();
    Drag(f, {{30, 30}, {45, 33}, {60, 36}});
    // Brush 20 over x 30 … 60, y 30 … 36: widened by 10 and aligned to 8.
    EXPECT_EQ(f.DirtyRect, (TRect{16, 16, 72, 48}));
    const TRect changed = Differences(f.WorkBitmap, picture_);
    EXPECT_TRUE(Inside(changed, f.DirtyRect));
    EXPECT_GT(changed.Width(), 30);
    EXPECT_TRUE(SamePixels(f.DisplayBitmap, f.WorkBitmap)) << "the trail is gone after release";
    EXPECT_TRUE(f.FMUndo->isEnabled());
    EXPECT_FALSE(f.FMRedo->isEnabled());
    EXPECT_EQ(f.History.Count(), 1);

    f.FMUndo->trigger();
    EXPECT_TRUE(SamePixels(f.WorkBitmap, picture_)) << "undo gives the source exactly";
    EXPECT_TRUE(SamePixels(f.DisplayBitmap, picture_));
    EXPECT_FALSE(f.FMUndo->isEnabled());
    EXPECT_TRUE(f.FMRedo->isEnabled());

    f.FMRedo->trigger();
    const TRect redone = Differences(f.WorkBitmap, picture_);
    EXPECT_TRUE(Inside(redone, f.DirtyRect));
    EXPECT_GT(redone.Width(), 30);
    EXPECT_TRUE(SamePixels(f.DisplayBitmap, f.WorkBitmap));
    EXPECT_TRUE(f.FMUndo->isEnabled());
    EXPECT_FALSE(f.FMRedo->isEnabled());

    // A new stroke after an undo drops the undone entry.
    f.FMUndo->trigger();
    Drag(f, {{70, 60}});
    EXPECT_EQ(f.History.Count(), 1);
    EXPECT_FALSE(f.FMRedo->isEnabled());
    // A click paints a dot of the brush's size around the point.
    const TRect dot = Differences(f.WorkBitmap, picture_);
    EXPECT_TRUE(Inside(dot, TRect{58, 48, 83, 73}));
    EXPECT_TRUE(Inside(TRect{64, 54, 76, 66}, dot));

    // Opening a picture again discards the history.
    f.OpenPictureFile(File("picture.bmp"));
    EXPECT_FALSE(f.FMUndo->isEnabled());
    EXPECT_EQ(f.History.Count(), 0);
}

TEST_F(MainWindow, ASecondButtonDuringADragNeitherRestartsNorCutsTheStroke) {
    TForm1& f = NewForm({File("picture.bmp")});
    UseCells4Brush20(f);
    f.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&f));
    f.FMSoftenEdge->setChecked(false);
    auto move = [&](QPoint p, Qt::MouseButtons held) {
        QMouseEvent e(QEvent::MouseMove, QPointF(p), f.Image1->mapToGlobal(QPointF(p)),
                      Qt::NoButton, held, Qt::NoModifier);
        QApplication::sendEvent(f.Image1, &e);
    };
    // Left drag along y = 40; the right button goes down far from it and comes up mid-drag.
    QTest::mousePress(f.Image1, Qt::LeftButton, {}, QPoint(10, 40));
    move({30, 40}, Qt::LeftButton);
    QTest::mousePress(f.Image1, Qt::RightButton, {}, QPoint(80, 8));
    move({50, 40}, Qt::LeftButton | Qt::RightButton);
    QTest::mouseRelease(f.Image1, Qt::RightButton, {}, QPoint(50, 40));
    EXPECT_TRUE(f.Capture->Drawing) << "the other button's release does not end the stroke";
    EXPECT_EQ(f.History.Count(), 0);
    move({70, 40}, Qt::LeftButton);
    QTest::mouseRelease(f.Image1, Qt::LeftButton, {}, QPoint(70, 40));

    ASSERT_EQ(f.History.Count(), 1);
    const TRect changed = Differences(f.WorkBitmap, picture_);
    // The whole drag, from its press point to its end, is mosaicked; the second press is not.
    EXPECT_TRUE(Inside(changed, TRect{0, 29, 82, 52})) << changed.Top << " " << changed.Right;
    EXPECT_LE(changed.Left, 1);
    EXPECT_GE(changed.Right, 79);
    for (int32_t y = 0; y < 20; ++y)
        ASSERT_EQ(std::memcmp(f.WorkBitmap.ScanLine(y), picture_.ScanLine(y), 3 * 96), 0) << y;
    EXPECT_TRUE(SamePixels(f.DisplayBitmap, f.WorkBitmap)) << "no trail is left on screen";
}

TEST_F(MainWindow, ShiftAtTheFifthPointLocksTheStrokeToALine) {
    TForm1& f = NewForm({File("picture.bmp")});
    UseCells4Brush20(f);
    f.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&f));
    f.FMSoftenEdge->setChecked(false);
    const auto stroke = [&](bool shift) {
        f.OpenPictureFile(File("picture.bmp"));
        QTest::mousePress(f.Image1, Qt::LeftButton, {}, QPoint(20, 20));
        const QPoint moves[] = {{22, 21}, {25, 23}, {40, 24}, {60, 60}, {80, 70}};
        for (int i = 0; i < 5; ++i) {
            if (i == 2 && shift)
                QTest::keyPress(f.windowHandle(), Qt::Key_Shift, Qt::ShiftModifier);
            QMouseEvent move(QEvent::MouseMove, QPointF(moves[i]),
                             f.Image1->mapToGlobal(QPointF(moves[i])), Qt::NoButton, Qt::LeftButton,
                             Qt::NoModifier);
            QApplication::sendEvent(f.Image1, &move);
        }
        QTest::mouseRelease(f.Image1, Qt::LeftButton, {}, QPoint(80, 70));
        if (shift) QTest::keyRelease(f.windowHandle(), Qt::Key_Shift);
        return Differences(f.WorkBitmap, picture_);
    };
    const TRect free = stroke(false);
    EXPECT_FALSE(f.Capture->AxisLocked);
    EXPECT_GT(free.Bottom, 70);
    const TRect locked = stroke(true);
    ASSERT_TRUE(f.Capture->AxisLocked);
    EXPECT_TRUE(f.Capture->LockHorizontal);
    // The committed stroke runs along y = 20 from the press point to x = 80, nothing else.
    EXPECT_TRUE(Inside(locked, TRect{8, 8, 93, 33})) << locked.Top << " " << locked.Bottom;
    EXPECT_LE(locked.Left, 12);
    EXPECT_GE(locked.Right, 88);
    EXPECT_TRUE(SamePixels(f.DisplayBitmap, f.WorkBitmap));
}

TEST_F(MainWindow, EngagingTheLockKeepsEarlierStrokesUnderTheFreehandTrail) {
    TForm1& f = NewForm({File("picture.bmp")});
    UseCells4Brush20(f);
    f.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&f));
    f.FMSoftenEdge->setChecked(false);
    Drag(f, {{40, 42}});  // a dot: y 32 … 52
    TBitmap afterDot;
    afterDot.Assign(f.WorkBitmap);
    ASSERT_FALSE(SamePixels(afterDot, picture_));

    QTest::mousePress(f.Image1, Qt::LeftButton, {}, QPoint(20, 20));
    const QPoint moves[] = {{25, 30}, {35, 45}, {60, 22}};
    for (int i = 0; i < 3; ++i) {
        if (i == 2) QTest::keyPress(f.windowHandle(), Qt::Key_Shift, Qt::ShiftModifier);
        QMouseEvent move(QEvent::MouseMove, QPointF(moves[i]),
                         f.Image1->mapToGlobal(QPointF(moves[i])), Qt::NoButton, Qt::LeftButton,
                         Qt::NoModifier);
        QApplication::sendEvent(f.Image1, &move);
    }
    QTest::keyRelease(f.windowHandle(), Qt::Key_Shift);
    ASSERT_TRUE(f.Capture->AxisLocked);
    // The freehand trail went over the dot; the dot is still on screen under it.
    for (int32_t y = 36; y < 52; ++y)
        ASSERT_EQ(std::memcmp(f.DisplayBitmap.ScanLine(y) + 3 * 30, afterDot.ScanLine(y) + 3 * 30,
                              3 * 20),
                  0)
            << y;
    QTest::mouseRelease(f.Image1, Qt::LeftButton, {}, QPoint(60, 22));
    // The locked line (y = 20, brush 20) reaches down to y 30; below it the dot is as it was.
    for (int32_t y = 36; y < 52; ++y)
        ASSERT_EQ(std::memcmp(f.WorkBitmap.ScanLine(y), afterDot.ScanLine(y), 3 * 96), 0) << y;
    EXPECT_EQ(f.History.Count(), 2);
}

TEST_F(MainWindow, AMouseMoveDuringAStrokeAllocatesAndCopiesNothing) {
    TForm1& f = NewForm({File("picture.bmp")});
    UseCells4Brush20(f);
    f.Image1MouseDown(10, 10);
    ASSERT_TRUE(f.Capture->Drawing);
    // A marker far from the trail: a copy of WorkBitmap onto the shown surface would erase it.
    f.DisplayBitmap.SetPixel(90, 75, 0x123456);
    TBitmap before;
    before.Assign(f.WorkBitmap);

    // The counter sees an allocation where there is one.
    g_allocations = 0;
    g_countAllocations = true;
    const QString probe(100, QLatin1Char('x'));
    g_countAllocations = false;
    ASSERT_GT(g_allocations.load(), 0) << probe.size();

    g_allocations = 0;
    g_countAllocations = true;
    for (int i = 0; i < 500; ++i) {
        f.Image1MouseMove(10 + i % 60, 10 + (i / 60) % 5);
        f.Image1->ShowBrushCircle({10 + i % 60, 10 + (i / 60) % 5}, f.BrushSize);
    }
    g_countAllocations = false;
    EXPECT_EQ(g_allocations.load(), 0);
    EXPECT_EQ(f.DisplayBitmap.Pixel(90, 75), 0x123456u);
    EXPECT_TRUE(SamePixels(f.WorkBitmap, before)) << "the picture is changed only at release";
    // The stroke shows as it will be committed, and the release commits exactly that.
    TBitmap shown;
    shown.Assign(f.DisplayBitmap);
    EXPECT_FALSE(SamePixels(shown, before));
    f.Image1MouseUp();
    EXPECT_EQ(f.History.Count(), 1);
    shown.SetPixel(90, 75, f.WorkBitmap.Pixel(90, 75));
    EXPECT_TRUE(SamePixels(f.WorkBitmap, shown));

    // Shown on screen, Qt's repaint bookkeeping (its dirty region) is the only other cost.
    f.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&f));
    f.Image1MouseDown(10, 10);
    g_allocations = 0;
    g_countAllocations = true;
    for (int i = 0; i < 500; ++i) f.Image1MouseMove(10 + i % 60, 10 + (i / 60) % 5);
    g_countAllocations = false;
    f.Image1MouseUp();
    std::printf("[ info ] 500 moves on a shown window: %ld allocations in Qt's repaint requests\n",
                g_allocations.load());
}

// ---- Menus ------------------------------------------------------------------------------------

TEST_F(MainWindow, MosaicAndBrushItemsAreRadioGroups) {
    TForm1& f = NewForm({File("picture.bmp")});
    // A first run: cells of 16, brush 50.
    EXPECT_TRUE(f.FMMosaicPix16->isChecked());
    EXPECT_TRUE(f.FMBrush50->isChecked());
    EXPECT_TRUE(f.FMSoftenEdge->isChecked());
    f.FMMosaicPix4->trigger();
    f.FMBrush20->trigger();

    f.FMMosaicPix12->trigger();
    EXPECT_TRUE(f.FMMosaicPix12->isChecked());
    EXPECT_FALSE(f.FMMosaicPix4->isChecked());
    EXPECT_EQ(f.MosaicSize, 12);
    // One item per mosaic size of the engine, in its order, each choosing its own size.
    ASSERT_EQ(f.FMMosaicPixItems.size(), kMosaicCellSizes.size());
    for (size_t i = 0; i < kMosaicCellSizes.size(); ++i) {
        QAction* item = f.FMMosaicPixItems[i];
        EXPECT_EQ(f.FMMosaicPixSize->actions().at(qsizetype(i)), item);
        item->trigger();
        EXPECT_EQ(f.MosaicSize, kMosaicCellSizes[i]);
        EXPECT_EQ(item->objectName().toStdString(),
                  "FMMosaicPix" + std::to_string(kMosaicCellSizes[i]));
    }
    f.FMMosaicPix12->trigger();

    f.FMBrush50->trigger();
    EXPECT_FALSE(f.FMBrush20->isChecked());
    EXPECT_EQ(f.BrushSize, 50);
    EXPECT_EQ(f.MaskBitmap.Canvas().Pen.Width, 50);

    f.FMSoftenEdge->trigger();
    EXPECT_FALSE(f.FMSoftenEdge->isChecked());

    // Captions and shortcuts.
    EXPECT_EQ(f.FMOpen->text(), "&Open...");
    EXPECT_EQ(f.FMOpen->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_O));
    EXPECT_EQ(f.FMUndo->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Z));
    EXPECT_EQ(f.FMCopyToClipboard->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_C));
    EXPECT_EQ(f.FMPaste->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_V));
    EXPECT_EQ(f.FMMosaicPix16->text(), "16x16 pix");
}

TEST_F(MainWindow, OpenDialogOffersTheRegisteredPictureTypesInQtsSyntax) {
    TForm1& f = NewForm();
    const QStringList filters = f.OpenPictureDialog1->nameFilters();
    ASSERT_GT(filters.size(), 10);
    EXPECT_TRUE(filters[0].startsWith(QStringLiteral("Image files (*.bmp *.rle *.dib *.jpg")))
        << filters[0].toStdString();
    EXPECT_TRUE(filters[0].endsWith(QStringLiteral(" *.raw *.heic *.heif *.avif *.webp)")))
        << filters[0].toStdString();
    EXPECT_TRUE(filters.contains(QStringLiteral("JPEG (*.jpg *.jpeg *.jpe)")));
    EXPECT_TRUE(filters.contains(QStringLiteral("PNG (*.png)")));
    EXPECT_TRUE(filters.contains(QStringLiteral("HEIF/AVIF (*.heic *.heif *.avif)")));
    EXPECT_TRUE(filters.contains(QStringLiteral("WebP (*.webp)")));
}

// A phone's HEIC (stored on its side), an AVIF and a WebP open in the window, upright.
TEST_F(MainWindow, OpensHeicAvifAndWebPUpright) {
    const struct {
        const char* File;
        int32_t Width, Height;
    } cases[] = {{"rotated.heic", 16, 24}, {"photo_av1.avif", 24, 16}, {"animated.webp", 16, 12}};
    for (const auto& c : cases) {
        const std::string folder = std::string(c.File).ends_with(".webp") ? "webp" : "heic";
        const std::string path =
            std::string(TILVO_SOURCE_DIR) + "/tests/data/read/" + folder + "/" + c.File;
        TForm1& f = NewForm({path});
        EXPECT_EQ(f.FileName, path);
        EXPECT_EQ(f.WorkBitmap.Width(), c.Width) << c.File;
        EXPECT_EQ(f.WorkBitmap.Height(), c.Height) << c.File;
    }
}

TEST_F(MainWindow, WheelScrollsTwentyPixelsPerStep) {
    TBitmap tall;
    PaintPattern(tall, 200, 1200);
    tall.SaveToFile(File("tall.bmp"));
    TForm1& f = NewForm({File("tall.bmp")});
    f.resize(300, 300);
    f.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&f));
    f.FMZoom100->trigger();  // the tall picture opened fitted into the window
    QScrollBar* bar = f.ScrollBox1->verticalScrollBar();
    ASSERT_GT(bar->maximum(), 100);
    bar->setValue(0);
    const auto wheel = [&](int delta) {
        QWheelEvent e(QPointF(10, 10), f.ScrollBox1->viewport()->mapToGlobal(QPointF(10, 10)),
                      QPoint(), QPoint(0, delta), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase,
                      false);
        QApplication::sendEvent(f.ScrollBox1->viewport(), &e);
    };
    wheel(-120);
    EXPECT_EQ(bar->value(), 20);
    wheel(-240);
    EXPECT_EQ(bar->value(), 60);
    wheel(120);
    EXPECT_EQ(bar->value(), 40);
}

TEST(EventScrollBox, ReportsScrollingAndSkipsItsBackgroundWhenOverlaid) {
    TEventScrollBox box;
    auto* content = new QWidget;
    content->setFixedSize(600, 600);
    box.setWidget(content);
    box.resize(120, 120);
    box.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&box));
    int horizontal = 0, vertical = 0;
    box.OnScrollHorz = [&] { ++horizontal; };
    box.OnScrollVert = [&] { ++vertical; };
    box.verticalScrollBar()->setValue(30);
    EXPECT_EQ(vertical, 1);
    EXPECT_EQ(horizontal, 0);
    box.horizontalScrollBar()->setValue(10);
    EXPECT_EQ(horizontal, 1);
    EXPECT_EQ(vertical, 1);
    // The arrow keys scroll the focused box.
    box.setFocus();
    QTest::keyClick(&box, Qt::Key_Down);
    EXPECT_GT(box.verticalScrollBar()->value(), 30);
    EXPECT_EQ(vertical, 2);

    EXPECT_FALSE(box.OverLayer());
    EXPECT_FALSE(box.viewport()->testAttribute(Qt::WA_OpaquePaintEvent));
    box.SetOverLayer(true);
    EXPECT_TRUE(box.OverLayer());
    EXPECT_TRUE(box.viewport()->testAttribute(Qt::WA_OpaquePaintEvent));
}

// ---- Save and Save As --------------------------------------------------------------------------

TEST_F(MainWindow, SaveRewritesTheOpenFile) {
    TForm1& f = NewForm({File("picture.bmp")});
    f.show();
    Drag(f, {{20, 20}, {50, 40}});
    f.FMSaveClick();
    TBitmap written;
    LoadPictureFile(File("picture.bmp"), written);
    EXPECT_TRUE(SamePixels(written, f.WorkBitmap));
    EXPECT_FALSE(SamePixels(written, picture_));
}

// "Keep untouched areas exactly": Save over the opened JPEG keeps the rows away from the stroke
// as they were; where it cannot apply, the status bar says why.
TEST_F(MainWindow, SaveKeepsTheUntouchedAreasOfTheOpenJpegOrSaysWhyNot) {
    ASSERT_TRUE(WriteJpegFile(picture_, File("photo.jpg"), false, 85, false));
    TBitmap before;
    LoadPictureFile(File("photo.jpg"), before);
    TForm1& f = NewForm({File("photo.jpg")});
    UseCells4Brush20(f);
    f.show();
    f.SaveOptions.JPEGKeepUntouched = true;
    f.SaveOptions.JPEGQuality = 10;  // does not apply
    Drag(f, {{20, 5}, {50, 8}});     // MCU rows 0 and 1
    f.FMSaveClick();
    TBitmap after;
    LoadPictureFile(File("photo.jpg"), after);
    ASSERT_EQ(after.Height(), 80);
    for (int y = 48; y < 80; ++y)  // beyond the changed MCU rows and the one after them
        for (int x = 0; x < 96; ++x)
            ASSERT_EQ(after.Pixel(x, y), before.Pixel(x, y)) << x << "," << y;
    EXPECT_NE(after.Pixel(30, 6), before.Pixel(30, 6));
    EXPECT_TRUE(f.statusBar()->currentMessage().isEmpty()) << "a quiet save says nothing";

    f.SaveOptions.JPEGGrayscale = true;
    f.FMSaveClick();
    QStatusBar* bar = f.statusBar();
    EXPECT_TRUE(bar->isVisible());
    EXPECT_EQ(bar->currentMessage().toStdString(),
              "Untouched areas could not be kept exactly: grayscale output was asked for");
}

TEST_F(MainWindow, OpensAResourceFileAndSaveWritesItsResourceBack) {
    ASSERT_TRUE(SaveDcr(picture_, File("toolbar.dcr"), "Tools"));
    TBitmap opened;
    LoadPictureFile(File("toolbar.dcr"), opened);
    TForm1& f = NewForm({File("toolbar.dcr")});
    f.show();
    ASSERT_TRUE(SamePixels(f.WorkBitmap, opened));  // the resource's picture reached the window
    EXPECT_EQ(f.SaveFileName, File("toolbar.dcr"));
    Drag(f, {{20, 20}, {50, 40}});
    f.FMSaveClick();
    TDcrImageA written;
    TFileStream stream(File("toolbar.dcr"), TFileStream::fmOpenRead);
    written.LoadFromStream(stream);
    // Nothing set a name in this session: the file's base name, upper-cased.
    EXPECT_EQ(written.Resources().at(0).ResName, "TOOLBAR");
    TBitmap back;
    written.AssignTo(back);
    back.SetPixelFormat(pf24bit);
    EXPECT_EQ(back.Width(), 96);
    EXPECT_FALSE(SamePixels(back, opened));  // the stroke is in the file
}

// Save on a type Tilvo reads but cannot write says so and offers Save As: declined, nothing is
// written; accepted, Save As runs and writes the type chosen there.
TEST_F(MainWindow, SaveToAFileTypeWithoutAWriterOffersSaveAs) {
    TForm1& f = NewForm({File("picture.bmp")});
    f.SaveFileName = File("picture.tif");
    TBoxSeen box = AnswerMessageBox([&] { f.FMSaveClick(); }, QMessageBox::Cancel);
    EXPECT_TRUE(box.shown);
    EXPECT_EQ(box.text, QString::fromStdString(File("picture.tif")) +
                            "\n\nTilvo cannot write files of this type. Save the picture as "
                            "another type?");
    EXPECT_FALSE(fs::exists(File("picture.tif")));

    AnswerFileDialog(QString::fromStdString(File("instead.png")), QStringLiteral("PNG (*.png)"),
                     true);
    box = AnswerMessageBox([&] { f.FMSaveClick(); }, QMessageBox::Save);
    EXPECT_TRUE(box.shown);
    EXPECT_FALSE(fs::exists(File("picture.tif")));
    TBitmap written;
    LoadPictureFile(File("instead.png"), written);
    EXPECT_TRUE(SamePixels(written, f.WorkBitmap));
    EXPECT_EQ(f.SaveFileName, File("instead.png"));
}

TEST_F(MainWindow, AWriterThatRefusesThePictureSaysWhyAndKeepsTheOldFile) {
    // A gray picture 70000 pixels wide opens, but a Targa header cannot hold its width.
    std::string wide = "P5 70000 2 255\n";
    wide.append(140000, '\x80');
    WriteWholeFile(File("wide.pgm"), wide.data(), int64_t(wide.size()));
    WriteWholeFile(File("wide.tga"), "old", 3);
    TForm1& f = NewForm({File("wide.pgm")});
    ASSERT_EQ(f.WorkBitmap.Width(), 70000);
    f.SaveFileName = File("wide.tga");
    const TBoxSeen box = AnswerMessageBox([&] { f.FMSaveClick(); });
    EXPECT_TRUE(box.shown);
    EXPECT_EQ(box.title, "Convert error");
    EXPECT_EQ(box.text, QString::fromStdString(File("wide.tga")) +
                            "\n\nTarga files hold at most 65535 pixels a side");
    EXPECT_EQ(ReadWholeFile(File("wide.tga")), (std::vector<uint8_t>{'o', 'l', 'd'}));
}

TEST_F(MainWindow, ConfirmOverwriteNamesTheFileAndMakesAReadOnlyFileWritable) {
    TForm1& f = NewForm();
    EXPECT_TRUE(f.ConfirmOverwrite(File("nothing.bmp")));
    bool answer = true;
    // The question names the file; a writable one is not called read-only.
    TBoxSeen box = AnswerMessageBox([&] { answer = f.ConfirmOverwrite(File("picture.bmp")); },
                                    QMessageBox::Cancel);
    EXPECT_EQ(box.text, "A file already exist, would you like to replace the existing file ?\n\n" +
                            QString::fromStdString(File("picture.bmp")));
    ::chmod(File("picture.bmp").c_str(), 0444);
    box = AnswerMessageBox([&] { answer = f.ConfirmOverwrite(File("picture.bmp")); },
                           QMessageBox::Cancel);
    EXPECT_TRUE(box.shown);
    EXPECT_EQ(box.title, "Confirm File Replace");
    EXPECT_EQ(box.text, "A file already exist, would you like to replace the existing file ?\n\n" +
                            QString::fromStdString(File("picture.bmp")) +
                            "\n\nThe file is read-only. Replaced, it stays read-only.");
    EXPECT_FALSE(answer);
    EXPECT_EQ(fs::status(File("picture.bmp")).permissions() & fs::perms::owner_write,
              fs::perms::none);
    box = AnswerMessageBox([&] { answer = f.ConfirmOverwrite(File("picture.bmp")); });
    EXPECT_TRUE(answer);
    EXPECT_NE(fs::status(File("picture.bmp")).permissions() & fs::perms::owner_write,
              fs::perms::none);
}

TEST_F(MainWindow, SaveNeverReplacesAReadOnlyFileAndAFailedSaveAsPutsItsModeBack) {
    TForm1& f = NewForm({File("picture.bmp")});
    f.show();
    f.FMSave->setVisible(true);
    Drag(f, {{20, 20}, {50, 40}});
    const std::vector<uint8_t> original = ReadWholeFile(File("picture.bmp"));
    ASSERT_EQ(::chmod(File("picture.bmp").c_str(), 0444), 0);
    EXPECT_EQ(AnswerEveryMessageBox([&] { f.Guarded([&] { f.FMSaveClick(); }); }),
              std::vector<QString>{"Convert error"});
    EXPECT_EQ(ReadWholeFile(File("picture.bmp")), original);
    EXPECT_EQ(fs::status(File("picture.bmp")).permissions(), fs::perms(0444));

    // Save As asks, makes the file writable for the save, and puts the mode back when the save
    // fails (here the file size limit stops the writer, as a full disk would).
    struct rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit small = saved;
    small.rlim_cur = 1024;
    const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    AnswerFileDialog(QString::fromStdString(File("picture.bmp")), QStringLiteral("Bitmap (*.bmp)"),
                     true);
    const std::vector<QString> titles =
        AnswerEveryMessageBox([&] { f.Guarded([&] { f.FMSaveAsClick(); }); });
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, oldHandler);
    ASSERT_EQ(titles.size(), 2u);
    EXPECT_EQ(titles[0], "Confirm File Replace");
    EXPECT_EQ(ReadWholeFile(File("picture.bmp")), original);
    EXPECT_EQ(fs::status(File("picture.bmp")).permissions(), fs::perms(0444));

    // With room on the disk the same Save As replaces it.
    AnswerFileDialog(QString::fromStdString(File("picture.bmp")), QStringLiteral("Bitmap (*.bmp)"),
                     true);
    EXPECT_EQ(AnswerEveryMessageBox([&] { f.Guarded([&] { f.FMSaveAsClick(); }); }),
              std::vector<QString>{"Confirm File Replace"});
    TBitmap written;
    LoadPictureFile(File("picture.bmp"), written);
    EXPECT_TRUE(SamePixels(written, f.WorkBitmap));
    EXPECT_EQ(fs::status(File("picture.bmp")).permissions(), fs::perms(0444))
        << "a replaced read-only file stays read-only";
}

TEST_F(MainWindow, SaveAsWritesTheChosenTypeAndEnablesSave) {
    TForm1& f = NewForm({File("picture.bmp")});
    f.show();
    f.FMSave->setVisible(true);
    Drag(f, {{20, 20}, {50, 40}});
    f.FMSave->setEnabled(false);

    // Cancelled: nothing is written and Save stays as it was.
    AnswerFileDialog({}, {}, false);
    f.FMSaveAsClick();
    EXPECT_FALSE(f.FMSave->isEnabled());

    QString proposed;
    AnswerFileDialog(QString::fromStdString(File("out.png")), QStringLiteral("PNG (*.png)"), true,
                     &proposed);
    f.FMSaveAsClick();
    EXPECT_EQ(proposed, "picture") << "the picture's name without its extension is proposed";
    TBitmap written;
    LoadPictureFile(File("out.png"), written);
    EXPECT_TRUE(SamePixels(written, f.WorkBitmap));
    EXPECT_TRUE(f.FMSave->isEnabled());
    EXPECT_EQ(f.SaveFileName, File("out.png"));
    EXPECT_EQ(f.FileName, File("picture.bmp")) << "the caption's file stays";
    // The caption names what is open and where it was saved.
    EXPECT_EQ(f.windowTitle(), "picture.bmp (saved as out.png) - Tilvo v1.47");

    // Over an existing file: Cancel in the question writes nothing.
    const auto sizeBefore = fs::file_size(File("out.png"));
    Drag(f, {{70, 60}, {80, 70}});
    AnswerFileDialog(QString::fromStdString(File("out.png")), QStringLiteral("PNG (*.png)"), true);
    AnswerMessageBox([&] { f.FMSaveAsClick(); }, QMessageBox::Cancel);
    LoadPictureFile(File("out.png"), written);
    EXPECT_FALSE(SamePixels(written, f.WorkBitmap));
    EXPECT_EQ(fs::file_size(File("out.png")), sizeBefore);
}

TEST_F(MainWindow, SaveAsJpegCarriesTheSourcesExifOverOnlyWhenThereIsOne) {
    const std::string sample = std::string(TILVO_SOURCE_DIR) + "/data/sample.jpg";
    fs::copy_file(sample, File("photo.jpg"));
    ASSERT_TRUE(ProbeExif(File("photo.jpg")).CanCopy);
    TForm1& f = NewForm({File("photo.jpg")});
    f.show();
    f.SaveOptions.ExifCopy = true;
    f.SaveOptions.ExifThumbUpdate = true;
    Drag(f, {{100, 100}, {140, 110}});
    AnswerFileDialog(QString::fromStdString(File("edited.jpg")), QStringLiteral("JPEG (*.jpg)"),
                     true);
    f.FMSaveAsClick();
    EXPECT_EQ(f.SaveDialog1.SelectedFileType(), sftJPG);
    const TExifProbe kept = ProbeExif(File("edited.jpg"));
    EXPECT_TRUE(kept.CanCopy);
    EXPECT_TRUE(kept.CanUpdateThumbnail);
    TBitmap written;
    LoadPictureFile(File("edited.jpg"), written);
    EXPECT_EQ(written.Width(), f.WorkBitmap.Width());

    // A pasted picture has no source file: no Exif is offered or written.
    QGuiApplication::clipboard()->setImage(ToImage(f.WorkBitmap));
    f.FMPasteClick();
    AnswerFileDialog(QString::fromStdString(File("pasted.jpg")), QStringLiteral("JPEG (*.jpg)"),
                     true);
    f.FMSaveAsClick();
    EXPECT_FALSE(f.SaveDialog1.Options().ExifCopyEnabled);
    EXPECT_FALSE(ProbeExif(File("pasted.jpg")).CanCopy);
    EXPECT_EQ(f.SaveFileName, File("pasted.jpg"));
}

// ---- Unsaved work, progress and the Save As type ----------------------------------------------

TEST_F(MainWindow, ModifiedStateFollowsTheHistoryPositionAndShowsInTheCaption) {
    TForm1& f = NewForm({File("picture.bmp")});
    f.show();
    f.FMSave->setVisible(true);
    EXPECT_FALSE(f.IsModified());
    EXPECT_EQ(f.windowTitle(), "picture.bmp - Tilvo v1.47");
    Drag(f, {{20, 20}, {50, 40}});
    EXPECT_TRUE(f.IsModified());
    EXPECT_EQ(f.windowTitle(), "*picture.bmp - Tilvo v1.47");
    f.FMUndoClick();
    EXPECT_FALSE(f.IsModified()) << "back at the opened state";
    EXPECT_EQ(f.windowTitle(), "picture.bmp - Tilvo v1.47");
    f.FMRedoClick();
    EXPECT_EQ(f.windowTitle(), "*picture.bmp - Tilvo v1.47");
    f.FMSaveClick();
    EXPECT_FALSE(f.IsModified()) << "saved";
    EXPECT_EQ(f.windowTitle(), "picture.bmp - Tilvo v1.47");
    f.FMUndoClick();
    EXPECT_TRUE(f.IsModified()) << "the file holds the stroke, the window does not";
    // Another stroke lands on the saved position, but the saved stroke is gone from the history.
    Drag(f, {{60, 60}, {80, 70}});
    EXPECT_EQ(f.History.Position(), 1);
    EXPECT_TRUE(f.IsModified());

    // A new picture starts unmodified, and its first stroke counts whatever the old history was.
    f.OpenPictureFile(File("picture.bmp"));
    EXPECT_FALSE(f.IsModified());
    EXPECT_EQ(f.windowTitle(), "picture.bmp - Tilvo v1.47");
    Drag(f, {{20, 20}, {50, 40}});
    EXPECT_TRUE(f.IsModified());
    QGuiApplication::clipboard()->setImage(ToImage(picture_));
    {
        TUnsavedChangesAnswer discard(QMessageBox::Discard);
        f.FMPasteClick();
    }
    EXPECT_FALSE(f.IsModified());
    EXPECT_EQ(f.windowTitle(), "Clipboard - Tilvo v1.47");
    Drag(f, {{20, 20}, {50, 40}});
    EXPECT_EQ(f.windowTitle(), "*Clipboard - Tilvo v1.47");
}

// Each way the picture can go asks about unsaved work: Cancel keeps everything, Discard goes on,
// and nothing is asked when there is nothing to lose.
TEST_F(MainWindow, ClosingOpeningDroppingAndPastingAskBeforeDiscardingWork) {
    TBitmap other;
    PaintPattern(other, 30, 20, 5);
    other.SaveToFile(File("other.bmp"));
    const std::string otherFile = File("other.bmp");
    const struct {
        const char* name;
        std::function<void(TForm1&)> act;
        std::function<bool(TForm1&)> wentOn;
    } actions[] = {
        {"close", [](TForm1& f) { f.close(); }, [](TForm1& f) { return !f.isVisible(); }},
        {"exit", [](TForm1& f) { f.FMExitClick(); }, [](TForm1& f) { return !f.isVisible(); }},
        {"open", [&](TForm1& f) { f.Guarded([&] { f.OpenPictureFileAsked(otherFile); }); },
         [&](TForm1& f) { return f.FileName == otherFile; }},
        {"drop",
         [&](TForm1& f) {
             QMimeData mime;
             mime.setUrls({QUrl::fromLocalFile(QString::fromStdString(otherFile))});
             QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton,
                                   Qt::NoModifier);
             QApplication::sendEvent(&f, &enter);
             QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
             QApplication::sendEvent(&f, &drop);
         },
         [&](TForm1& f) { return f.FileName == otherFile; }},
        {"paste",
         [&](TForm1& f) {
             QGuiApplication::clipboard()->setImage(ToImage(other));
             f.Guarded([&] { f.FMPasteClick(); });
         },
         [](TForm1& f) { return f.FileName.empty() && f.WorkBitmap.Width() == 30; }},
    };
    for (const auto& a : actions) {
        SCOPED_TRACE(a.name);
        for (const auto answer : {QMessageBox::Cancel, QMessageBox::Discard}) {
            SCOPED_TRACE(answer == QMessageBox::Cancel ? "Cancel" : "Discard");
            TForm1& f = NewForm({File("picture.bmp")});
            f.show();
            Drag(f, {{20, 20}, {50, 40}});
            TBitmap edited;
            edited.Assign(f.WorkBitmap);
            TUnsavedChangesAnswer reply(answer);
            a.act(f);
            EXPECT_EQ(reply.Asked, 1);
            EXPECT_EQ(reply.Title, "Unsaved changes");
            if (answer == QMessageBox::Cancel) {
                EXPECT_FALSE(a.wentOn(f));
                EXPECT_TRUE(f.isVisible());
                EXPECT_EQ(f.FileName, File("picture.bmp"));
                EXPECT_TRUE(SamePixels(f.WorkBitmap, edited));
                EXPECT_EQ(f.History.Count(), 1);
                EXPECT_TRUE(f.IsModified());
            } else {
                EXPECT_TRUE(a.wentOn(f));
            }
        }
        // Nothing changed: nothing is asked.
        TForm1& f = NewForm({File("picture.bmp")});
        f.show();
        TUnsavedChangesAnswer reply(QMessageBox::Cancel);
        a.act(f);
        EXPECT_EQ(reply.Asked, 0);
        EXPECT_TRUE(a.wentOn(f));
    }
}

TEST_F(MainWindow, SaveInTheQuestionSavesFirstAndAFailedOrCancelledSaveStopsTheClose) {
    // Save shown and a file to write: "Save" writes it, then the window closes.
    {
        TForm1& f = NewForm({File("picture.bmp")});
        f.show();
        f.FMSave->setVisible(true);
        Drag(f, {{20, 20}, {50, 40}});
        TUnsavedChangesAnswer save(QMessageBox::Save);
        f.close();
        EXPECT_EQ(save.Asked, 1);
        EXPECT_FALSE(f.isVisible());
        TBitmap written;
        LoadPictureFile(File("picture.bmp"), written);
        EXPECT_TRUE(SamePixels(written, f.WorkBitmap));
    }
    // Save hidden: "Save" runs Save As; cancelling its dialog cancels the close.
    {
        TForm1& f = NewForm({File("picture.bmp")});
        f.show();
        f.FMSave->setVisible(false);
        Drag(f, {{20, 20}, {50, 40}});
        TUnsavedChangesAnswer save(QMessageBox::Save);
        AnswerFileDialog({}, {}, false);
        f.close();
        EXPECT_EQ(save.Asked, 1);
        EXPECT_TRUE(f.isVisible());
        EXPECT_TRUE(f.IsModified());
        // Save As to a new file, then the window closes.
        AnswerFileDialog(QString::fromStdString(File("kept.png")), QStringLiteral("PNG (*.png)"),
                         true);
        f.close();
        EXPECT_FALSE(f.isVisible());
        TBitmap written;
        LoadPictureFile(File("kept.png"), written);
        EXPECT_TRUE(SamePixels(written, f.WorkBitmap));
    }
    // Save shown, but over a type it cannot write (a TIFF): "Save" runs Save As.
    {
        fs::path tiff;
        for (const auto& e : fs::directory_iterator(fs::path(TILVO_SOURCE_DIR) / "tests/data/read/tif"))
            if (e.path().extension() == ".tif") tiff = e.path();
        ASSERT_FALSE(tiff.empty());
        fs::copy_file(tiff, File("scan.tif"));
        TForm1& f = NewForm({File("scan.tif")});
        f.show();
        f.FMSave->setVisible(true);
        ASSERT_TRUE(f.FMSave->isEnabled());
        Drag(f, {{2, 2}, {6, 6}});
        TUnsavedChangesAnswer save(QMessageBox::Save);
        QString proposed;
        AnswerFileDialog({}, {}, false, &proposed);
        f.close();
        EXPECT_EQ(save.Asked, 1);
        EXPECT_EQ(proposed, "scan") << "the Save As dialog ran";
        EXPECT_TRUE(f.isVisible());
    }
    // A save that fails (the file became read-only) cancels the open and says why.
    {
        TForm1& f = NewForm({File("picture.bmp")});
        f.show();
        f.FMSave->setVisible(true);
        Drag(f, {{20, 20}, {50, 40}});
        ASSERT_EQ(::chmod(File("picture.bmp").c_str(), 0444), 0);
        const std::vector<uint8_t> original = ReadWholeFile(File("picture.bmp"));
        TUnsavedChangesAnswer save(QMessageBox::Save);
        PaintPattern(picture_, 30, 20, 4);
        picture_.SaveToFile(File("other.bmp"));
        const TBoxSeen box = AnswerMessageBox(
            [&] { f.Guarded([&] { f.OpenPictureFileAsked(File("other.bmp")); }); });
        EXPECT_EQ(save.Asked, 1);
        EXPECT_EQ(box.title, "Convert error");
        EXPECT_TRUE(box.text.startsWith(QString::fromStdString(File("picture.bmp"))));
        EXPECT_TRUE(box.text.contains("Permission denied")) << box.text.toStdString();
        EXPECT_EQ(f.FileName, File("picture.bmp"));
        EXPECT_TRUE(f.IsModified());
        EXPECT_EQ(ReadWholeFile(File("picture.bmp")), original);
    }
}

TEST_F(MainWindow, RedoAndSaveHaveTheirShortcuts) {
    TForm1& f = NewForm({File("picture.bmp")});
    f.show();
    f.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&f));
    Drag(f, {{20, 20}, {50, 40}});
    for (const QKeyCombination redo : {Qt::CTRL | Qt::Key_Y, Qt::CTRL | Qt::SHIFT | Qt::Key_Z}) {
        QTest::keyClick(&f, Qt::Key_Z, Qt::ControlModifier);
        ASSERT_EQ(f.History.Position(), 0);
        QTest::keyClick(&f, redo.key(), redo.keyboardModifiers());
        EXPECT_EQ(f.History.Position(), 1);
    }
    // Ctrl+S saves where Save is shown, and only there.
    const std::vector<uint8_t> original = ReadWholeFile(File("picture.bmp"));
    f.FMSave->setVisible(false);
    QTest::keyClick(&f, Qt::Key_S, Qt::ControlModifier);
    EXPECT_TRUE(f.IsModified());
    EXPECT_EQ(ReadWholeFile(File("picture.bmp")), original);
    f.FMSave->setVisible(true);
    QTest::keyClick(&f, Qt::Key_S, Qt::ControlModifier);
    EXPECT_FALSE(f.IsModified());
    TBitmap written;
    LoadPictureFile(File("picture.bmp"), written);
    EXPECT_TRUE(SamePixels(written, f.WorkBitmap));
    // Ctrl+Shift+S runs Save As, Ctrl+Q exits.
    AnswerFileDialog(QString::fromStdString(File("as.bmp")), {}, true);
    QTest::keyClick(&f, Qt::Key_S, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_TRUE(fs::exists(File("as.bmp")));
    f.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&f));
    QTest::keyClick(&f, Qt::Key_Q, Qt::ControlModifier);
    EXPECT_FALSE(f.isVisible());
}

TEST_F(MainWindow, SaveAsWritesTheTypeTheTypedExtensionNamesAndProposesTheOpenedType) {
    TForm1& f = NewForm({File("picture.bmp")});
    f.show();
    Drag(f, {{20, 20}, {50, 40}});
    const struct {
        const char* typed;
        const char* filter;
        const char* written;
        std::vector<uint8_t> magic;
    } cases[] = {
        {"a.png", "JPEG (*.jpg)", "a.png", {0x89, 'P', 'N', 'G'}},
        {"b.JPEG", "PNG (*.png)", "b.JPEG", {0xFF, 0xD8, 0xFF}},
        {"c.rgb", "PNG (*.png)", "c.rgb", {0x01, 0xDA}},
        {"d.tif", "PNG (*.png)", "d.tif.png", {0x89, 'P', 'N', 'G'}},
        {"e", "Targa (*.tga)", "e.tga", {0, 0, 2}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.typed);
        AnswerFileDialog(QString::fromStdString(File(c.typed)), QString::fromLatin1(c.filter),
                         true);
        f.FMSaveAsClick();
        ASSERT_TRUE(fs::exists(File(c.written)));
        std::vector<uint8_t> head = ReadWholeFile(File(c.written));
        head.resize(c.magic.size());
        EXPECT_EQ(head, c.magic);
        EXPECT_EQ(f.SaveFileName, File(c.written));
    }
    // The overwrite question asks about the final name: d.tif.png exists now.
    AnswerFileDialog(QString::fromStdString(File("d.tif")), QStringLiteral("PNG (*.png)"), true);
    const TBoxSeen box = AnswerMessageBox([&] { f.FMSaveAsClick(); }, QMessageBox::Cancel);
    EXPECT_EQ(box.title, "Confirm File Replace");
    EXPECT_FALSE(fs::exists(File("d.tif")));

    // A picture opened from a PNG proposes PNG, whatever type the dialog had last.
    f.OpenPictureFile(File("a.png"));
    AnswerFileDialog(QString::fromStdString(File("again")), {}, true);
    f.FMSaveAsClick();
    EXPECT_TRUE(fs::exists(File("again.png")));
}

TEST_F(MainWindow, SaveFailuresNameTheFileAndTheSystemsReason) {
    TForm1& f = NewForm({File("picture.bmp")});
    f.show();
    const std::string missing = File("no/such/folder/x.png");
    AnswerFileDialog(QString::fromStdString(missing), QStringLiteral("PNG (*.png)"), true);
    const TBoxSeen box = AnswerMessageBox([&] { f.Guarded([&] { f.FMSaveAsClick(); }); });
    EXPECT_EQ(box.title, "Convert error");
    EXPECT_TRUE(box.text.startsWith(QString::fromStdString(missing))) << box.text.toStdString();
    EXPECT_TRUE(box.text.contains("No such file or directory")) << box.text.toStdString();
    EXPECT_FALSE(box.text.contains("UNKOWN"));
    // The Windows bitmap writer throws: the same message, not a bare exception box.
    const std::string missingBmp = File("no/such/folder/x.bmp");
    AnswerFileDialog(QString::fromStdString(missingBmp), QStringLiteral("Bitmap (*.bmp)"), true);
    const TBoxSeen bmp = AnswerMessageBox([&] { f.Guarded([&] { f.FMSaveAsClick(); }); });
    EXPECT_EQ(bmp.title, "Convert error");
    EXPECT_TRUE(bmp.text.contains("No such file or directory")) << bmp.text.toStdString();
}

// A picture big enough that its PNG takes many progress steps.
void PaintLarge(TBitmap& b) {
    PaintPattern(b, 1200, 900, 2);
}

TEST_F(MainWindow, ASaveShowsProgressBlocksInputAndCancelKeepsTheOldFile) {
    TBitmap large;
    PaintLarge(large);
    large.SaveToFile(File("large.bmp"));
    TForm1& f = NewForm({File("large.bmp")});
    f.show();
    f.FMSave->setVisible(true);
    Drag(f, {{20, 20}, {50, 40}});
    const std::string old = "the old file";
    WriteWholeFile(File("out.png"), old.data(), int64_t(old.size()));
    const std::vector<uint8_t> before = ReadWholeFile(File("out.png"));
    f.SaveFileName = File("out.png");

    std::vector<int> seen;
    bool barShown = false;
    const QMetaObject::Connection c = QObject::connect(&f, &TForm1::WorkProgress, [&](int p) {
        seen.push_back(p);
        barShown = barShown || (f.ProgressBar->isVisible() && f.ButtonCancelWork->isVisible());
        if (seen.size() == 2) {
            // Input during the save goes nowhere: no stroke, no paste, no second save.
            Drag(f, {{100, 100}, {150, 140}});
            QTest::keyClick(&f, Qt::Key_V, Qt::ControlModifier);
            QTest::keyClick(&f, Qt::Key_S, Qt::ControlModifier);
        }
        if (seen.size() == 3) QTest::mouseClick(f.ButtonCancelWork, Qt::LeftButton);
    });
    QGuiApplication::clipboard()->setImage(ToImage(picture_));
    const std::vector<QString> boxes = AnswerEveryMessageBox([&] { f.FMSaveClick(); });
    QObject::disconnect(c);
    EXPECT_TRUE(boxes.empty()) << "a cancelled save is no failure";
    EXPECT_TRUE(barShown);
    ASSERT_GE(seen.size(), 3u);
    for (size_t i = 1; i < seen.size(); ++i) EXPECT_GT(seen[i], seen[i - 1]);
    EXPECT_LT(seen.back(), 100);
    EXPECT_EQ(ReadWholeFile(File("out.png")), before);
    EXPECT_EQ(f.History.Count(), 1) << "the drag during the save drew nothing";
    EXPECT_EQ(f.WorkBitmap.Width(), 1200) << "the paste during the save did not run";
    EXPECT_TRUE(f.IsModified());
    EXPECT_FALSE(f.IsBusy());
    EXPECT_FALSE(f.ProgressBar->isVisible());

    // Not cancelled: the listener sees it through to 100 and the file is written.
    seen.clear();
    const QMetaObject::Connection all =
        QObject::connect(&f, &TForm1::WorkProgress, [&](int p) { seen.push_back(p); });
    f.FMSaveClick();
    QObject::disconnect(all);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back(), 100);
    TBitmap written;
    LoadPictureFile(File("out.png"), written);
    EXPECT_TRUE(SamePixels(written, f.WorkBitmap));
    EXPECT_FALSE(f.IsModified());
}

TEST_F(MainWindow, ACancelledOpenKeepsTheOpenPicture) {
    TBitmap large;
    PaintLarge(large);
    TSaveOptions options;
    ASSERT_TRUE(SaveAsByType(large, File("large.png"), sftPNG, options, "", TExifProbe{}));
    TForm1& f = NewForm({File("picture.bmp")});
    f.show();
    Drag(f, {{20, 20}, {50, 40}});
    TBitmap edited;
    edited.Assign(f.WorkBitmap);
    int steps = 0;
    const QMetaObject::Connection c = QObject::connect(&f, &TForm1::WorkProgress, [&](int) {
        if (++steps == 2) f.ButtonCancelWork->click();
    });
    TUnsavedChangesAnswer discard(QMessageBox::Discard);
    const std::vector<QString> boxes = AnswerEveryMessageBox(
        [&] { f.Guarded([&] { f.OpenPictureFileAsked(File("large.png")); }); });
    QObject::disconnect(c);
    EXPECT_TRUE(boxes.empty());
    EXPECT_GE(steps, 2);
    EXPECT_EQ(f.FileName, File("picture.bmp"));
    EXPECT_TRUE(SamePixels(f.WorkBitmap, edited));
    EXPECT_TRUE(SamePixels(f.DisplayBitmap, edited));
    EXPECT_EQ(f.History.Count(), 1);
    EXPECT_EQ(f.windowTitle(), "*picture.bmp - Tilvo v1.47");
    // Opened to the end, it comes in.
    f.Guarded([&] { f.OpenPictureFileAsked(File("large.png")); });
    EXPECT_EQ(f.WorkBitmap.Width(), 1200);
}

TEST_F(MainWindow, AnInstalledProgramFindsItsLanguageFileInTheDataFolder) {
    // The installed layout: <prefix>/bin/tilvo and <prefix>/share/tilvo/Lang/Japanese.ini.
    std::ofstream(dir_ / "bin" / "tilvo.ini") << "[General]\nLanguage=ja\n";
    fs::create_directories(dir_ / "share" / "tilvo" / "Lang");
    std::ofstream(dir_ / "share" / "tilvo" / "Lang" / "Japanese.ini")
        << "[Form1]\nForm1.FMOpen.Caption=from the data folder\n";
    EXPECT_EQ(NewForm().FMOpen->text(), "from the data folder");
    // The folder beside the program comes first.
    fs::create_directories(dir_ / "bin" / "Lang");
    std::ofstream(dir_ / "bin" / "Lang" / "Japanese.ini")
        << "[Form1]\nForm1.FMOpen.Caption=beside the program\n";
    EXPECT_EQ(NewForm().FMOpen->text(), "beside the program");
}

// ---- Settings ---------------------------------------------------------------------------------

TEST_F(MainWindow, SettingsSurviveARealClose) {
    {
        TForm1& f = NewForm();
        // First start: two thirds of the screen, in its middle.
        const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
        EXPECT_EQ(f.size(), QSize(area.width() * 2 / 3, area.height() * 2 / 3));
        EXPECT_EQ(f.geometry().center().x() / 4, area.center().x() / 4);
        EXPECT_FALSE(f.FMSave->isVisible());
        EXPECT_EQ(f.SaveOptions.JPEGQuality, 80);
        f.FMBrush30->trigger();
        f.FMMosaicPix16->trigger();
        f.FMSoftenEdge->trigger();
        f.SaveOptions.JPEGQuality = 55;
        f.SaveOptions.PNGInterlaced = true;
        f.move(40, 50);
        f.resize(420, 380);
        f.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&f));
        f.FMExit->trigger();
        EXPECT_FALSE(f.isVisible());
    }
    ASSERT_TRUE(fs::exists(dir_ / "bin" / "tilvo.ini"));
    TForm1& g = NewForm();
    EXPECT_EQ(g.SettingsFileName(), (dir_ / "bin" / "tilvo.ini").string());
    EXPECT_TRUE(g.FMBrush30->isChecked());
    EXPECT_EQ(g.BrushSize, 30);
    EXPECT_TRUE(g.FMMosaicPix16->isChecked());
    EXPECT_FALSE(g.FMMosaicPix4->isChecked());
    EXPECT_FALSE(g.FMSoftenEdge->isChecked());
    EXPECT_EQ(g.SaveOptions.JPEGQuality, 55);
    EXPECT_TRUE(g.SaveOptions.PNGInterlaced);
    EXPECT_EQ(g.size(), QSize(420, 380));
    EXPECT_EQ(g.pos(), QPoint(40, 50));
}

TEST_F(MainWindow, WindowBoundsFromTheSettingsAreKeptOnTheScreen) {
    std::ofstream(dir_ / "bin" / "tilvo.ini")
        << "[General]\nLeft=-5000\nTop=99999\nWidth=99999\nHeight=99999\n";
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    {
        TForm1& f = NewForm();
        EXPECT_EQ(f.size(), area.size());
        EXPECT_EQ(f.pos(), area.topLeft());
        f.close();
    }
    form_.reset();
    const TIniFile ini((dir_ / "bin" / "tilvo.ini").string());
    EXPECT_EQ(ini.ReadInteger("General", "Left", 1), area.left());
    EXPECT_EQ(ini.ReadInteger("General", "Top", 1), area.top());
    EXPECT_EQ(ini.ReadInteger("General", "Width", 1), area.width());
    EXPECT_EQ(ini.ReadInteger("General", "Height", 1), area.height());
}

}  // namespace
}  // namespace tilvo
