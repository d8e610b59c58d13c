// The Save As dialog component and the decisions its dialogs make.
#include "dialogs/SaveDialogPassport.h"

#include <QWidget>

#include "dialogs/talFileSaveDialog.h"
#include "dialogs/talSavePictureDialog.h"

namespace tilvo {

std::string ExtractFileNamePart(std::string_view path) {
    const size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

bool HasFileExtension(std::string_view path) {
    const size_t dot = path.rfind('.');
    if (dot == std::string_view::npos) return false;
    return path.find('/', dot) == std::string_view::npos;
}

std::string AppendExtensionForDisplayName(std::string fileName, std::string_view displayName) {
    if (!HasFileExtension(fileName)) fileName += FileMaskExtension(displayName);
    return fileName;
}

std::string LegacyPositionExtension(int position) {
    static constexpr const char* kExtensions[] = {".jpg", ".png", ".bmp", ".gif", ".tga", ".sgi",
                                                  ".pcx", ".ppm", ".pgm", ".pbm", ".mag", ".dcr"};
    if (position < 1 || position > 12) return {};
    return kExtensions[position - 1];
}

std::string AppendExtensionForPosition(std::string fileName, int position) {
    if (!HasFileExtension(fileName)) fileName += LegacyPositionExtension(position);
    return fileName;
}

TFileType4Save LegacySelectedFileType(int position) {
    return position >= sftJPG && position <= sftDCR ? TFileType4Save(position) : sftUNKNOWN;
}

TFileType4Save ItemSelectedFileType(const TFileTypeItems& items, int fileTypeIndex) {
    if (fileTypeIndex < 1 || size_t(fileTypeIndex) > items.size()) return sftUNKNOWN;
    return SaveAsTypeFromDisplayName(items[size_t(fileTypeIndex - 1)].DisplayName);
}

std::optional<bool> OptionsButtonEnabled(std::string_view displayName) {
    const TKorvaneFileTypeInfo* info = FileTypeInfoFromDisplayName(displayName);
    if (!info) return std::nullopt;
    return info->HasOptions != 0;
}

std::vector<std::string> NameFiltersOf(const TFileTypeItems& items) {
    std::vector<std::string> filters;
    filters.reserve(items.size());
    for (const TFileTypeItem& item : items)
        filters.push_back(item.DisplayName + " (" + item.FileMask + ")");
    return filters;
}

void CopyConfirmedOptions(const TSaveDialogOptions& from, TSaveDialogOptions& to) {
    const bool copyEnabled = to.ExifCopyEnabled;
    const bool thumbEnabled = to.ExifThumbUpdateEnabled;
    static_cast<TSaveOptions&>(to) = from;
    to.JPEGSubsampling = from.JPEGSubsampling == jss444 ? jss444 : jss420;
    to.ExifCopyEnabled = copyEnabled;
    to.ExifThumbUpdateEnabled = thumbEnabled;
}

TOptionPanel LegacyOptionPanel(int position) {
    switch (position) {
        case sftJPG:
            return TOptionPanel::JPEG;
        case sftPNG:
            return TOptionPanel::PNG;
        case sftGIF:
            return TOptionPanel::GIF;
        case sftTGA:
            return TOptionPanel::TGA;
        case sftDCR:
            return TOptionPanel::DCR;
        default:
            return TOptionPanel::None;
    }
}

int32_t StepQuality(int32_t quality, int32_t step) {
    if (step < 0) return quality + step < 0 ? 0 : quality + step;
    return quality > 100 - step ? 100 : quality + step;
}

uint32_t QualityColour(int32_t quality) {
    if (quality < 30) return 0xFF0000;
    if (quality < 65) return 0xFE8728;
    return 0x0000FF;
}

TSaveDialogPassport::TSaveDialogPassport(bool useLegacyDialog) : FUseLegacyDialog(useLegacyDialog) {
    FOptions.JPEGQuality = 0;
}

TSaveDialogPassport::~TSaveDialogPassport() = default;

void TSaveDialogPassport::SetUseLegacyDialog(bool legacy) {
    if (legacy == FUseLegacyDialog) return;
    FUseLegacyDialog = legacy;
    FItemDialog.reset();
    FLegacyDialog.reset();
}

void TSaveDialogPassport::SetSaveOptions(const TSaveOptions& options) {
    const std::string resourceName = FOptions.DCRResourceName;
    static_cast<TSaveOptions&>(FOptions) = options;
    FOptions.DCRResourceName = resourceName;
    FOptions.JPEGSubsampling = uint8_t(options.JPEGSubsampling);
}

TFileType4Save TSaveDialogPassport::SelectedFileType() const {
    if (FUseLegacyDialog) return FLegacyDialog ? FLegacyDialog->SelectedFileType() : sftUNKNOWN;
    return FItemDialog ? FItemDialog->SelectedFileType() : sftUNKNOWN;
}

namespace {

// Makes the dialog a window of `parent` for one run and a free window again afterwards, so the
// controller stays its only owner.
class TParentForRun {
  public:
    TParentForRun(QWidget* dialog, QWidget* parent) : FDialog(dialog) {
        FDialog->setParent(parent, FDialog->windowFlags() | Qt::Dialog);
    }
    ~TParentForRun() { FDialog->setParent(nullptr, FDialog->windowFlags() | Qt::Dialog); }
    TParentForRun(const TParentForRun&) = delete;
    TParentForRun& operator=(const TParentForRun&) = delete;

  private:
    QWidget* FDialog;
};

}  // namespace

bool TSaveDialogPassport::Execute(QWidget* parent) {
    return FUseLegacyDialog ? ExecuteLegacyDialog(parent) : ExecuteItemDialog(parent);
}

bool TSaveDialogPassport::ExecuteItemDialog(QWidget* parent) {
    if (!FItemDialog) FItemDialog = std::make_unique<TtalFileSaveDialog>();
    TtalFileSaveDialog& dialog = *FItemDialog;
    // The dialog takes the types once; it keeps them, and its selected type, from then on.
    if (dialog.FileTypes().empty()) dialog.SetFileTypes(FFileTypes);
    dialog.Options() = FOptions;
    if (FProposedFileType != sftUNKNOWN) dialog.SelectFileType(FProposedFileType);
    const TParentForRun run(&dialog, parent);
    if (!dialog.Execute(ExtractFileNamePart(FFileName), FInitialDir)) return false;
    CopyConfirmedOptions(dialog.Options(), FOptions);
    const int index = dialog.FileTypeIndex();
    const TFileTypeItems& items = dialog.FileTypes();
    std::string name = dialog.FileName();
    if (index >= 1 && size_t(index) <= items.size())
        name = AppendExtensionForDisplayName(std::move(name), items[size_t(index - 1)].DisplayName);
    FFileName = std::move(name);
    return true;
}

bool TSaveDialogPassport::ExecuteLegacyDialog(QWidget* parent) {
    if (!FLegacyDialog) FLegacyDialog = std::make_unique<TtalSavePictureDialog>();
    TtalSavePictureDialog& dialog = *FLegacyDialog;
    // The legacy dialog knows its types by list position (1 JPEG ... 12 the component resource):
    // it lists only the types that have one, so a later type never lands on another's position.
    TFileTypeItems legacyTypes;
    for (const TFileTypeItem& item : FFileTypes) {
        const TFileType4Save type = SaveAsTypeFromDisplayName(item.DisplayName);
        if (type != sftUNKNOWN && type <= sftDCR) legacyTypes.push_back(item);
    }
    QStringList filters;
    for (const std::string& filter : NameFiltersOf(legacyTypes))
        filters << QString::fromStdString(filter);
    dialog.setNameFilters(filters);
    dialog.Options() = FOptions;
    dialog.Texts() = FDialogTexts;
    const TParentForRun run(&dialog, parent);
    if (!dialog.Execute(ExtractFileNamePart(FFileName), FInitialDir)) return false;
    CopyConfirmedOptions(dialog.Options(), FOptions);
    FFileName = AppendExtensionForPosition(dialog.FileName(), dialog.FilterPosition());
    return true;
}

}  // namespace tilvo
