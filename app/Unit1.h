// TForm1, the main window: the open picture and its surfaces, the menus, stroke capture with its
// on-screen trail, undo and redo, the clipboard, dropped files, Save and Save As, and the settings.
#pragma once

#include <QCursor>
#include <QImage>
#include <QMainWindow>
#include <QWidget>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "Effector/Bitmap.h"
#include "Effector/HistoryListEx.h"
#include "Effector/LiveStroke.h"
#include "FileFormat/Progress.h"
#include "FileFormat/SaveDispatch.h"
#include "TilvoVersion.h"
#include "app/EvtScroll.h"
#include "app/Settings.h"
#include "app/StrokeCapture.h"
#include "app/ZoomView.h"
#include "dialogs/SaveDialogPassport.h"

class QAction;
class QActionGroup;
class QMenu;
class QFileDialog;
class QLabel;
class QKeyEvent;
class QProgressBar;
class QPushButton;

namespace tilvo {

class TForm1;

// The caption's program name and version.
inline constexpr const char* kTilvoTitle = "Tilvo v" TILVO_VERSION_SHORT;
inline constexpr const char* kTilvoHomePage = "https://tilvo.example.org/";

// Image1: shows the shown copy of the edited picture at the window's zoom, with the brush's
// outline under the pointer and the outline of a rectangle being dragged, and hands the mouse to
// the window in picture coordinates.
class TImage : public QWidget {
    Q_OBJECT

  public:
    TImage(TForm1* form, QWidget* parent);
    // The picture to show; it wraps the shown surface, which must outlive it.
    void SetPicture(const QImage& picture);
    const QImage& Picture() const { return FPicture; }
    QSize sizeHint() const override { return ViewSize(); }

    // The zoom the picture is shown at; the widget takes the picture's size at that zoom.
    void SetZoom(TZoom zoom);
    TZoom Zoom() const { return FZoom; }
    QSize ViewSize() const;
    // The picture pixel under a point of the widget.
    TPoint PicturePoint(QPointF pos) const;
    // Repaints the part of the view that shows rect (picture coordinates).
    void UpdatePictureRect(const TRect& rect);

    // The brush's outline: a circle of `diameter` picture pixels around picture pixel `centre`,
    // drawn at the zoom. Only the old and the new circle's squares are repainted.
    void ShowBrushCircle(TPoint centre, int32_t diameter);
    void HideBrushCircle();
    // The square the circle covers in widget coordinates (empty when it is hidden).
    QRect BrushCircleRect() const { return FCircleShown ? FCircle : QRect(); }
    // Below this diameter on screen the brush's circle gets a cross of arms kCrossArm long.
    static constexpr double kCrossBelow = 8;
    static constexpr double kCrossArm = 7;
    bool BrushCrossShown() const { return FCircleShown && FCircleDiameter < kCrossBelow; }
    // The outline of a rectangle being dragged (picture coordinates); an empty one hides it.
    void ShowRectOutline(const TRect& rect);
    QRect RectOutline() const { return FOutline; }

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

  private:
    void UpdateOutlineEdges(const QRect& outline);

    TForm1* FForm;
    QImage FPicture;
    TZoom FZoom;
    TViewScratch FScratch;  // reused by every scaled repaint
    QImage FBuffer;         // likewise: the scaled part before it goes to the screen
    bool FCircleShown = false;
    double FCircleDiameter = 0;  // the brush's diameter in screen pixels
    QRect FCircle;   // the brush outline's square, widget coordinates
    QRect FOutline;  // the dragged rectangle's view, widget coordinates; empty when none
};

class TForm1 : public QMainWindow {
    Q_OBJECT

  public:
    // exePath: the program's full path (the settings file and the language folder lie beside it);
    // args: the command-line arguments after the program's name.
    TForm1(const std::string& exePath, const std::vector<std::string>& args,
           QWidget* parent = nullptr);
    ~TForm1() override;

    // ---- Components ----
    TEventScrollBox* ScrollBox1 = nullptr;
    QWidget* ViewRoom = nullptr;  // the scroll box's content: PanelCanvas and the room beside it
    QWidget* PanelCanvas = nullptr;
    TImage* Image1 = nullptr;
    QFileDialog* OpenPictureDialog1 = nullptr;
    TSaveDialogPassport SaveDialog1;

    QMenu* FMFile = nullptr;
    QAction* FMOpen = nullptr;
    QAction* FMSave = nullptr;
    QAction* FMSaveAs = nullptr;
    QAction* FMExit = nullptr;
    QMenu* FMEdit = nullptr;
    QAction* FMUndo = nullptr;
    QAction* FMRedo = nullptr;
    QAction* FMHistoryPalette = nullptr;
    QAction* FMEditL1 = nullptr;
    QAction* FMCopyToClipboard = nullptr;
    QAction* FMPaste = nullptr;
    QMenu* FMMosaic = nullptr;
    QMenu* FMMosaicPixSize = nullptr;
    QAction* FMMosaicPix2 = nullptr;
    QAction* FMMosaicPix4 = nullptr;
    QAction* FMMosaicPix8 = nullptr;
    QAction* FMMosaicPix12 = nullptr;
    QAction* FMMosaicPix16 = nullptr;
    std::vector<QAction*> FMMosaicPixItems;  // one per mosaic size, in the order of the sizes
    QMenu* FMBrushSize = nullptr;
    QAction* FMBrush5 = nullptr;
    QAction* FMBrush8 = nullptr;
    QAction* FMBrush10 = nullptr;
    QAction* FMBrush20 = nullptr;
    QAction* FMBrush30 = nullptr;
    QAction* FMBrush40 = nullptr;
    QAction* FMBrush50 = nullptr;
    QAction* FMBrush80 = nullptr;
    QAction* FMBrush120 = nullptr;
    QAction* FMBrush200 = nullptr;
    QAction* FMBrush300 = nullptr;
    QAction* FMBrush400 = nullptr;
    QAction* FMBrush600 = nullptr;
    std::vector<QAction*> FMBrushItems;  // one per brush size, in the order of kBrushSizes
    QAction* FMBrushSmaller = nullptr;   // "[": the next smaller brush
    QAction* FMBrushLarger = nullptr;    // "]": the next larger brush
    QAction* FMSoftenEdge = nullptr;
    QAction* FMSolidFill = nullptr;  // strokes and rectangles paint opaque black
    QAction* FMRestore = nullptr;    // "R": strokes and rectangles put the picture as opened back
    QMenu* FMView = nullptr;
    QAction* FMZoomIn = nullptr;
    QAction* FMZoomOut = nullptr;
    QAction* FMZoomFit = nullptr;
    QAction* FMZoom100 = nullptr;
    QMenu* FMLanguage = nullptr;          // View > Language
    QAction* FMLanguageEnglish = nullptr;
    QAction* FMLanguageJapanese = nullptr;
    QMenu* FMOpenRecent = nullptr;        // File > Open Recent
    QAction* FMHelp = nullptr;

    // ---- The open picture ----
    TBitmap WorkBitmap;     // the edited picture: what is shown, copied and saved
    TBitmap SourceBitmap;   // the picture as loaded, 24 bits; history replay starts from it
    TBitmap RegionBitmap;   // scratch: the dirty rectangle cut out of a picture
    TBitmap MaskBitmap;     // the stroke mask
    TBitmap DisplayBitmap;  // the copy Image1 shows, with the brush trail drawn over it
    std::unique_ptr<TStrokeCapture> Capture;
    TRectCapture RectCapture;  // a rectangle dragged with Ctrl held (an ellipse with Ctrl+Shift)
    // The stroke being dragged, shown on DisplayBitmap as it will be committed.
    TLiveStroke Live;
    int32_t BrushSize = kDefaultBrushSize;
    TColor TrailColor = 16756991;
    THistoryControl History;
    TRect DirtyRect;
    uint8_t HistoryKind = 2;
    QCursor BrushCursor;
    int32_t MosaicSize = kDefaultMosaicSize;
    std::string FileName;      // the file the picture came from; empty after a paste
    std::string SaveFileName;  // the file Save overwrites
    TSaveOptions SaveOptions;  // the options last confirmed in the save dialog (or read)
    // The exact bytes of the JPEG SourceBitmap was decoded from ("Keep untouched areas exactly");
    // empty when the picture came from anything else.
    std::vector<uint8_t> SourceJpeg;

    const std::string& SettingsFileName() const { return FSettingsFile; }

    // ---- Unsaved work ----
    // Whether the picture was changed since it was opened, pasted or last saved: its history
    // position differs from the position at that moment. The caption then starts with "*".
    bool IsModified() const;
    // Before the picture goes (Exit, close, Open, a drop, Paste): when it is modified, asks Save /
    // Discard / Cancel. True when the window may go on: nothing to lose, discarded, or saved
    // ("Save" runs Save where it is shown and has a file, else Save As). A cancelled question, a
    // cancelled dialog and a failed or cancelled save answer false.
    bool MayDiscardPicture();
    // Opens a file the user chose (open dialog, drop): asks about unsaved work first; a failure
    // is shown with the file's name and the cause.
    void OpenPictureFileAsked(const std::string& fileName);

    // ---- Long work ----
    // While an open or a save runs, the status bar shows its progress and a Cancel button, and the
    // window takes no other input. BeginWork answers the listener to hand to the work; EndWork
    // puts the window back. The work runs in this thread: the listener lets the window handle its
    // events at each step.
    QProgressBar* ProgressBar = nullptr;
    QLabel* LabelZoom = nullptr;         // "25 %"
    QLabel* LabelPictureSize = nullptr;  // "6000 × 4000"
    QLabel* LabelCellSize = nullptr;     // "Cells 16"
    QLabel* LabelBrushSize = nullptr;    // "Brush 50"
    QPushButton* ButtonCancelWork = nullptr;
    bool IsBusy() const { return FBusy; }
    bool WorkCancelled() const { return FCancelRequested; }
    TProgressFn BeginWork();
    void EndWork();

    // ---- Handlers ----
    void FormCreate();
    void FormShow();
    void FormDestroy();
    void FMOpenClick();
    void FMSaveClick();
    // Shows why "Keep untouched areas exactly" did not apply to the save just made, if it did not.
    void ShowKeepUntouchedNote(const std::string& note);
    void FMSaveAsClick();
    void FMExitClick();
    void FMEditClick();
    void FMUndoClick();
    void FMRedoClick();
    void FMCopyToClipboardClick();
    void FMPasteClick();
    void MosaicPixSizeChange();
    void BrushSizeChange();
    void FMHelpClick();

    // ---- Language and recent files ----
    // The language of the texts: Japanese (kLanguageJapanese) when View > Language chose it, or
    // when nothing was chosen and the system's first user-interface language is Japanese; else
    // English (0).
    int32_t ChosenLanguage() const;
    int32_t Language() const { return FLanguage; }
    // Puts every text of the window, its messages and the save dialog into that language.
    void ApplyLanguage(int32_t language);
    // File > Open Recent: the files last opened or saved, newest first.
    const std::vector<std::string>& RecentFiles() const { return FSettings.RecentFiles; }
    // Opens entry `index` of Open Recent; a file that has gone is said so and taken off the list.
    void OpenRecentFile(size_t index);
    // button: the mouse button pressed or released (Qt::MouseButton's value; 1 is the left).
    void Image1MouseDown(int32_t x, int32_t y, int32_t button = 1);
    void Image1MouseMove(int32_t x, int32_t y);
    void Image1MouseUp(int32_t button = 1);
    // A press with Ctrl held starts a rectangle (picture coordinates); Image1MouseMove moves its
    // free corner and Image1MouseUp applies it.
    void Image1RectDown(int32_t x, int32_t y, int32_t button = 1, bool ellipse = false);

    // ---- Panning ----
    // The middle button, or the left one while Space is held, drags the view: the picture moves
    // with the pointer (global screen coordinates).
    void BeginPan(QPoint globalPos);
    void PanTo(QPoint globalPos);
    void EndPan();
    bool Panning() const { return FPanning; }
    bool SpaceHeld() const { return FSpaceHeld; }
    // The arrow keys: a tenth of the view a press.
    void StepView(int dx, int dy);
    // Space (held for panning) and the arrow keys; answers whether the key was used.
    bool ViewKey(const QKeyEvent& key, bool press);
    void ScrollBox1Click();
    void ScrollBox1MouseWheelDown();
    void ScrollBox1MouseWheelUp();
    // The wheel over the picture or the scroll box (at: the point in the viewport): Ctrl+wheel
    // zooms around that point, the plain wheel scrolls 20 pixels a notch. Answers whether it
    // used the event.
    bool ViewportWheel(const QWheelEvent& wheel, QPoint at);

    // ---- View ----
    // How the zoom follows the window: Auto shows the picture at 100 % when it fits and fitted
    // when it does not (what every opened picture starts with), Fit always fits it, Fixed keeps
    // the zoom chosen.
    enum class TZoomMode : uint8_t { Auto, Fit, Fixed };
    void FMZoomInClick();
    void FMZoomOutClick();
    void FMZoomFitClick();
    void FMZoom100Click();
    void FMBrushSmallerClick();
    void FMBrushLargerClick();
    TZoom Zoom() const { return Image1->Zoom(); }
    TZoomMode ZoomMode() const { return FZoomMode; }
    // Shows the picture at `zoom` (kept within 1/16 … 16); the picture pixel under `anchor`
    // (a point of the scroll box's viewport) stays where it is.
    void SetZoom(TZoom zoom, QPoint anchor);
    // Where the picture's top-left corner lies in the scroll box's viewport (fractional: the
    // place last chosen, while nothing scrolled since).
    QPointF PictureOrigin() const;
    // The effect strokes and rectangles have, from Mosaic > Solid fill.
    TStrokeEffect StrokeEffect() const;

    // Opens a picture file; an empty name or a name that is no file does nothing. A file that
    // cannot be read leaves the window as it was and raises the reader's error.
    void OpenPictureFile(const std::string& fileName);
    // Whether the clipboard holds a picture: image data, or the URL of one local picture file.
    static bool ClipboardHasPicture();
    // Answers whether an existing file may be replaced (asks the user when it exists).
    bool ConfirmOverwrite(const std::string& fileName);

    // Runs a handler the way every handler runs: an exception is shown in a message box titled
    // "Tilvo" ("out of memory" for std::bad_alloc) and the window goes on in the state it had.
    template <class F>
    void Guarded(F&& handler) {
        try {
            handler();
        } catch (const ECancelled&) {
            // The user stopped the work: the window is as it was, there is nothing to say.
        } catch (const std::bad_alloc&) {
            ShowException("out of memory");
        } catch (const std::exception& e) {
            ShowException(e.what());
        }
    }
    void ShowException(const std::string& message);

  signals:
    // A step of the running open or save, 0 … 100.
    void WorkProgress(int percent);

  protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;

  private:
    void CreateMenus();
    void LoadSettings();
    void SaveSettings();
    // Both answer true when the file was written.
    bool SaveAs();
    bool SaveToSaveFileName();
    // The caption without the modified marker; the marker follows IsModified().
    void SetCaption(const QString& caption);
    void UpdateModifiedMarker();
    // The history position, within 0 … the number of entries.
    int32_t HistoryPosition() const;
    bool ReportWork(int32_t percent);
    void CommitStroke();
    void CommitRect();
    void CreateViewMenu();
    // The zoom of the Auto or Fit mode for the viewport's present size; Fixed keeps the zoom.
    void ApplyZoomMode();
    // A new picture starts in the Auto mode, scrolled to its top-left corner.
    void ZoomForNewPicture();
    void StepBrush(int step);
    // Puts the picture's top-left corner at `origin` in the viewport, sizing the scroll box's
    // content to the picture and the empty room beside it.
    void PlacePicture(QPointF origin);
    // A picture smaller than the view in its middle; a larger one with the picture point `keep`
    // in the view's middle as far as its edges allow.
    void CentrePicture(QPointF keep);
    QPointF PictureAtViewCentre() const;
    // The status bar's zoom, picture size, cell and brush sizes.
    void UpdateStatus();
    // The steps every load and paste share: converts `loaded` to 24 bits and makes sure of every
    // buffer its copies need, and only then takes it as SourceBitmap, runs `switchState` (caption,
    // Save, FileName), makes the working and shown copies and shows the picture. Anything that
    // fails throws before the window changed. The preview is rebuilt afterwards.
    void TakeNewPicture(TBitmap& loaded, const std::function<void()>& switchState);
    // After a failed open: the shown copy takes `buffer` back and is remade from WorkBitmap.
    // The picture widget shows WorkBitmap itself (the shown copy is being remade or lent).
    void ShowPictureDirectly();
    void RemakeDisplay(TBitmap& buffer);
    // The mosaic size of the checked item (4 when none is).
    // Shows a fresh copy of WorkBitmap.
    void ShowWorkBitmap();
    // Shows DisplayBitmap as it is.
    void ShowDisplayBitmap();
    // Copies rect of WorkBitmap onto the shown copy and repaints it.
    void RestoreDisplay(TRect rect);
    // Draws one trail segment on the shown copy and repaints the rectangle it covers.
    void DrawTrail(TPoint from, TPoint to);
    void UpdateClipboardActions();
    // The failure message of Save and Save As: the file, then the cause (the writer's reason or
    // the system's error text); the language file's text when no cause is known.
    // After a file dialog: closes what it may have left open and gives the window the input.
    void TakeInputBack();
    void ShowConvertError(const std::string& fileName, const std::string& why = {});
    void SetCaptionForFile();

    std::string FExePath;
    std::vector<std::string> FArgs;
    std::string FSettingsFile;
    TSettings FSettings;  // as read at start-up; SaveSettings fills it again
    bool FSettingsSaved = false;
    TRect FTrailRect;  // what the trail of the stroke in progress covers
    int FWheelRest = 0;
    int FHWheelRest = 0;
    int FZoomWheelRest = 0;
    TZoomMode FZoomMode = TZoomMode::Auto;
    int32_t FSavedPosition = 0;  // the history position when the picture was opened or saved
    QString FCaption;            // the caption without the modified marker
    QString FEmptyHint;  // what the empty window says
    int32_t FLanguage = 0;
    QString FSavedAsCaption;  // the file name Save As last wrote, when not the open file
    // The window's own (English) texts of every action and menu, put back for English.
    std::vector<std::pair<QObject*, QString>> FBuiltInTexts;
    void RebuildRecentMenu();
    void AddRecent(const std::string& fileName);
    QPointF FOrigin;  // the picture's top-left corner in the viewport as last placed
    bool FOriginValid = false;
    bool FPanning = false;
    bool FSpaceHeld = false;
    QPoint FPanFrom;        // the pointer where the pan started (global)
    QPoint FPanScroll;      // the scroll values then
    TRect FShapeShown;      // what the preview of a dragged rectangle or ellipse wrote on screen
    void ShowShapePreview();
    bool FBusy = false;
    bool FCancelRequested = false;
    std::unique_ptr<QObject> FInputBlocker;
};

}  // namespace tilvo
