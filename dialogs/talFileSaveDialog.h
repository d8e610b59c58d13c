// TtalFileSaveDialog: the file-save dialog with an options button that is enabled while a type
// with options is selected and opens the save options window; TTestEvent follows the dialog's
// type changes and button clicks.
#pragma once

#include <QFileDialog>
#include <QString>
#include <string>

#include "dialogs/SaveDialogPassport.h"

class QPushButton;

namespace tilvo {

class TtalFileSaveDialog;

// Listens to one dialog: remembers the type it last reported and runs the options button.
class TTestEvent : public QObject {
    Q_OBJECT
  public:
    TTestEvent(TtalFileSaveDialog* owner, QPushButton* button);

    // The 1-based type last reported by the dialog; 0 until the first report of a run.
    int TypeIndex() const { return FTypeIndex; }
    void ResetTypeIndex() { FTypeIndex = 0; }

    // The dialog reports its selected type: the button is enabled exactly for types with options.
    void OnTypeChange(int typeIndex);
    // Opens the save options window for the reported type.
    void OnButtonClicked();

  private:
    TtalFileSaveDialog* FOwner;  // owns this object
    QPushButton* FButton;        // owned by the dialog
    int FTypeIndex = 0;
};

class TtalFileSaveDialog : public QFileDialog {
    Q_OBJECT
  public:
    explicit TtalFileSaveDialog(QWidget* parent = nullptr);

    // The option fields, edited by the save options window.
    TSaveDialogOptions& Options() { return FOptions; }
    const TSaveDialogOptions& Options() const { return FOptions; }

    // The file types, shown as "JPEG (*.jpg)" name filters.
    const TFileTypeItems& FileTypes() const { return FFileTypes; }
    void SetFileTypes(const TFileTypeItems& items);

    // The 1-based index of the selected type; it stays with the dialog across runs.
    int FileTypeIndex() const;
    TFileType4Save SelectedFileType() const;
    // Selects the first type of the list that is `type`; a type not in the list changes nothing.
    void SelectFileType(TFileType4Save type);

    // The button caption: "オプション..." on a Japanese system, else "Options...".
    const QString& GMOption() const { return FGMOption; }
    // The options button; null when the dialog offered no place for it.
    QPushButton* OptionButton() const { return FOptionButton; }
    TTestEvent* EventSink() const { return FEvents; }

    // Runs the dialog modally with `name` in the name field and `folder` (when not empty) as the
    // folder. True when a name was confirmed; FileName() then holds the full path.
    bool Execute(const std::string& name, const std::string& folder);
    const std::string& FileName() const { return FFileName; }

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    // Adds the options button and the event sink; without a place for the button the dialog runs
    // without it.
    void Customize();
    int FilterPosition(const QString& filter) const;

    TSaveDialogOptions FOptions;
    TFileTypeItems FFileTypes;
    QString FGMOption;
    QPushButton* FOptionButton = nullptr;  // owned by the dialog
    TTestEvent* FEvents = nullptr;         // owned by the dialog
    std::string FFileName;
};

}  // namespace tilvo
