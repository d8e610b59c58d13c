// The save dialog with the options panel and the picture preview.
#include "dialogs/talSavePictureDialog.h"

#include <QCheckBox>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QImageReader>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QVBoxLayout>
#include <exception>

#include "dialogs/WidgetMaker.h"
#include "dialogs/dlgSaveOption.h"

namespace tilvo {

namespace {

constexpr int kPanelHeight = 120;
constexpr int kPreviewSize = 160;
constexpr int kControlsWidth = 600;

QString Text(const std::string& text) {
    return QString::fromStdString(text);
}

QColor ColourOf(uint32_t rgb) {
    return QColor(int((rgb >> 16) & 0xFF), int((rgb >> 8) & 0xFF), int(rgb & 0xFF));
}

void SetTextColour(QWidget* widget, QPalette::ColorRole role, uint32_t rgb) {
    QPalette palette = widget->palette();
    palette.setColor(role, ColourOf(rgb));
    widget->setPalette(palette);
}

QCheckBox* MakeCheck(QWidget* parent, const char* name, int left, int top, int width,
                     const std::string& caption, bool& field) {
    auto* box = Make<QCheckBox>(parent, name, left, top, width, 17);
    box->setText(Text(caption));
    box->setChecked(field);
    QObject::connect(box, &QCheckBox::toggled, box, [&field](bool checked) { field = checked; });
    return box;
}

// Runs a handler; an error is shown and the dialog goes on.
template <class F>
void Guarded(QWidget* parent, F&& handler) {
    try {
        handler();
    } catch (const std::exception& e) {
        ShowHandlerError(parent, e.what());
    }
}

}  // namespace

TtalSavePictureDialog::TtalSavePictureDialog(QWidget* parent) : QFileDialog(parent) {
    setObjectName(QStringLiteral("talSavePictureDialog"));
    setOption(QFileDialog::DontUseNativeDialog, true);
    setOption(QFileDialog::DontConfirmOverwrite, true);
    setAcceptMode(QFileDialog::AcceptSave);
    setFileMode(QFileDialog::AnyFile);
    setSizeGripEnabled(false);

    auto* grid = qobject_cast<QGridLayout*>(layout());
    FExtraPanel = new QWidget(this);  // owned by the dialog
    FExtraPanel->setObjectName(QStringLiteral("ExtraPanel"));
    FExtraPanel->setFixedHeight(kPanelHeight);
    FGroupBox = new QGroupBox(FExtraPanel);  // owned by the panel
    FGroupBox->setObjectName(QStringLiteral("GroupBox"));
    FGroupBox->setFixedHeight(kPanelHeight);
    // The widest controls (JPEG) end with the Exif group at 585 pixels.
    FGroupBox->setMinimumWidth(kControlsWidth);
    auto* panelLayout = new QVBoxLayout(FExtraPanel);  // owned by the panel
    panelLayout->setContentsMargins(0, 0, 0, 0);
    panelLayout->addWidget(FGroupBox, 0, Qt::AlignTop);
    FPreview = new QLabel(this);  // owned by the dialog
    FPreview->setObjectName(QStringLiteral("ImagePreview"));
    FPreview->setFixedSize(kPreviewSize, kPreviewSize);
    FPreview->setAlignment(Qt::AlignCenter);
    FPreview->setFrameShape(QFrame::StyledPanel);
    if (grid) {
        const int rows = grid->rowCount();
        const int columns = grid->columnCount();
        grid->addWidget(FPreview, 0, columns, rows, 1, Qt::AlignTop);
        grid->addWidget(FExtraPanel, rows, 0, 1, columns + 1);
        // Not resizable: the dialog keeps the size its controls and the panel ask for.
        grid->setSizeConstraint(QLayout::SetFixedSize);
    }
    connect(this, &QFileDialog::filterSelected, this, [this](const QString&) {
        Guarded(this, [this] {
            DestroyControls();
            FGroupBox->update();
            CreateControls(FilterPosition());
        });
    });
    connect(this, &QFileDialog::currentChanged, this,
            [this](const QString& path) { Guarded(this, [&] { ShowPreview(path); }); });
}

TtalSavePictureDialog::~TtalSavePictureDialog() = default;

int TtalSavePictureDialog::FilterPosition() const {
    const int index = int(nameFilters().indexOf(selectedNameFilter()));
    return index < 0 ? 0 : index + 1;
}

void TtalSavePictureDialog::SetFilterPosition(int position) {
    const QStringList filters = nameFilters();
    if (position >= 1 && position <= filters.size()) selectNameFilter(filters[position - 1]);
}

bool TtalSavePictureDialog::Execute(const std::string& name, const std::string& folder) {
    SetFilterPosition(FConfirmedPosition);
    if (!folder.empty()) setDirectory(QString::fromStdString(folder));
    if (auto* nameEdit = findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))) nameEdit->clear();
    if (!name.empty()) selectFile(QString::fromStdString(name));
    FPreview->clear();
    if (exec() != QDialog::Accepted) return false;
    const QStringList files = selectedFiles();
    if (files.isEmpty()) return false;
    FFileName = files.first().toStdString();
    FConfirmedPosition = FilterPosition();
    return true;
}

void TtalSavePictureDialog::showEvent(QShowEvent* event) {
    Guarded(this, [this] {
        FGroupBox->setTitle(Text(FTexts.GMOption));
        if (!FControls) CreateControls(FilterPosition());
    });
    QFileDialog::showEvent(event);
}

void TtalSavePictureDialog::done(int result) {
    Guarded(this, [this] {
        if (FCurrentPosition == sftDCR && FResourceName)
            FOptions.DCRResourceName = FResourceName->text().toStdString();
        DestroyControls();
    });
    QFileDialog::done(result);
}

void TtalSavePictureDialog::DestroyControls() {
    FQualityValue = nullptr;
    FQualitySlider = nullptr;
    FExifThumbUpdate = nullptr;
    FExifRemovePersonalData = nullptr;
    FResourceName = nullptr;
    FControls.reset();
}

void TtalSavePictureDialog::CreateControls(int position) {
    DestroyControls();
    FControls = std::make_unique<QWidget>(FGroupBox);
    FControls->setObjectName(QStringLiteral("OptionControls"));
    FControls->setGeometry(0, 0, kControlsWidth, kPanelHeight);
    QWidget* box = FControls.get();
    switch (LegacyOptionPanel(position)) {
        case TOptionPanel::JPEG:
            CreateJPEGControls(box);
            break;
        case TOptionPanel::PNG:
            MakeCheck(box, "CBInterlacedPNG", 16, 21, 155, FTexts.GMInterlacedPNG,
                      FOptions.PNGInterlaced);
            MakeCheck(box, "CBGrayscale", 16, 41, 155, FTexts.GMGrayscale, FOptions.PNGGrayscale);
            MakeCheck(box, "CBReduceTo256Color", 16, 61, 155, FTexts.GMReduceTo256Color,
                      FOptions.PNGReduceTo256Color);
            MakeCheck(box, "CBPNGTransparent", 200, 21, 200, FTexts.GMPNGTransparent,
                      FOptions.PNGTransparent);
            break;
        case TOptionPanel::GIF:
            MakeCheck(box, "CBGIFTransparent", 16, 21, 200, FTexts.GMGIFTransparent,
                      FOptions.GIFTransparent);
            break;
        case TOptionPanel::TGA:
            MakeCheck(box, "CBRLECompression", 16, 21, 150, FTexts.GMRLECompression,
                      FOptions.TGARLECompression);
            break;
        case TOptionPanel::DCR: {
            auto* label = Make<QLabel>(box, "LResourceName", 16, 22, 150, 17);
            label->setText(Text(FTexts.GMResourceName));
            FResourceName = Make<QLineEdit>(box, "EditResourceName", 16, 38, 150, 17);
            FResourceName->setText(Text(FOptions.DCRResourceName));
            break;
        }
        case TOptionPanel::None: {
            auto* label = Make<QLabel>(box, "LNoOption", 16, 21, 140, 17);
            label->setText(Text(FTexts.GMNoOption));
            break;
        }
    }
    FCurrentPosition = position;
    FControls->show();
}

void TtalSavePictureDialog::CreateJPEGControls(QWidget* box) {
    MakeLabel(box, "LQuality", 16, 21, Text(FTexts.GMQuality));
    FQualityValue = MakeLabel(box, "LQualityValue", 60, 21, QString());
    FQualitySlider = Make<QSlider>(box, "TBQuality", 84, 21, 150, 28);
    FQualitySlider->setOrientation(Qt::Horizontal);
    FQualitySlider->setRange(0, 100);
    FQualitySlider->setSingleStep(1);
    FQualitySlider->setTickInterval(10);
    FQualitySlider->setTickPosition(QSlider::TicksBelow);
    UpdateQuality();
    connect(FQualitySlider, &QSlider::valueChanged, this, [this](int value) {
        FOptions.JPEGQuality = value;
        UpdateQuality();
    });
    struct TStep {
        const char* Name;
        int Left, Top, Step;
    };
    for (const TStep& s : {TStep{"BMinus5", 242, 21, -5}, TStep{"BPlus5", 266, 21, 5},
                           TStep{"BMinus1", 242, 43, -1}, TStep{"BPlus1", 266, 43, 1}}) {
        auto* button = Make<QPushButton>(box, s.Name, s.Left, s.Top, 23, 20);
        button->setText(s.Step < 0 ? QString::number(s.Step) : "+" + QString::number(s.Step));
        button->setAutoDefault(false);
        SetTextColour(button, QPalette::ButtonText, s.Step < 0 ? 0xFF0000 : 0x0000FF);
        const int step = s.Step;
        connect(button, &QPushButton::clicked, this, [this, step] {
            FOptions.JPEGQuality = StepQuality(FOptions.JPEGQuality, step);
            UpdateQuality();
        });
    }
    MakeCheck(box, "CBProgressiveJPEG", 16, 56, 140, FTexts.GMProgressiveJPEG,
              FOptions.JPEGProgressive);
    MakeCheck(box, "CBGrayscale", 16, 76, 140, FTexts.GMGrayscale, FOptions.JPEGGrayscale);

    auto* subsampling = Make<QGroupBox>(box, "GBSubSampling", 315, 21, 121, 75);
    subsampling->setTitle(Text(FTexts.GMSubSampling));
    auto* rb420 = Make<QRadioButton>(subsampling, "RBSubSampling420", 16, 24, 113, 17);
    rb420->setText(Text(FTexts.GMSubSampling420));
    auto* rb444 = Make<QRadioButton>(subsampling, "RBSubSampling444", 16, 47, 113, 17);
    rb444->setText(Text(FTexts.GMSubSampling444));
    (FOptions.JPEGSubsampling == jss444 ? rb444 : rb420)->setChecked(true);
    connect(rb420, &QRadioButton::clicked, this, [this] { FOptions.JPEGSubsampling = jss420; });
    connect(rb444, &QRadioButton::clicked, this, [this] { FOptions.JPEGSubsampling = jss444; });

    auto* exif = Make<QGroupBox>(box, "GBExif", 442, 21, 143, 75);
    exif->setTitle(Text(FTexts.GMExif));
    auto* exifCopy = Make<QCheckBox>(exif, "CBExifCopy", 16, 24, 105, 17);
    exifCopy->setText(Text(FTexts.GMExifCopy));
    exifCopy->setChecked(FOptions.ExifCopy);
    exifCopy->setEnabled(FOptions.ExifCopyEnabled);
    FExifThumbUpdate = Make<QCheckBox>(exif, "CBExifThumbUpdate", 16, 47, 135, 17);
    FExifThumbUpdate->setText(Text(FTexts.GMExifThumbUpdate));
    FExifThumbUpdate->setChecked(FOptions.ExifThumbUpdate);
    FExifThumbUpdate->setEnabled(FOptions.ExifThumbUpdateEnabled);
    // Below the Exif group: its caption is wider than the group.
    FExifRemovePersonalData = Make<QCheckBox>(box, "CBExifRemovePersonalData", 315, 98, 270, 17);
    FExifRemovePersonalData->setText(Text(FTexts.GMExifRemovePersonalData));
    FExifRemovePersonalData->setChecked(FOptions.ExifRemovePersonalData);
    FExifRemovePersonalData->setEnabled(FOptions.ExifCopyEnabled && FOptions.ExifCopy);
    connect(FExifRemovePersonalData, &QCheckBox::toggled, this,
            [this](bool checked) { FOptions.ExifRemovePersonalData = checked; });
    connect(exifCopy, &QCheckBox::toggled, this, [this](bool checked) {
        FOptions.ExifCopy = checked;
        if (FOptions.ExifThumbUpdateEnabled && FExifThumbUpdate)
            FExifThumbUpdate->setEnabled(checked);
        if (FOptions.ExifCopyEnabled && FExifRemovePersonalData)
            FExifRemovePersonalData->setEnabled(checked);
    });
    connect(FExifThumbUpdate, &QCheckBox::toggled, this,
            [this](bool checked) { FOptions.ExifThumbUpdate = checked; });
}

void TtalSavePictureDialog::UpdateQuality() {
    if (!FQualityValue || !FQualitySlider) return;
    FQualityValue->setText(QString::number(FOptions.JPEGQuality));
    FQualityValue->adjustSize();
    SetTextColour(FQualityValue, QPalette::WindowText, QualityColour(FOptions.JPEGQuality));
    // A quality that came in out of range stays as it is until the user changes it.
    const QSignalBlocker blocker(FQualitySlider);
    FQualitySlider->setValue(FOptions.JPEGQuality);
}

void TtalSavePictureDialog::ShowPreview(const QString& path) {
    FPreview->clear();
    if (!QFileInfo(path).isFile()) return;
    QImageReader reader(path);
    const QSize size = reader.size();
    if (!size.isValid() || size.isEmpty()) return;
    reader.setScaledSize(size.scaled(kPreviewSize, kPreviewSize, Qt::KeepAspectRatio)
                             .boundedTo(size)
                             .expandedTo(QSize(1, 1)));
    const QImage image = reader.read();
    if (!image.isNull()) FPreview->setPixmap(QPixmap::fromImage(image));
}

}  // namespace tilvo
