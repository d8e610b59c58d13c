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
#include "FileFormat/SaveDispatch.h"
#include "app/EvtScroll.h"
#include "app/Settings.h"
#include "app/StrokeCapture.h"
#include "dialogs/SaveDialogPassport.h"

class QAction;
class QActionGroup;
class QMenu;
class QFileDialog;

namespace tilvo {

class TForm1;

// The caption's program name and version.
inline constexpr const char* kTilvoTitle = "Tilvo v1.47";
inline constexpr const char* kTilvoHomePage = "https://tilvo.example.org/";

// Image1: shows the shown copy of the edited picture at its natural size, so that its coordinates
// are picture pixels, and hands the mouse to the window.
class TImage : public QWidget {
    Q_OBJECT

  public:
    TImage(TForm1* form, QWidget* parent);
    // The picture to show; it wraps the shown surface, which must outlive it.
    void SetPicture(const QImage& picture);
    const QImage& Picture() const { return FPicture; }
    QSize sizeHint() const override { return FPicture.size(); }

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

  private:
    TForm1* FForm;
    QImage FPicture;
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
    QAction* FMSoftenEdge = nullptr;
    QAction* FMHelp = nullptr;

    // ---- The open picture ----
    TBitmap WorkBitmap;     // the edited picture: what is shown, copied and saved
    TBitmap SourceBitmap;   // the picture as loaded, 24 bits; history replay starts from it
    TBitmap RegionBitmap;   // scratch: the dirty rectangle cut out of a picture
    TBitmap MaskBitmap;     // the stroke mask
    TBitmap DisplayBitmap;  // the copy Image1 shows, with the brush trail drawn over it
    std::unique_ptr<TStrokeCapture> Capture;
    int32_t BrushSize = 20;
    TColor TrailColor = 16756991;
    THistoryControl History;
    TRect DirtyRect;
    uint8_t HistoryKind = 2;
    QCursor BrushCursor;
    int32_t MosaicSize = 4;
    std::string FileName;      // the file the picture came from; empty after a paste
    std::string SaveFileName;  // the file Save overwrites
    TSaveOptions SaveOptions;  // the options last confirmed in the save dialog (or read)
    // The exact bytes of the JPEG SourceBitmap was decoded from ("Keep untouched areas exactly");
    // empty when the picture came from anything else.
    std::vector<uint8_t> SourceJpeg;

    const std::string& SettingsFileName() const { return FSettingsFile; }

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
    // button: the mouse button pressed or released (Qt::MouseButton's value; 1 is the left).
    void Image1MouseDown(int32_t x, int32_t y, int32_t button = 1);
    void Image1MouseMove(int32_t x, int32_t y);
    void Image1MouseUp(int32_t button = 1);
    void ScrollBox1Click();
    void ScrollBox1MouseWheelDown();
    void ScrollBox1MouseWheelUp();

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
        } catch (const std::bad_alloc&) {
            ShowException("out of memory");
        } catch (const std::exception& e) {
            ShowException(e.what());
        }
    }
    void ShowException(const std::string& message);

  protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void CreateMenus();
    void LoadSettings();
    void SaveSettings();
    void SaveAs();
    void CommitStroke();
    // The steps every load and paste share: converts `loaded` to 24 bits and makes sure of every
    // buffer its copies need, and only then takes it as SourceBitmap, runs `switchState` (caption,
    // Save, FileName), makes the working and shown copies and shows the picture. Anything that
    // fails throws before the window changed. The preview is rebuilt afterwards.
    void TakeNewPicture(TBitmap& loaded, const std::function<void()>& switchState);
    // After a failed open: the shown copy takes `buffer` back and is remade from WorkBitmap.
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
    // The failure message of Save and Save As; a writer's reason, when it gave one, follows the
    // language file's text.
    void ShowConvertError(const std::string& why = {});
    void SetCaptionForFile();

    std::string FExePath;
    std::vector<std::string> FArgs;
    std::string FSettingsFile;
    TSettings FSettings;  // as read at start-up; SaveSettings fills it again
    bool FSettingsSaved = false;
    TRect FTrailRect;  // what the trail of the stroke in progress covers
    int FWheelRest = 0;
};

}  // namespace tilvo
