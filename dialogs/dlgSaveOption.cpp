// The "Save options" window and EditSaveOptions.
#include "dialogs/dlgSaveOption.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <algorithm>
#include <exception>
#include <memory>

#include "dialogs/WidgetMaker.h"
#include "lang/LangApply.h"

namespace tilvo {

namespace {

QWidget* MakePage(QTabWidget* pages, const char* name, const QString& caption) {
    auto* page = new QWidget;  // the tab widget takes ownership in addTab
    page->setObjectName(QString::fromLatin1(name));
    pages->addTab(page, caption);
    return page;
}

// The quality as typed: an optionally signed decimal 32-bit integer, blanks around it allowed.
bool ParseQuality(const QString& text, int32_t& value) {
    bool ok = false;
    const int parsed = text.trimmed().toInt(&ok, 10);
    if (ok) value = parsed;
    return ok;
}

}  // namespace

void ShowHandlerError(QWidget* parent, const char* message) {
    QMessageBox::critical(parent, QStringLiteral("Tilvo"), QString::fromUtf8(message));
}

TFormSaveOption::TFormSaveOption(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("FormSaveOption"));
    setWindowTitle(QStringLiteral("Save options"));
    QFont formFont(QStringLiteral("Tahoma"));
    formFont.setPixelSize(11);
    setFont(formFont);
    setFixedSize(482, 208);
    setSizeGripEnabled(false);

    PageControl1 = Make<QTabWidget>(this, "PageControl1", 8, 8, 466, 161);
    // Page order: JPEG, PNG, GIF, Targa, DCR.
    TabSheet1 = MakePage(PageControl1, "TabSheet1", QStringLiteral("JPEG"));
    TabSheet2 = MakePage(PageControl1, "TabSheet2", QStringLiteral("PNG"));
    TabSheet3 = MakePage(PageControl1, "TabSheet3", QStringLiteral("GIF"));
    TabSheet5 = MakePage(PageControl1, "TabSheet5", QStringLiteral("Targa"));
    TabSheet4 = MakePage(PageControl1, "TabSheet4", QStringLiteral("DCR"));
    TabSheet6 = MakePage(PageControl1, "TabSheet6", QStringLiteral("WebP"));

    LJPEGQuality = MakeLabel(TabSheet1, "LJPEGQuality", 16, 16, QStringLiteral("Quality"));
    EditJPEGQuality = Make<QLineEdit>(TabSheet1, "EditJPEGQuality", 72, 13, 65, 21);
    EditJPEGQuality->setText(QStringLiteral("80"));
    CBJPEGProgressive = Make<QCheckBox>(TabSheet1, "CBJPEGProgressive", 16, 48, 97, 17);
    CBJPEGProgressive->setText(QStringLiteral("Progressive"));
    CBJPEGGrayscale = Make<QCheckBox>(TabSheet1, "CBJPEGGrayscale", 16, 72, 97, 17);
    CBJPEGGrayscale->setText(QStringLiteral("Grayscale"));
    GBSubsampling = Make<QGroupBox>(TabSheet1, "GBSubsampling", 160, 13, 115, 73);
    GBSubsampling->setTitle(QStringLiteral("Subsampling"));
    RBSubsampling420 = Make<QRadioButton>(GBSubsampling, "RBSubsampling420", 8, 25, 89, 17);
    RBSubsampling420->setText(QStringLiteral("4:2:0"));
    RBSubsampling420->setChecked(true);
    RBSubsampling444 = Make<QRadioButton>(GBSubsampling, "RBSubsampling444", 8, 48, 89, 17);
    RBSubsampling444->setText(QStringLiteral("4:4:4"));
    GBExif = Make<QGroupBox>(TabSheet1, "GBExif", 281, 13, 168, 73);
    GBExif->setTitle(QStringLiteral("Exif"));
    CBExifCopy = Make<QCheckBox>(GBExif, "CBExifCopy", 16, 24, 97, 17);
    CBExifCopy->setText(QStringLiteral("Copy Exif"));
    CBExifCopy->setChecked(true);
    CBExifThumbUpdate = Make<QCheckBox>(GBExif, "CBExifThumbUpdate", 16, 48, 145, 17);
    CBExifThumbUpdate->setText(QStringLiteral("Update Exif thumbnail"));
    CBExifThumbUpdate->setChecked(true);
    // Below the two groups, across the page: the caption is longer than the Exif group is wide.
    CBExifRemovePersonalData =
        Make<QCheckBox>(TabSheet1, "CBExifRemovePersonalData", 16, 96, 430, 17);
    CBExifRemovePersonalData->setText(QStringLiteral("Remove location and personal data"));
    CBExifRemovePersonalData->setChecked(true);
    setTabOrder(EditJPEGQuality, CBJPEGProgressive);
    setTabOrder(CBJPEGProgressive, CBJPEGGrayscale);
    setTabOrder(CBJPEGGrayscale, RBSubsampling420);
    setTabOrder(RBSubsampling420, CBExifCopy);
    setTabOrder(CBExifThumbUpdate, CBExifRemovePersonalData);

    CBPNGInterlaced = Make<QCheckBox>(TabSheet2, "CBPNGInterlaced", 16, 17, 183, 17);
    CBPNGInterlaced->setText(QStringLiteral("Interlaced PNG ( ADAM7 )"));
    CBPNGGrayscale = Make<QCheckBox>(TabSheet2, "CBPNGGrayscale", 16, 40, 97, 17);
    CBPNGGrayscale->setText(QStringLiteral("Grayscale"));
    CBPNGReduceTo256Color = Make<QCheckBox>(TabSheet2, "CBPNGReduceTo256Color", 16, 65, 129, 17);
    CBPNGReduceTo256Color->setText(QStringLiteral("Reduce to 256 color"));
    CBPNGTransparent = Make<QCheckBox>(TabSheet2, "CBPNGTransparent", 16, 88, 183, 17);
    CBPNGTransparent->setText(QStringLiteral("Transparent ( bottom-left )"));

    CBGIFTransparent = Make<QCheckBox>(TabSheet3, "CBGIFTransparent", 16, 16, 183, 17);
    CBGIFTransparent->setText(QStringLiteral("Transparent ( bottom-left )"));

    CBTGARLECompression = Make<QCheckBox>(TabSheet5, "CBTGARLECompression", 16, 16, 153, 17);
    CBTGARLECompression->setText(QStringLiteral("RLE Compression"));

    LDCRResourceName =
        MakeLabel(TabSheet4, "LDCRResourceName", 16, 16, QStringLiteral("Resource name"));
    EditDCRResourceName = Make<QLineEdit>(TabSheet4, "EditDCRResourceName", 16, 35, 249, 21);

    LWebPQuality = MakeLabel(TabSheet6, "LWebPQuality", 16, 16, QStringLiteral("Quality"));
    EditWebPQuality = Make<QLineEdit>(TabSheet6, "EditWebPQuality", 72, 13, 65, 21);
    EditWebPQuality->setText(QStringLiteral("80"));
    CBWebPLossless = Make<QCheckBox>(TabSheet6, "CBWebPLossless", 16, 48, 153, 17);
    CBWebPLossless->setText(QStringLiteral("Lossless"));

    // Below the Exif options: a save on the source JPEG's own coefficients, where the quality
    // setting has no say.
    CBJPEGKeepUntouched = Make<QCheckBox>(TabSheet1, "CBJPEGKeepUntouched", 16, 112, 430, 17);
    CBJPEGKeepUntouched->setText(
        QStringLiteral("Keep untouched areas exactly (the quality does not apply)"));

    ButtonOK = Make<QPushButton>(this, "ButtonOK", 311, 175, 75, 25);
    ButtonOK->setText(QStringLiteral("OK"));
    ButtonOK->setDefault(true);
    ButtonCancel = Make<QPushButton>(this, "ButtonCancel", 399, 175, 75, 25);
    ButtonCancel->setText(QStringLiteral("Cancel"));
    ButtonCancel->setAutoDefault(false);
    setTabOrder(PageControl1, ButtonOK);
    setTabOrder(ButtonOK, ButtonCancel);
    connect(ButtonOK, &QPushButton::clicked, this, &TFormSaveOption::accept);
    connect(ButtonCancel, &QPushButton::clicked, this, &TFormSaveOption::reject);

    // Shown at the top-left corner of the screen, wherever the file dialog is.
    move(0, 0);
}

void TFormSaveOption::SetJapaneseCaptions() {
    setWindowTitle(QStringLiteral("保存オプション"));
    LJPEGQuality->setText(QStringLiteral("品質"));
    LJPEGQuality->adjustSize();
    CBJPEGProgressive->setText(QStringLiteral("プログレッシブ JPEG"));
    CBJPEGGrayscale->setText(QStringLiteral("グレイスケール"));
    GBSubsampling->setTitle(QStringLiteral("サブサンプリング"));
    RBSubsampling420->setText(QStringLiteral("4:2:0（推奨）"));
    CBExifCopy->setText(QStringLiteral("Exifをコピー"));
    CBExifThumbUpdate->setText(QStringLiteral("Exifサムネイルを更新"));
    CBExifRemovePersonalData->setText(QStringLiteral("位置情報と個人情報を削除"));
    CBPNGInterlaced->setText(QStringLiteral("インターレース ( ADAM7 )"));
    CBPNGGrayscale->setText(QStringLiteral("グレイスケール"));
    CBPNGReduceTo256Color->setText(QStringLiteral("256色へ減色"));
    CBPNGTransparent->setText(QStringLiteral("透過PNG （左下の色を透過）"));
    CBGIFTransparent->setText(QStringLiteral("透過GIF （左下の色を透過）"));
    CBTGARLECompression->setText(QStringLiteral("RLE で圧縮"));
    LWebPQuality->setText(QStringLiteral("品質"));
    LWebPQuality->adjustSize();
    CBWebPLossless->setText(QStringLiteral("ロスレス"));
    CBJPEGKeepUntouched->setText(
        QStringLiteral("変更していない部分をそのまま残す（品質は適用されません）"));
    LDCRResourceName->setText(QStringLiteral("リソースの名前"));
    LDCRResourceName->adjustSize();
    ButtonOK->setText(QStringLiteral("OK"));
    ButtonCancel->setText(QStringLiteral("キャンセル"));
}

void TFormSaveOption::LoadOptions(const TSaveDialogOptions& options) {
    EditJPEGQuality->setText(QString::number(options.JPEGQuality));
    CBJPEGProgressive->setChecked(options.JPEGProgressive);
    CBJPEGGrayscale->setChecked(options.JPEGGrayscale);
    CBPNGInterlaced->setChecked(options.PNGInterlaced);
    CBPNGGrayscale->setChecked(options.PNGGrayscale);
    CBPNGReduceTo256Color->setChecked(options.PNGReduceTo256Color);
    CBPNGTransparent->setChecked(options.PNGTransparent);
    CBGIFTransparent->setChecked(options.GIFTransparent);
    CBTGARLECompression->setChecked(options.TGARLECompression);
    EditWebPQuality->setText(QString::number(options.WebPQuality));
    CBWebPLossless->setChecked(options.WebPLossless);
    CBJPEGKeepUntouched->setChecked(options.JPEGKeepUntouched);
    CBExifCopy->setChecked(options.ExifCopy);
    CBExifThumbUpdate->setChecked(options.ExifThumbUpdate);
    CBExifRemovePersonalData->setChecked(options.ExifRemovePersonalData);
    EditDCRResourceName->clear();
    if (options.JPEGSubsampling == jss444)
        RBSubsampling444->setChecked(true);
    else
        RBSubsampling420->setChecked(true);
    CBExifCopy->setEnabled(options.ExifCopyEnabled);
    CBExifThumbUpdate->setEnabled(options.ExifThumbUpdateEnabled);
    CBExifRemovePersonalData->setEnabled(options.ExifCopyEnabled);
}

void TFormSaveOption::SelectPages(std::string_view typeDisplayName) {
    const QString name =
        QString::fromUtf8(typeDisplayName.data(), qsizetype(typeDisplayName.size()));
    for (int i = 0; i < PageControl1->count(); ++i) {
        const bool matches = name.contains(PageControl1->tabText(i), Qt::CaseSensitive);
        PageControl1->setTabVisible(i, matches);
        if (matches) PageControl1->setCurrentIndex(i);
    }
}

bool TFormSaveOption::StoreOptions(TSaveDialogOptions& options) const {
    int32_t quality = 0;
    int32_t webpQuality = 0;
    if (!ParseQuality(EditJPEGQuality->text(), quality) ||
        !ParseQuality(EditWebPQuality->text(), webpQuality))
        return false;
    // JPEG's quality scale is 1-100 and WebP's 0-100, as in tilvo-cli; a value outside its scale
    // is brought to the nearer end.
    options.JPEGQuality = std::clamp(quality, 1, 100);
    options.WebPQuality = std::clamp(webpQuality, 0, 100);
    options.WebPLossless = CBWebPLossless->isChecked();
    options.JPEGKeepUntouched = CBJPEGKeepUntouched->isChecked();
    options.JPEGProgressive = CBJPEGProgressive->isChecked();
    options.JPEGGrayscale = CBJPEGGrayscale->isChecked();
    options.PNGInterlaced = CBPNGInterlaced->isChecked();
    options.PNGGrayscale = CBPNGGrayscale->isChecked();
    options.PNGReduceTo256Color = CBPNGReduceTo256Color->isChecked();
    options.PNGTransparent = CBPNGTransparent->isChecked();
    options.GIFTransparent = CBGIFTransparent->isChecked();
    options.TGARLECompression = CBTGARLECompression->isChecked();
    options.ExifCopy = CBExifCopy->isChecked();
    options.ExifThumbUpdate = CBExifThumbUpdate->isChecked();
    options.ExifRemovePersonalData = CBExifRemovePersonalData->isChecked();
    options.JPEGSubsampling = RBSubsampling444->isChecked() ? jss444 : jss420;
    return true;
}

void TFormSaveOption::accept() {
    int32_t quality = 0;
    if (!ParseQuality(EditJPEGQuality->text(), quality)) {
        QMessageBox::warning(
            this, QStringLiteral("Tilvo"),
            QStringLiteral("'%1' is not a valid integer value").arg(EditJPEGQuality->text()));
        EditJPEGQuality->setFocus();
        EditJPEGQuality->selectAll();
        return;
    }
    if (!ParseQuality(EditWebPQuality->text(), quality)) {
        QMessageBox::warning(
            this, QStringLiteral("Tilvo"),
            QStringLiteral("'%1' is not a valid integer value").arg(EditWebPQuality->text()));
        EditWebPQuality->setFocus();
        EditWebPQuality->selectAll();
        return;
    }
    QDialog::accept();
}

void EditSaveOptions(TSaveDialogOptions& options, std::string_view typeDisplayName,
                     QWidget* parent) {
    const std::optional<TIniFile> languageFile = OpenLanguageFile();
    const TIniFile* file = languageFile ? &*languageFile : nullptr;
    TFormSaveOption form(parent);
    if (UseBuiltInJapanese(file, SystemIsJapanese())) {
        form.SetJapaneseCaptions();
        ApplyLanguageFonts(&form);
    } else {
        ApplyLanguageToForm(&form, file);
    }
    form.LoadOptions(options);
    form.SelectPages(typeDisplayName);
    if (form.exec() == QDialog::Accepted) form.StoreOptions(options);
}

}  // namespace tilvo
