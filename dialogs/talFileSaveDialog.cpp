// The file-save dialog with its options button, and the listener that drives the button.
#include "dialogs/talFileSaveDialog.h"

#include <QGridLayout>
#include <QLineEdit>
#include <QPushButton>
#include <exception>

#include "dialogs/dlgSaveOption.h"
#include "lang/LangApply.h"

namespace tilvo {

TTestEvent::TTestEvent(TtalFileSaveDialog* owner, QPushButton* button)
    : QObject(owner), FOwner(owner), FButton(button) {}

void TTestEvent::OnTypeChange(int typeIndex) {
    FTypeIndex = typeIndex;
    const TFileTypeItems& items = FOwner->FileTypes();
    if (typeIndex < 1 || size_t(typeIndex) > items.size()) return;
    const std::optional<bool> enabled =
        OptionsButtonEnabled(items[size_t(typeIndex - 1)].DisplayName);
    if (enabled) FButton->setEnabled(*enabled);
}

void TTestEvent::OnButtonClicked() {
    const TFileTypeItems& items = FOwner->FileTypes();
    if (size_t(FOwner->FileTypeIndex()) > items.size() || FTypeIndex == 0 ||
        size_t(FTypeIndex) > items.size())
        return;
    EditSaveOptions(FOwner->Options(), items[size_t(FTypeIndex - 1)].DisplayName, FOwner);
}

TtalFileSaveDialog::TtalFileSaveDialog(QWidget* parent) : QFileDialog(parent) {
    setObjectName(QStringLiteral("talFileSaveDialog"));
    setOption(QFileDialog::DontUseNativeDialog, true);
    // Replacing an existing file is asked about by the caller, after the extension is settled.
    setOption(QFileDialog::DontConfirmOverwrite, true);
    setAcceptMode(QFileDialog::AcceptSave);
    setFileMode(QFileDialog::AnyFile);
    FOptions.JPEGQuality = 80;
    FOptions.ExifCopy = true;
    FOptions.ExifThumbUpdate = true;
    FOptions.ExifCopyEnabled = false;
    FOptions.ExifThumbUpdateEnabled = false;
    FGMOption = SystemIsJapanese() ? QStringLiteral("オプション...") : QStringLiteral("Options...");
    Customize();
}

void TtalFileSaveDialog::Customize() {
    auto* grid = qobject_cast<QGridLayout*>(layout());
    if (!grid) return;
    FOptionButton = new QPushButton(FGMOption, this);  // owned by the dialog
    FOptionButton->setObjectName(QStringLiteral("ButtonOption"));
    FOptionButton->setAutoDefault(false);
    grid->addWidget(FOptionButton, grid->rowCount(), grid->columnCount() - 1);
    FEvents = new TTestEvent(this, FOptionButton);  // owned by the dialog
    connect(this, &QFileDialog::filterSelected, FEvents, [this](const QString& filter) {
        try {
            FEvents->OnTypeChange(FilterPosition(filter));
        } catch (const std::exception& e) {
            ShowHandlerError(this, e.what());
        }
    });
    connect(FOptionButton, &QPushButton::clicked, FEvents, [this] {
        try {
            FEvents->OnButtonClicked();
        } catch (const std::exception& e) {
            ShowHandlerError(this, e.what());
        }
    });
}

void TtalFileSaveDialog::SetFileTypes(const TFileTypeItems& items) {
    FFileTypes = items;
    QStringList filters;
    for (const std::string& filter : NameFiltersOf(items))
        filters << QString::fromStdString(filter);
    setNameFilters(filters);
}

int TtalFileSaveDialog::FilterPosition(const QString& filter) const {
    const std::vector<std::string> filters = NameFiltersOf(FFileTypes);
    const std::string wanted = filter.toStdString();
    for (size_t i = 0; i < filters.size(); ++i)
        if (filters[i] == wanted) return int(i) + 1;
    return 0;
}

int TtalFileSaveDialog::FileTypeIndex() const {
    const int position = FilterPosition(selectedNameFilter());
    return position == 0 ? 1 : position;
}

TFileType4Save TtalFileSaveDialog::SelectedFileType() const {
    return ItemSelectedFileType(FFileTypes, FileTypeIndex());
}

void TtalFileSaveDialog::SelectFileType(TFileType4Save type) {
    const std::vector<std::string> filters = NameFiltersOf(FFileTypes);
    for (size_t i = 0; i < FFileTypes.size() && i < filters.size(); ++i) {
        if (SaveAsTypeFromDisplayName(FFileTypes[i].DisplayName) == type) {
            selectNameFilter(QString::fromStdString(filters[i]));
            return;
        }
    }
}

bool TtalFileSaveDialog::Execute(const std::string& name, const std::string& folder) {
    // Each run starts with a fresh button: enabled, but idle until the dialog reports its type.
    if (FEvents) {
        FEvents->ResetTypeIndex();
        FOptionButton->setEnabled(true);
    }
    if (!folder.empty()) setDirectory(QString::fromStdString(folder));
    if (auto* nameEdit = findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))) nameEdit->clear();
    if (!name.empty()) selectFile(QString::fromStdString(name));
    if (exec() != QDialog::Accepted) return false;
    const QStringList files = selectedFiles();
    if (files.isEmpty()) return false;
    FFileName = files.first().toStdString();
    return true;
}

void TtalFileSaveDialog::showEvent(QShowEvent* event) {
    QFileDialog::showEvent(event);
    // The dialog reports the type it opens with, so the button is right from the start.
    if (FEvents && !FFileTypes.empty()) {
        try {
            FEvents->OnTypeChange(FileTypeIndex());
        } catch (const std::exception& e) {
            ShowHandlerError(this, e.what());
        }
    }
}

}  // namespace tilvo
