// The main window's view, driven offscreen: the zoom and the picture pixels strokes land on, the
// brush's outline, rectangles dragged with Ctrl, Solid fill, the larger sizes and the "[" "]"
// steps, and the captions of every menu item in the shipped language file.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLocale>
#include <QMessageBox>
#include <QTimer>
#include <functional>
#include <QLabel>
#include <QProgressBar>
#include <QStatusBar>
#include <QMenu>
#include <QPaintEvent>
#include <QScreen>
#include <QScrollBar>
#include <QTest>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

#include "Effector/Pixelate.h"
#include "Effector/StrokeBlend.h"
#include "FileFormat/Graphic.h"
#include "app/Unit1.h"
#include "PictureCompare.h"
#include "UnsavedChangesAnswer.h"
#include "lang/IniFile.h"

namespace tilvo {
namespace {

namespace fs = std::filesystem;

class WindowView : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("tilvo_view_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "bin");
        exe_ = (dir_ / "bin" / "tilvo").string();
        // A known window: the same size on any screen.
        std::ofstream(dir_ / "bin" / "tilvo.ini")
            << "[General]\nLeft=0\nTop=0\nWidth=520\nHeight=420\n";
        PaintPattern(picture_, 240, 160);
        picture_.SaveToFile(File("picture.bmp"));
    }
    void TearDown() override {
        form_.reset();
        fs::remove_all(dir_);
    }

    std::string File(const std::string& name) const { return (dir_ / name).string(); }

    TForm1& NewShownForm(const std::string& picture) {
        form_.reset();
        form_ = std::make_unique<TForm1>(exe_, std::vector<std::string>{picture});
        form_->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(form_.get()));
        return *form_;
    }

    // Real mouse events on Image1, in its own (view) coordinates.
    static void Press(TForm1& f, QPoint p, Qt::KeyboardModifiers mods = {}) {
        QTest::mousePress(f.Image1, Qt::LeftButton, mods, p);
    }
    static void Move(TForm1& f, QPoint p, Qt::MouseButtons held = Qt::LeftButton,
                     Qt::KeyboardModifiers mods = {}) {
        QMouseEvent e(QEvent::MouseMove, QPointF(p), f.Image1->mapToGlobal(QPointF(p)),
                      Qt::NoButton, held, mods);
        QApplication::sendEvent(f.Image1, &e);
    }
    static void Release(TForm1& f, QPoint p, Qt::KeyboardModifiers mods = {}) {
        QTest::mouseRelease(f.Image1, Qt::LeftButton, mods, p);
    }
    static void Drag(TForm1& f, std::initializer_list<QPoint> points,
                     Qt::KeyboardModifiers mods = {}) {
        auto it = points.begin();
        Press(f, *it, mods);
        for (++it; it != points.end(); ++it) Move(f, *it, Qt::LeftButton, mods);
        Release(f, *(points.end() - 1), mods);
    }

    fs::path dir_;
    std::string exe_;
    TBitmap picture_;
    std::unique_ptr<TForm1> form_;
};

// ---- Zoom ---------------------------------------------------------------------------------------

// The same stroke, dragged where the same picture pixels show at 1/4, 1 and 3, commits the same
// picture: nothing of it depends on the zoom.
TEST_F(WindowView, AStrokeLandsOnTheSamePicturePixelsAtEveryZoom) {
    const QPoint stroke[] = {{40, 40}, {80, 60}, {120, 100}, {160, 104}};
    TBitmap results[3];
    int n = 0;
    for (const TZoom zoom : {TZoom{1, 4}, TZoom{1, 1}, TZoom{3, 1}}) {
        TForm1& f = NewShownForm(File("picture.bmp"));
        f.SetZoom(zoom, QPoint(0, 0));
        ASSERT_EQ(f.Zoom(), zoom);
        ASSERT_EQ(f.Image1->size(), QSize(ViewExtent(240, zoom), ViewExtent(160, zoom)));
        const auto view = [&](QPoint p) {
            return QPoint(PictureToView(p.x(), zoom), PictureToView(p.y(), zoom));
        };
        Press(f, view(stroke[0]));
        for (const QPoint p : stroke) Move(f, view(p));
        // The trail shows at the zoom: from 1 on, the view pixels over a stroke point show the
        // trail's colour merged over the picture there (below 1 they show it averaged).
        const TColor trail = f.DisplayBitmap.Pixel(stroke[1].x(), stroke[1].y());
        ASSERT_NE(trail, picture_.Pixel(stroke[1].x(), stroke[1].y()));
        if (!(zoom < TZoom{1, 1})) {
            const QImage shown = f.Image1->grab().toImage();
            const QPoint at = view(stroke[1]);
            for (int d = 0; d < zoom.Num; ++d)
                EXPECT_EQ(shown.pixel(at + QPoint(d, d)) & 0xFFFFFF,
                          qRgb(trail & 0xFF, (trail >> 8) & 0xFF, (trail >> 16) & 0xFF) & 0xFFFFFF)
                    << zoom.Num << "/" << zoom.Den;
        }
        Release(f, view(stroke[3]));
        ASSERT_EQ(f.History.Count(), 1);
        results[n++].Assign(f.WorkBitmap);
    }
    EXPECT_FALSE(SamePixels(results[1], picture_));
    EXPECT_TRUE(SamePixels(results[0], results[1])) << "1/4 and 1";
    EXPECT_TRUE(SamePixels(results[2], results[1])) << "3 and 1";
}

TEST_F(WindowView, APictureThatDoesNotFitOpensFittedAndTheViewMenuZooms) {
    TBitmap large;
    PaintPattern(large, 1600, 1200);
    large.SaveToFile(File("large.bmp"));
    TForm1& f = NewShownForm(File("large.bmp"));
    const QSize area = f.ScrollBox1->maximumViewportSize();
    EXPECT_EQ(f.Zoom(), FitZoom(1600, 1200, area.width(), area.height()));
    EXPECT_TRUE((f.Zoom() < TZoom{1, 1}));
    EXPECT_LE(f.Image1->width(), area.width());
    EXPECT_LE(f.Image1->height(), area.height());
    EXPECT_TRUE(f.Image1->width() == area.width() || f.Image1->height() == area.height());
    EXPECT_EQ(f.ScrollBox1->verticalScrollBar()->maximum(), 0) << "the whole picture shows";

    // The fitted view follows the window's size until a zoom is chosen.
    f.resize(f.width() + 200, f.height() + 150);
    QApplication::processEvents();
    const QSize larger = f.ScrollBox1->maximumViewportSize();
    EXPECT_EQ(f.Zoom(), FitZoom(1600, 1200, larger.width(), larger.height()));

    f.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&f));
    QTest::keyClick(&f, Qt::Key_1, Qt::ControlModifier);
    EXPECT_EQ(f.Zoom(), (TZoom{1, 1}));
    EXPECT_EQ(f.Image1->size(), QSize(1600, 1200));
    QTest::keyClick(&f, Qt::Key_Plus, Qt::ControlModifier);
    EXPECT_EQ(f.Zoom(), (TZoom{3, 2}));
    QTest::keyClick(&f, Qt::Key_Minus, Qt::ControlModifier);
    QTest::keyClick(&f, Qt::Key_Minus, Qt::ControlModifier);
    EXPECT_EQ(f.Zoom(), (TZoom{2, 3}));
    f.resize(f.width() - 100, f.height() - 100);
    QApplication::processEvents();
    EXPECT_EQ(f.Zoom(), (TZoom{2, 3})) << "a chosen zoom stays when the window changes";
    QTest::keyClick(&f, Qt::Key_0, Qt::ControlModifier);
    const QSize now = f.ScrollBox1->maximumViewportSize();
    EXPECT_EQ(f.Zoom(), FitZoom(1600, 1200, now.width(), now.height()));
    for (int i = 0; i < 20; ++i) f.FMZoomOut->trigger();
    EXPECT_EQ(f.Zoom(), kMinZoom);
    EXPECT_EQ(f.Image1->size(), QSize(100, 75));
    for (int i = 0; i < 20; ++i) f.FMZoomIn->trigger();
    EXPECT_EQ(f.Zoom(), kMaxZoom);
    EXPECT_EQ(f.Image1->size(), QSize(1600 * 16, 1200 * 16));

    // A picture that fits opens at 100 %, also after a zoomed one.
    f.OpenPictureFile(File("picture.bmp"));
    EXPECT_EQ(f.Zoom(), (TZoom{1, 1}));
    EXPECT_EQ(f.Image1->size(), QSize(240, 160));
    EXPECT_EQ(f.PanelCanvas->size(), QSize(240, 160));
    // Fit enlarges a small picture to the window.
    f.FMZoomFit->trigger();
    EXPECT_TRUE((TZoom{1, 1} < f.Zoom()));
    // The four zoom items, then the language submenu after a separator.
    ASSERT_EQ(f.FMView->actions().size(), 6);
    EXPECT_EQ(f.FMView->actions().at(3), f.FMZoom100);
    EXPECT_EQ(f.FMView->actions().at(5), f.FMLanguage->menuAction());
    EXPECT_EQ(f.FMZoomIn->shortcuts().value(0), QKeySequence(Qt::CTRL | Qt::Key_Plus));
}

TEST_F(WindowView, CtrlWheelZoomsAroundTheMouseAndThePlainWheelScrollsTwentyPixels) {
    TBitmap large;
    PaintPattern(large, 1600, 1200);
    large.SaveToFile(File("large.bmp"));
    TForm1& f = NewShownForm(File("large.bmp"));
    f.FMZoom100->trigger();
    QScrollBar* h = f.ScrollBox1->horizontalScrollBar();
    QScrollBar* v = f.ScrollBox1->verticalScrollBar();
    h->setValue(200);
    v->setValue(150);
    const QPoint mouse(100, 80);
    // The wheel over the picture: Image1 passes it on to the scroll box.
    const auto wheel = [&](int delta, Qt::KeyboardModifiers mods) {
        const QPointF at = f.Image1->mapFrom(f.ScrollBox1->viewport(), QPointF(mouse));
        QWheelEvent e(at, f.Image1->mapToGlobal(at), QPoint(), QPoint(0, delta), Qt::NoButton, mods,
                      Qt::NoScrollPhase, false);
        QApplication::sendEvent(f.Image1, &e);
    };
    // The picture pixel under the mouse, before and after each zoom.
    const auto under = [&] {
        return TPoint{ViewToPicture(h->value() + mouse.x(), f.Zoom()),
                      ViewToPicture(v->value() + mouse.y(), f.Zoom())};
    };
    const TPoint before = under();
    EXPECT_EQ(before, (TPoint{300, 230}));
    wheel(120, Qt::ControlModifier);
    EXPECT_EQ(f.Zoom(), (TZoom{3, 2}));
    TPoint after = under();
    EXPECT_LE(std::abs(after.X - before.X), 1);
    EXPECT_LE(std::abs(after.Y - before.Y), 1);
    wheel(-240, Qt::ControlModifier);
    EXPECT_EQ(f.Zoom(), (TZoom{2, 3}));
    after = under();
    EXPECT_LE(std::abs(after.X - before.X), 2);
    EXPECT_LE(std::abs(after.Y - before.Y), 2);

    // At any zoom the plain wheel moves the view 20 screen pixels a notch.
    f.FMZoomIn->trigger();
    f.FMZoomIn->trigger();
    ASSERT_EQ(f.Zoom(), (TZoom{3, 2}));
    v->setValue(100);
    wheel(-120, Qt::NoModifier);
    EXPECT_EQ(v->value(), 120);
    wheel(240, Qt::NoModifier);
    EXPECT_EQ(v->value(), 80);
    EXPECT_EQ(f.Zoom(), (TZoom{3, 2}));
}

// ---- The brush's outline
// -------------------------------------------------------------------------

TEST_F(WindowView, TheBrushOutlineFollowsTheMouseAtTheZoomRepaintingOnlyItsSquares) {
    TForm1& f = NewShownForm(File("picture.bmp"));
    f.SetZoom(TZoom{2, 1}, QPoint(0, 0));
    f.FMBrush30->trigger();
    Move(f, QPoint(100, 80), Qt::NoButton);
    const QRect first = f.Image1->BrushCircleRect();
    // Picture pixel 50, 40; its middle is at 101, 81 in the view; the circle 60 view pixels wide.
    EXPECT_EQ(first.center(), QPoint(101, 81));
    EXPECT_GE(first.width(), 60);
    EXPECT_LE(first.width(), 66);

    // The outline is drawn: view pixels on the circle differ from the picture shown there, the
    // middle shows the picture.
    const QImage shown = f.Image1->grab().toImage();
    const auto pictureAt = [&](QPoint view) {
        const TColor c = f.DisplayBitmap.Pixel(ViewToPicture(view.x(), f.Zoom()),
                                               ViewToPicture(view.y(), f.Zoom()));
        return qRgb(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF);
    };
    int onCircle = 0;
    for (const QPoint p :
         {QPoint(101 + 30, 81), QPoint(101 - 30, 81), QPoint(101, 81 + 30), QPoint(101, 81 - 30)}) {
        bool differs = false;
        for (int d = -1; d <= 1; ++d) {
            const QPoint q = p + (p.x() == 101 ? QPoint(0, d) : QPoint(d, 0));
            differs |= (shown.pixel(q) & 0xFFFFFF) != (pictureAt(q) & 0xFFFFFF);
        }
        onCircle += differs;
    }
    EXPECT_EQ(onCircle, 4);
    EXPECT_EQ(shown.pixel(101, 81) & 0xFFFFFF, pictureAt(QPoint(101, 81)) & 0xFFFFFF);

    // A move repaints the old and the new square and nothing else.
    QApplication::processEvents();
    QRegion painted;
    struct TPaintSpy : QObject {
        QRegion* Painted;
        explicit TPaintSpy(QRegion* p) : Painted(p) {}
        bool eventFilter(QObject*, QEvent* e) override {
            if (e->type() == QEvent::Paint) *Painted += static_cast<QPaintEvent*>(e)->region();
            return false;
        }
    } spy(&painted);
    f.Image1->installEventFilter(&spy);
    Move(f, QPoint(300, 200), Qt::NoButton);
    const QRect second = f.Image1->BrushCircleRect();
    QApplication::processEvents();
    f.Image1->removeEventFilter(&spy);
    EXPECT_FALSE(painted.isEmpty());
    EXPECT_TRUE((painted - (QRegion(first) + QRegion(second))).isEmpty());
    EXPECT_TRUE(painted.contains(first)) << "the old outline is wiped";
    EXPECT_TRUE(painted.contains(second));

    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(f.Image1, &leave);
    EXPECT_TRUE(f.Image1->BrushCircleRect().isEmpty()) << "no outline once the mouse has left";
}

// ---- Rectangles ---------------------------------------------------------------------------------

TEST_F(WindowView, ACtrlDragMosaicsTheWholeRectangleAndNothingOutsideIt) {
    TForm1& f = NewShownForm(File("picture.bmp"));
    f.FMMosaicPix8->trigger();
    TBitmap hardResult;
    // Dragged from its bottom-right corner to its top-left one, at a zoom of 2.
    const TRect rect{13, 21, 91, 70};
    for (const bool soft : {false, true}) {
        f.OpenPictureFile(File("picture.bmp"));
        f.SetZoom(TZoom{2, 1}, QPoint(0, 0));
        f.FMSoftenEdge->setChecked(soft);
        Press(f, QPoint(2 * 90 + 1, 2 * 69 + 1), Qt::ControlModifier);
        Move(f, QPoint(100, 100), Qt::LeftButton, Qt::ControlModifier);
        // Shown while dragging, as an outline only: the picture is not touched yet.
        EXPECT_EQ(f.Image1->RectOutline(), QRect(100, 100, 2 * 91 - 100, 2 * 70 - 100));
        Move(f, QPoint(2 * 13, 2 * 21 + 1), Qt::LeftButton, Qt::ControlModifier);
        EXPECT_TRUE(SamePixels(f.WorkBitmap, picture_));
        EXPECT_EQ(f.History.Count(), 0);
        Release(f, QPoint(2 * 13, 2 * 21 + 1), Qt::ControlModifier);
        EXPECT_TRUE(f.Image1->RectOutline().isEmpty());
        ASSERT_EQ(f.History.Count(), 1);
        EXPECT_TRUE(f.FMUndo->isEnabled());

        TBitmap expected;
        PixelateRect(picture_, rect, 8, 8, expected);
        for (int32_t y = rect.Top; y < rect.Bottom; ++y)
            ASSERT_EQ(std::memcmp(f.WorkBitmap.ScanLine(y) + 3 * rect.Left,
                                  expected.ScanLine(y - rect.Top), size_t(rect.Width()) * 3),
                      0)
                << "row " << y << (soft ? " soft" : " hard");
        const TRect changed = Differences(f.WorkBitmap, picture_);
        if (!soft) {
            EXPECT_TRUE(Inside(changed, rect)) << "nothing outside changes";
            hardResult.Assign(f.WorkBitmap);
        } else {
            // The softening lies outside the rectangle: inside it equals the hard edge's result.
            EXPECT_FALSE(Inside(changed, rect)) << "the soft edge shows outside";
            EXPECT_TRUE(Inside(changed, ComputeRectDirtyRect(rect, true, 240, 160)));
            for (int32_t y = rect.Top; y < rect.Bottom; ++y)
                ASSERT_EQ(
                    std::memcmp(f.WorkBitmap.ScanLine(y) + 3 * rect.Left,
                                hardResult.ScanLine(y) + 3 * rect.Left, size_t(rect.Width()) * 3),
                    0);
        }
        EXPECT_TRUE(SamePixels(f.DisplayBitmap, f.WorkBitmap));
        // Undo and redo need nothing new: the rectangle is a stroke of the history.
        TBitmap applied;
        applied.Assign(f.WorkBitmap);
        f.FMUndo->trigger();
        EXPECT_TRUE(SamePixels(f.WorkBitmap, picture_));
        f.FMRedo->trigger();
        EXPECT_TRUE(SamePixels(f.WorkBitmap, applied));
    }
}

TEST_F(WindowView, ARectangleAndAStrokeDoNotStartEachOther) {
    TForm1& f = NewShownForm(File("picture.bmp"));
    f.FMBrush20->trigger();
    f.FMSoftenEdge->setChecked(false);
    // A press without Ctrl, then a Ctrl press of another button: still one stroke.
    Press(f, QPoint(20, 20));
    QTest::mousePress(f.Image1, Qt::RightButton, Qt::ControlModifier, QPoint(200, 140));
    EXPECT_FALSE(f.RectCapture.Dragging);
    Move(f, QPoint(40, 20));
    Release(f, QPoint(40, 20));
    QTest::mouseRelease(f.Image1, Qt::RightButton, Qt::ControlModifier, QPoint(200, 140));
    EXPECT_EQ(f.History.Count(), 1);
    EXPECT_TRUE(Inside(Differences(f.WorkBitmap, picture_), TRect{0, 0, 64, 40}));
    // A rectangle ignores a second press; its release from outside the picture clips it.
    Press(f, QPoint(200, 100), Qt::ControlModifier);
    Press(f, QPoint(5, 5));
    EXPECT_FALSE(f.Capture->Drawing);
    Move(f, QPoint(400, 300), Qt::LeftButton, Qt::ControlModifier);
    Release(f, QPoint(400, 300), Qt::ControlModifier);
    EXPECT_EQ(f.History.Count(), 2);
    const TRect second = Differences(f.WorkBitmap, picture_);
    EXPECT_EQ(second.Right, 240);
    EXPECT_EQ(second.Bottom, 160);
}

// ---- Solid fill ---------------------------------------------------------------------------------

TEST_F(WindowView, SolidFillPaintsStrokesAndRectanglesOpaqueBlackAndIsRemembered) {
    {
        TForm1& f = NewShownForm(File("picture.bmp"));
        EXPECT_FALSE(f.FMSolidFill->isChecked());
        EXPECT_TRUE(f.FMSolidFill->isCheckable());
        EXPECT_EQ(f.FMSolidFill->text(), "Solid fill");
        f.FMBrush20->trigger();
        f.FMSoftenEdge->setChecked(false);
        f.FMSolidFill->trigger();
        ASSERT_EQ(f.StrokeEffect(), TStrokeEffect::SolidFill);

        Drag(f, {{30, 30}, {90, 30}});
        for (int32_t x = 30; x <= 90; ++x)
            for (int32_t y = 24; y <= 36; ++y)
                ASSERT_EQ(f.WorkBitmap.Pixel(x, y), 0u) << x << "," << y;
        EXPECT_TRUE(Inside(Differences(f.WorkBitmap, picture_), TRect{16, 16, 104, 48}));

        TBitmap afterStroke;
        afterStroke.Assign(f.WorkBitmap);
        Drag(f, {{150, 90}, {200, 130}}, Qt::ControlModifier);
        const TRect rect{150, 90, 201, 131};
        for (int32_t y = 0; y < 160; ++y)
            for (int32_t x = 0; x < 240; ++x) {
                const bool in =
                    x >= rect.Left && x < rect.Right && y >= rect.Top && y < rect.Bottom;
                if (in)
                    ASSERT_EQ(f.WorkBitmap.Pixel(x, y), 0u) << x << "," << y;
                else
                    ASSERT_TRUE(SamePixel(f.WorkBitmap, afterStroke, x, y)) << x << "," << y;
            }
        // Replayed as the same effect.
        TBitmap filled;
        filled.Assign(f.WorkBitmap);
        f.FMUndo->trigger();
        f.FMUndo->trigger();
        EXPECT_TRUE(SamePixels(f.WorkBitmap, picture_));
        f.FMRedo->trigger();
        f.FMRedo->trigger();
        EXPECT_TRUE(SamePixels(f.WorkBitmap, filled));

        // Off again: the next stroke is a mosaic.
        f.FMSolidFill->trigger();
        Drag(f, {{40, 120}});
        EXPECT_NE(f.WorkBitmap.Pixel(40, 120), 0u);
        f.FMSolidFill->trigger();
        TUnsavedChangesAnswer discard(QMessageBox::Discard);
        f.FMExit->trigger();
        EXPECT_EQ(discard.Asked, 1);
    }
    form_.reset();
    const TIniFile ini((dir_ / "bin" / "tilvo.ini").string());
    EXPECT_TRUE(ini.ReadBool("Mosaic", "SolidFill", false));
    TForm1& g = NewShownForm(File("picture.bmp"));
    EXPECT_TRUE(g.FMSolidFill->isChecked());
}

// ---- Sizes, brushes and their steps -------------------------------------------------------------

TEST_F(WindowView, LargerSizesFollowTheFirstOnesAndBracketsStepTheBrush) {
    TForm1& f = NewShownForm(File("picture.bmp"));
    const QList<QAction*> brushes = f.FMBrushSize->actions();
    const int32_t sizes[] = {5, 8, 10, 20, 30, 40, 50, 80, 120, 200, 300, 400, 600};
    for (size_t i = 0; i < std::size(sizes); ++i) {
        EXPECT_EQ(brushes.at(qsizetype(i))->objectName().toStdString(),
                  "FMBrush" + std::to_string(sizes[i]));
        EXPECT_EQ(brushes.at(qsizetype(i))->text(), QString::number(sizes[i]));
    }
    f.FMBrush600->trigger();
    EXPECT_EQ(f.BrushSize, 600);
    EXPECT_EQ(f.MaskBitmap.Canvas().Pen.Width, 600);
    f.FMMosaicPixItems.back()->trigger();
    EXPECT_EQ(f.MosaicSize, 64);
    EXPECT_EQ(f.FMMosaicPixItems.back()->text(), "64x64 pix");

    f.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&f));
    QTest::keyClick(&f, Qt::Key_BracketRight);
    EXPECT_EQ(f.BrushSize, 600) << "the largest brush stays";
    QTest::keyClick(&f, Qt::Key_BracketLeft);
    EXPECT_EQ(f.BrushSize, 400);
    EXPECT_TRUE(f.FMBrush400->isChecked());
    for (int i = 0; i < 14; ++i) QTest::keyClick(&f, Qt::Key_BracketLeft);
    EXPECT_EQ(f.BrushSize, 5);
    QTest::keyClick(&f, Qt::Key_BracketRight);
    EXPECT_EQ(f.BrushSize, 8);
    EXPECT_EQ(f.DisplayBitmap.Canvas().Pen.Width, 8);
    // A stroke right after a step takes the new brush.
    f.FMSoftenEdge->setChecked(false);
    Drag(f, {{120, 80}});
    EXPECT_TRUE(Inside(Differences(f.WorkBitmap, picture_), TRect{114, 74, 127, 87}));

    // Remembered as values; the next start checks the same items.
    for (QAction* item : f.FMMosaicPixItems)
        if (item->data().toInt() == 48) item->trigger();
    {
        TUnsavedChangesAnswer discard(QMessageBox::Discard);
        f.FMExit->trigger();
        EXPECT_EQ(discard.Asked, 1);
    }
    form_.reset();
    TForm1& g = NewShownForm(File("picture.bmp"));
    EXPECT_TRUE(g.FMBrush8->isChecked());
    EXPECT_EQ(g.BrushSize, 8);
    EXPECT_EQ(g.MosaicSize, 48);
}

// Every menu item and menu of the window has a caption of its own in the shipped language file.
TEST_F(WindowView, EveryMenuCaptionIsInTheShippedLanguageFile) {
    TForm1& f = NewShownForm(File("picture.bmp"));
    const TIniFile ini(std::string(TILVO_SOURCE_DIR) + "/data/Lang/Japanese.ini");
    ASSERT_TRUE(ini.FileFound());
    int checked = 0;
    for (QObject* o : f.findChildren<QObject*>()) {
        const QString name = o->objectName();
        if (!name.startsWith(QStringLiteral("FM"))) continue;
        const auto* action = qobject_cast<QAction*>(o);
        if (action && action->isSeparator()) continue;
        if (!action && !qobject_cast<QMenu*>(o)) continue;
        const std::string key = "Form1." + name.toStdString() + ".Caption";
        EXPECT_FALSE(ini.ReadString("Form1", key, "").empty()) << key;
        ++checked;
    }
    EXPECT_GT(checked, 40);
}

// ---- The stroke as it will be ------------------------------------------------------------------

// While a stroke, a rectangle or an ellipse is dragged, the shown copy already holds what the
// release commits, byte for byte: mosaic, solid fill and restore, soft and hard edges.
TEST_F(WindowView, WhatADragShowsIsWhatItsReleaseCommits) {
    TForm1& f = NewShownForm(File("picture.bmp"));
    int checked = 0;
    for (const TStrokeEffect effect :
         {TStrokeEffect::Mosaic, TStrokeEffect::SolidFill, TStrokeEffect::Restore}) {
        for (const bool soft : {true, false}) {
            for (const int shape : {0, 1, 2}) {  // brush, Ctrl rectangle, Ctrl+Shift ellipse
                SCOPED_TRACE(testing::Message() << int(effect) << " soft " << soft << " shape "
                                                << shape);
                f.OpenPictureFile(File("picture.bmp"));
                // A mosaic first, so that a restore has something to take back.
                f.FMRestore->setChecked(false);
                f.FMSolidFill->setChecked(false);
                Drag(f, {{10, 100}, {230, 110}}, Qt::ControlModifier);
                f.FMSoftenEdge->setChecked(soft);
                f.FMSolidFill->setChecked(effect == TStrokeEffect::SolidFill);
                f.FMRestore->setChecked(effect == TStrokeEffect::Restore);
                ASSERT_EQ(f.StrokeEffect(), effect);
                TBitmap before;
                before.Assign(f.WorkBitmap);
                const Qt::KeyboardModifiers mods =
                    shape == 0   ? Qt::KeyboardModifiers()
                    : shape == 1 ? Qt::KeyboardModifiers(Qt::ControlModifier)
                                 : Qt::KeyboardModifiers(Qt::ControlModifier | Qt::ShiftModifier);
                Press(f, QPoint(30, 60), mods);
                Move(f, QPoint(90, 80), Qt::LeftButton, mods);
                Move(f, QPoint(140, 130), Qt::LeftButton, mods);
                TBitmap shown;
                shown.Assign(f.DisplayBitmap);
                ASSERT_TRUE(SamePixels(f.WorkBitmap, before)) << "nothing is committed yet";
                ASSERT_FALSE(SamePixels(shown, before)) << "the drag shows its effect";
                Release(f, QPoint(140, 130), mods);
                ASSERT_EQ(f.History.Count(), 2);
                EXPECT_TRUE(SamePixels(f.WorkBitmap, shown)) << "committed equals shown";
                EXPECT_TRUE(SamePixels(f.DisplayBitmap, f.WorkBitmap));
                ++checked;
            }
        }
    }
    EXPECT_EQ(checked, 18);
}

// Mosaic > Restore (key R) puts the picture as opened back where it paints; undo and redo walk
// over it like any stroke.
TEST_F(WindowView, TheRestoreBrushTrimsAStrokeAndUndoRedoKeepIt) {
    TForm1& f = NewShownForm(File("picture.bmp"));
    f.FMSoftenEdge->setChecked(false);
    f.FMBrush20->trigger();
    Drag(f, {{0, 0}, {239, 159}}, Qt::ControlModifier);  // all of it mosaicked
    TBitmap mosaicked;
    mosaicked.Assign(f.WorkBitmap);
    ASSERT_FALSE(SamePixels(mosaicked, picture_));
    EXPECT_TRUE(f.FMRestore->isCheckable());
    f.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&f));
    QTest::keyClick(&f, Qt::Key_R);
    ASSERT_TRUE(f.FMRestore->isChecked());
    Drag(f, {{40, 80}, {200, 80}});
    for (int32_t x = 40; x <= 200; ++x)
        for (int32_t y = 72; y <= 88; ++y)
            ASSERT_EQ(f.WorkBitmap.Pixel(x, y), picture_.Pixel(x, y)) << x << "," << y;
    EXPECT_EQ(f.WorkBitmap.Pixel(120, 20), mosaicked.Pixel(120, 20));
    TBitmap trimmed;
    trimmed.Assign(f.WorkBitmap);
    f.FMUndo->trigger();
    EXPECT_TRUE(SamePixels(f.WorkBitmap, mosaicked));
    f.FMRedo->trigger();
    EXPECT_TRUE(SamePixels(f.WorkBitmap, trimmed));
    // Undo to the start and redo everything: the replay gives the same bytes.
    f.FMUndo->trigger();
    f.FMUndo->trigger();
    EXPECT_TRUE(SamePixels(f.WorkBitmap, picture_));
    f.FMRedo->trigger();
    f.FMRedo->trigger();
    EXPECT_TRUE(SamePixels(f.WorkBitmap, trimmed));
    QTest::keyClick(&f, Qt::Key_R);
    EXPECT_FALSE(f.FMRestore->isChecked());
}

// Ctrl+Shift mosaics the ellipse inscribed in the dragged rectangle: its corners stay, its middle
// and the middles of its sides change.
TEST_F(WindowView, CtrlShiftDragMosaicsTheInscribedEllipse) {
    TForm1& f = NewShownForm(File("picture.bmp"));
    f.FMSoftenEdge->setChecked(false);
    Drag(f, {{40, 20}, {199, 139}}, Qt::ControlModifier | Qt::ShiftModifier);
    ASSERT_EQ(f.History.Count(), 1);
    const TRect changed = Differences(f.WorkBitmap, picture_);
    EXPECT_TRUE(Inside(changed, TRect{40, 20, 200, 140}));
    for (const auto& [x, y] : {std::pair{41, 21}, {198, 21}, {41, 138}, {198, 138}, {60, 30}})
        EXPECT_EQ(f.WorkBitmap.Pixel(x, y), picture_.Pixel(x, y)) << "corner " << x << "," << y;
    int inside = 0;
    for (const auto& [x, y] : {std::pair{120, 80}, {45, 80}, {195, 80}, {120, 24}, {120, 135}})
        inside += f.WorkBitmap.Pixel(x, y) != picture_.Pixel(x, y);
    EXPECT_GE(inside, 4) << "cells can match the picture by chance, not all five";
}

// ---- Moving around -----------------------------------------------------------------------------

// The middle button drags the view, so does the left one while Space is held; neither paints, nor
// does the right button. Shift+wheel scrolls sideways, the arrow keys step a tenth of the view.
TEST_F(WindowView, MiddleButtonAndSpaceDragPanTheRightButtonPaintsNothing) {
    TForm1& f = NewShownForm(File("picture.bmp"));
    f.SetZoom(TZoom{4, 1}, QPoint(0, 0));
    QScrollBar* h = f.ScrollBox1->horizontalScrollBar();
    QScrollBar* v = f.ScrollBox1->verticalScrollBar();
    h->setValue(300);
    v->setValue(200);
    const auto drag = [&](Qt::MouseButton button, QPoint from, QPoint to) {
        QTest::mousePress(f.Image1, button, {}, from);
        QMouseEvent move(QEvent::MouseMove, QPointF(to), f.Image1->mapToGlobal(QPointF(to)),
                         Qt::NoButton, button, Qt::NoModifier);
        QApplication::sendEvent(f.Image1, &move);
        QTest::mouseRelease(f.Image1, button, {}, to);
    };
    drag(Qt::MiddleButton, QPoint(500, 400), QPoint(450, 370));
    EXPECT_EQ(h->value(), 350) << "the picture follows the pointer";
    EXPECT_EQ(v->value(), 230);
    EXPECT_FALSE(f.Panning());

    f.ScrollBox1->setFocus();
    QTest::keyPress(f.ScrollBox1, Qt::Key_Space);
    EXPECT_TRUE(f.SpaceHeld());
    drag(Qt::LeftButton, QPoint(600, 500), QPoint(640, 520));
    QTest::keyRelease(f.ScrollBox1, Qt::Key_Space);
    EXPECT_FALSE(f.SpaceHeld());
    EXPECT_EQ(h->value(), 310);
    EXPECT_EQ(v->value(), 210);

    drag(Qt::RightButton, QPoint(600, 500), QPoint(700, 560));
    EXPECT_EQ(f.History.Count(), 0) << "no button but the left one paints";
    EXPECT_TRUE(SamePixels(f.WorkBitmap, picture_));
    EXPECT_TRUE(SamePixels(f.DisplayBitmap, picture_));

    // Shift+wheel: sideways, 20 screen pixels a notch.
    const QPointF at(300, 200);
    QWheelEvent wheel(at, f.Image1->mapToGlobal(at), QPoint(), QPoint(0, -120), Qt::NoButton,
                      Qt::ShiftModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(f.Image1, &wheel);
    EXPECT_EQ(h->value(), 330);
    EXPECT_EQ(v->value(), 210);

    const QSize view = f.ScrollBox1->maximumViewportSize();
    QTest::keyClick(f.ScrollBox1, Qt::Key_Right);
    EXPECT_EQ(h->value(), 330 + view.width() / 10);
    QTest::keyClick(f.ScrollBox1, Qt::Key_Down);
    EXPECT_EQ(v->value(), 210 + view.height() / 10);
    QTest::keyClick(f.ScrollBox1, Qt::Key_Up);
    QTest::keyClick(f.ScrollBox1, Qt::Key_Left);
    EXPECT_EQ(h->value(), 330);
    EXPECT_EQ(v->value(), 210);
}

// Ctrl+wheel keeps the picture point under the mouse under it at every notch, in and out, also
// while a portrait picture is narrower than the view and its point lies at its right.
TEST_F(WindowView, CtrlWheelKeepsThePointUnderTheMouseBesideANarrowPicture) {
    TBitmap portrait;
    PaintPattern(portrait, 300, 1200);
    portrait.SaveToFile(File("portrait.bmp"));
    TForm1& f = NewShownForm(File("portrait.bmp"));
    ASSERT_LT(f.Image1->width(), f.ScrollBox1->maximumViewportSize().width());
    // The mouse over a point near the picture's right side; the picture point under it
    // (fractional picture pixels) is where the mouse is, to the pixel, after every notch.
    const auto origin = [&] { return f.PictureOrigin(); };
    const double z0 = f.Zoom().Value();
    const QPoint mouse = (origin() + QPointF(290.5, 600.5) * z0).toPoint();
    const QPointF mark = (QPointF(mouse) - origin()) / z0;
    ASSERT_GT(mark.x(), 285);
    const auto notch = [&](int delta) {
        QWheelEvent e(QPointF(mouse), f.ScrollBox1->viewport()->mapToGlobal(QPointF(mouse)),
                      QPoint(), QPoint(0, delta), Qt::NoButton, Qt::ControlModifier,
                      Qt::NoScrollPhase, false);
        QApplication::sendEvent(f.ScrollBox1->viewport(), &e);
    };
    int steps = 0;
    for (const int delta : {120, -120}) {
        for (int i = 0; i < 10; ++i) {
            const TZoom before = f.Zoom();
            notch(delta);
            ASSERT_FALSE(f.Zoom() == before);
            // Where the picture shows the mark now, on the screen's pixels.
            const QPointF shownOrigin(f.Image1->mapTo(f.ScrollBox1->viewport(), QPoint(0, 0)));
            const QPointF at = shownOrigin + mark * f.Zoom().Value();
            EXPECT_LE(std::abs(at.x() - mouse.x()), 1.0)
                << "notch " << i << " zoom " << f.Zoom().Num << "/" << f.Zoom().Den;
            EXPECT_LE(std::abs(at.y() - mouse.y()), 1.0);
            // And the picture pixel under the mouse is the mark's.
            const QPoint inImage = f.Image1->mapFrom(f.ScrollBox1->viewport(), mouse);
            EXPECT_LE(std::abs(ViewToPicture(inImage.x(), f.Zoom()) - int(mark.x())), 1);
            EXPECT_LE(std::abs(ViewToPicture(inImage.y(), f.Zoom()) - int(mark.y())), 1);
            ++steps;
        }
    }
    EXPECT_EQ(steps, 20);
}

// A picture smaller than the view sits in its middle; the empty window says how to open one; the
// status bar shows the zoom, the picture's size and the cell and brush sizes, and the brush's
// outline gets a cross when it is small on screen.
TEST_F(WindowView, SmallPicturesAreCentredAndTheStatusBarTellsTheSizes) {
    {
        TForm1 empty(exe_, {});
        EXPECT_TRUE(empty.ScrollBox1->EmptyText().contains(QStringLiteral("Ctrl+O")));
        EXPECT_TRUE(empty.LabelPictureSize->text().isEmpty());
    }

    TForm1& f = NewShownForm(File("picture.bmp"));
    EXPECT_TRUE(f.ScrollBox1->EmptyText().isEmpty());
    const QSize view = f.ScrollBox1->maximumViewportSize();
    const QPoint origin = f.Image1->mapTo(f.ScrollBox1->viewport(), QPoint(0, 0));
    EXPECT_EQ(origin, QPoint((view.width() - 240) / 2, (view.height() - 160) / 2));
    EXPECT_TRUE(f.statusBar()->isVisible());
    EXPECT_FALSE(f.ProgressBar->isVisible());
    EXPECT_EQ(f.LabelZoom->text(), "100 %");
    EXPECT_EQ(f.LabelPictureSize->text(), QStringLiteral("240 × 160"));
    EXPECT_EQ(f.LabelCellSize->text(), "Cells 16");
    EXPECT_EQ(f.LabelBrushSize->text(), "Brush 50");
    f.FMZoomIn->trigger();
    EXPECT_EQ(f.LabelZoom->text(), "150 %");
    f.FMBrush8->trigger();
    f.FMMosaicPix4->trigger();
    EXPECT_EQ(f.LabelBrushSize->text(), "Brush 8");
    EXPECT_EQ(f.LabelCellSize->text(), "Cells 4");
    // 100 % centres again.
    f.FMZoom100->trigger();
    EXPECT_EQ(f.Image1->mapTo(f.ScrollBox1->viewport(), QPoint(0, 0)), origin);

    Move(f, QPoint(100, 80), Qt::NoButton);
    EXPECT_FALSE(f.Image1->BrushCrossShown()) << "8 screen pixels show as a circle";
    f.FMBrush5->trigger();
    Move(f, QPoint(101, 80), Qt::NoButton);
    EXPECT_TRUE(f.Image1->BrushCrossShown());
    EXPECT_GE(f.Image1->BrushCircleRect().width(), 2 * TImage::kCrossArm);
    f.SetZoom(TZoom{2, 1}, QPoint(0, 0));
    Move(f, QPoint(100, 80), Qt::NoButton);
    EXPECT_FALSE(f.Image1->BrushCrossShown()) << "10 screen pixels";
}

// ---- Language and recent files ------------------------------------------------------------------

// Closes the next message box shown while `run` runs and answers its text.
QString TextOfNextBox(const std::function<void()>& run) {
    QString text;
    QTimer timer;
    timer.setInterval(5);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible()) return;
        text = box->text();
        box->done(QMessageBox::Ok);
    });
    timer.start();
    run();
    return text;
}

// The texts follow the reader: the system's first user-interface language when nothing was
// chosen, View > Language when something was (remembered), the About box too.
TEST_F(WindowView, TheLanguageFollowsTheSystemOrTheChoiceAndIsRemembered) {
    fs::create_directories(dir_ / "bin" / "Lang");
    fs::copy_file(std::string(TILVO_SOURCE_DIR) + "/data/Lang/Japanese.ini",
                  dir_ / "bin" / "Lang" / "Japanese.ini");
    {
        TForm1& f = NewShownForm(File("picture.bmp"));
        const QStringList ui = QLocale::system().uiLanguages();
        const bool japanese = !ui.isEmpty() && ui.front().startsWith(QLatin1String("ja"));
        EXPECT_EQ(f.Language(), japanese ? kLanguageJapanese : 0);
        EXPECT_EQ(f.FMOpen->text(), japanese ? QStringLiteral("開く(&O)...") : QStringLiteral("&Open..."));
        f.FMLanguageJapanese->trigger();
        EXPECT_EQ(f.FMOpen->text(), QStringLiteral("開く(&O)..."));
        EXPECT_EQ(f.FMMosaic->title(), QStringLiteral("モザイク(&M)"));
        EXPECT_EQ(f.LabelBrushSize->text(), QStringLiteral("ブラシ 50"));
        EXPECT_EQ(TextOfNextBox([&] { f.FMHelpClick(); }).count(QStringLiteral("モザイク")), 1);
        EXPECT_EQ(LanguageMessages().MBTFileReplace, "上書きの確認");
        f.FMLanguageEnglish->trigger();
        EXPECT_EQ(f.FMOpen->text(), "&Open...");
        EXPECT_EQ(f.FMMosaic->title(), "&Mosaic");
        EXPECT_EQ(f.LabelBrushSize->text(), "Brush 50");
        EXPECT_TRUE(TextOfNextBox([&] { f.FMHelpClick(); }).contains("pixel mosaic"));
        EXPECT_EQ(LanguageMessages().MBTFileReplace, "Confirm File Replace");
        f.FMLanguageJapanese->trigger();
    }
    form_.reset();
    TForm1& g = NewShownForm(File("picture.bmp"));
    EXPECT_EQ(g.Language(), kLanguageJapanese) << "the choice is remembered";
    EXPECT_TRUE(g.FMLanguageJapanese->isChecked());
    EXPECT_EQ(g.FMOpen->text(), QStringLiteral("開く(&O)..."));
}

// File > Open Recent holds the files last opened and saved, newest first, remembered; one that has
// gone is said so and leaves the list.
TEST_F(WindowView, OpenRecentListsTheLastFilesAndDropsMissingOnes) {
    PaintPattern(picture_, 200, 100, 3);
    picture_.SaveToFile(File("second.bmp"));
    picture_.SaveToFile(File("third.bmp"));
    {
        TForm1& f = NewShownForm(File("picture.bmp"));
        f.OpenPictureFile(File("second.bmp"));
        f.OpenPictureFile(File("third.bmp"));
        f.OpenPictureFile(File("second.bmp"));
        ASSERT_EQ(f.RecentFiles(),
                  (std::vector<std::string>{File("second.bmp"), File("third.bmp"),
                                            File("picture.bmp")}));
        ASSERT_EQ(f.FMOpenRecent->actions().size(), 3);
        EXPECT_EQ(f.FMOpenRecent->actions().at(1)->text(), "&2 third.bmp");
        f.FMOpenRecent->actions().at(2)->trigger();
        EXPECT_EQ(f.FileName, File("picture.bmp"));
        EXPECT_EQ(f.RecentFiles().front(), File("picture.bmp"));
        for (int i = 0; i < 12; ++i) {
            const std::string name = File("many" + std::to_string(i) + ".bmp");
            picture_.SaveToFile(name);
            f.OpenPictureFile(name);
        }
        EXPECT_EQ(f.RecentFiles().size(), 10u);
        EXPECT_EQ(f.RecentFiles().front(), File("many11.bmp"));
    }
    form_.reset();
    TForm1& g = NewShownForm(File("picture.bmp"));
    ASSERT_EQ(g.RecentFiles().size(), 10u);
    EXPECT_EQ(g.RecentFiles()[1], File("many11.bmp")) << "remembered";
    fs::remove(File("many10.bmp"));
    const QString said = TextOfNextBox([&] { g.OpenRecentFile(2); });
    EXPECT_TRUE(said.contains(QString::fromStdString(File("many10.bmp")))) << said.toStdString();
    EXPECT_EQ(g.RecentFiles().size(), 9u);
    EXPECT_EQ(g.FMOpenRecent->actions().size(), 9);
    EXPECT_EQ(g.FileName, File("picture.bmp")) << "the open picture stays";
}

}  // namespace
}  // namespace tilvo
