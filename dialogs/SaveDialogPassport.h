// The Save As dialog component: it owns the save options, the file types and the captions of the
// options panel, shows the item dialog (or the legacy dialog) and hands the choice back.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "FileFormat/FileTypes.h"
#include "FileFormat/SaveDispatch.h"
#include "lang/IniLangEx.h"

class QWidget;

namespace tilvo {

class TtalFileSaveDialog;
class TtalSavePictureDialog;

// JPEG chroma subsampling as the controller holds it (one byte).
enum TJPEGSubsampling : uint8_t { jss420 = 0, jss422 = 1, jss444 = 2 };

// One item of the file-type list of a save dialog.
struct TFileTypeItem {
    std::string DisplayName;  // "JPEG"
    std::string FileMask;     // "*.jpg"
    friend bool operator==(const TFileTypeItem&, const TFileTypeItem&) = default;
};
using TFileTypeItems = std::vector<TFileTypeItem>;

// The options a save dialog edits: the twelve the main window keeps plus the resource name of the
// component-resource writer, and two input-only flags from the Exif probe of the source file.
struct TSaveDialogOptions : TSaveOptions {
    bool ExifCopyEnabled = true;         // whether the Exif copy option can be changed
    bool ExifThumbUpdateEnabled = true;  // whether the thumbnail option can be changed
    friend bool operator==(const TSaveDialogOptions&, const TSaveDialogOptions&) = default;
};

// ---- Decisions the dialogs make, free of any widget ----

// The name part of a path: the text after the last '/'.
std::string ExtractFileNamePart(std::string_view path);

// A path has an extension when it holds a '.' with no '/' after it ("a.b" and "a." have one).
bool HasFileExtension(std::string_view path);

// Item dialog: a name without extension gets the extension of the first Save As row whose type
// name occurs in the selected item's display name; otherwise the name is returned unchanged.
std::string AppendExtensionForDisplayName(std::string fileName, std::string_view displayName);

// Legacy dialog: the extension of a filter position (1 ".jpg" ... 12 ".dcr"; else empty), and the
// name with it appended when the name has no extension.
std::string LegacyPositionExtension(int position);
std::string AppendExtensionForPosition(std::string fileName, int position);

// Legacy dialog: the Save As type of a filter position (1 ... 12), sftUNKNOWN otherwise.
TFileType4Save LegacySelectedFileType(int position);

// Item dialog: the Save As type of the 1-based item `fileTypeIndex`; sftUNKNOWN for an empty list,
// an index out of range or a display name that matches no row.
TFileType4Save ItemSelectedFileType(const TFileTypeItems& items, int fileTypeIndex);

// Whether the options button is enabled for a display name; nullopt when no Save As row matches
// (the button then keeps its state).
std::optional<bool> OptionsButtonEnabled(std::string_view displayName);

// The dialogs' name filters, one per item: "JPEG (*.jpg)".
std::vector<std::string> NameFiltersOf(const TFileTypeItems& items);

// What a dialog hands back on a confirmed run: the twelve options and the resource name, with the
// subsampling 2 (4:4:4) kept and anything else made 0 (4:2:0). The two input flags stay as they
// are in `to`.
void CopyConfirmedOptions(const TSaveDialogOptions& from, TSaveDialogOptions& to);

// Which option controls the legacy panel shows for a filter position.
enum class TOptionPanel { None, JPEG, PNG, GIF, TGA, DCR };
TOptionPanel LegacyOptionPanel(int position);

// The quality buttons of the legacy panel: minus steps never go below 0, plus steps never above
// 100; a value that came in out of range is otherwise left as it is.
int32_t StepQuality(int32_t quality, int32_t step);

// Colour of the quality value, 0xRRGGBB: red below 30, orange from 30 to 64, blue from 65.
uint32_t QualityColour(int32_t quality);

// ---- The controller ----

class TSaveDialogPassport {
  public:
    // useLegacyDialog selects the dialog with the options panel instead of the item dialog with
    // an options button. The dialog object is made at the first Execute and then reused.
    explicit TSaveDialogPassport(bool useLegacyDialog = false);
    ~TSaveDialogPassport();
    TSaveDialogPassport(const TSaveDialogPassport&) = delete;
    TSaveDialogPassport& operator=(const TSaveDialogPassport&) = delete;

    // Shows the dialog modally over `parent`. True when the user confirmed a file name: FileName
    // then holds the full path (with the selected type's extension appended when it had none) and
    // the options hold the dialog's values. False on cancel; then nothing here has changed.
    // Neither dialog asks about replacing an existing file: the caller does.
    bool Execute(QWidget* parent = nullptr);

    // The Save As type chosen in the last dialog; read after Execute returned true.
    TFileType4Save SelectedFileType() const;

    // The kind of dialog; changing it before the first Execute is free, later it replaces the
    // dialog object.
    bool UseLegacyDialog() const { return FUseLegacyDialog; }
    void SetUseLegacyDialog(bool legacy);

    // In: the proposed name (only its name part is shown); out: the chosen full path.
    const std::string& FileName() const { return FFileName; }
    void SetFileName(std::string name) { FFileName = std::move(name); }
    // The type the next dialog starts with (the type of the picture's own file); sftUNKNOWN
    // leaves the dialog's own choice (the type of its last run).
    TFileType4Save ProposedFileType() const { return FProposedFileType; }
    void SetProposedFileType(TFileType4Save type) { FProposedFileType = type; }
    // Folder to open the dialog in; empty lets the dialog choose.
    const std::string& InitialDir() const { return FInitialDir; }
    void SetInitialDir(std::string dir) { FInitialDir = std::move(dir); }
    // Kept with the component, passed to neither dialog.
    int32_t FilterIndex() const { return FFilterIndex; }
    void SetFilterIndex(int32_t index) { FFilterIndex = index; }

    // The Save As types in order. The item dialog takes them at its first run only.
    const TFileTypeItems& FileTypes() const { return FFileTypes; }
    void SetFileTypes(const TFileTypeItems& items) { FFileTypes = items; }
    void AddFileType(std::string displayName, std::string fileMask) {
        FFileTypes.push_back({std::move(displayName), std::move(fileMask)});
    }

    // The options (JPEGQuality ... DCRResourceName, ExifCopyEnabled, ExifThumbUpdateEnabled).
    TSaveDialogOptions& Options() { return FOptions; }
    const TSaveDialogOptions& Options() const { return FOptions; }
    // The twelve options the main window keeps (the resource name is left alone); the
    // subsampling is kept as its low byte.
    void SetSaveOptions(const TSaveOptions& options);
    // The twelve options and the resource name, as the writers take them.
    TSaveOptions SaveOptions() const { return FOptions; }
    // The answers of the Exif probe of the source file.
    void SetExifProbe(const TExifProbe& probe) {
        FOptions.ExifCopyEnabled = probe.CanCopy;
        FOptions.ExifThumbUpdateEnabled = probe.CanUpdateThumbnail;
    }

    // The seventeen captions of the legacy dialog's option controls (GMOption ...
    // GMExifThumbUpdate), set from the language file at start-up.
    const TDialogTexts& DialogTexts() const { return FDialogTexts; }
    void SetDialogTexts(const TDialogTexts& texts) { FDialogTexts = texts; }

    // The dialog objects, for tests and callers that need the widget; null until made.
    TtalFileSaveDialog* ItemDialog() const { return FItemDialog.get(); }
    TtalSavePictureDialog* LegacyDialog() const { return FLegacyDialog.get(); }

  private:
    bool ExecuteItemDialog(QWidget* parent);
    bool ExecuteLegacyDialog(QWidget* parent);

    std::unique_ptr<TtalFileSaveDialog> FItemDialog;
    std::unique_ptr<TtalSavePictureDialog> FLegacyDialog;
    std::string FFileName;
    std::string FInitialDir;
    TFileTypeItems FFileTypes;
    int32_t FFilterIndex = 0;
    bool FUseLegacyDialog = false;
    TFileType4Save FProposedFileType = sftUNKNOWN;
    TSaveDialogOptions FOptions;
    TDialogTexts FDialogTexts;
};

}  // namespace tilvo
