// The video placeholder's colour and icon, from the Qt palette, MIME database and icon theme.
#include "app/VideoIcon.h"

#include <QApplication>
#include <QIcon>
#include <QImage>
#include <QMimeDatabase>
#include <QPalette>

#include "FileFormat/VideoStill.h"

namespace tilvo {

namespace {

constexpr int kIconSide = 32;
constexpr int kIconOrigin = 16;

// Blends the icon of the file's type over the square, clipped to it.
void DrawTypeIcon(TBitmap& picture, const std::string& fileName) {
    const QMimeType type = QMimeDatabase().mimeTypeForFile(QString::fromStdString(fileName),
                                                           QMimeDatabase::MatchExtension);
    QIcon icon = QIcon::fromTheme(type.iconName());
    if (icon.isNull()) icon = QIcon::fromTheme(type.genericIconName());
    if (icon.isNull()) icon = QIcon::fromTheme(QStringLiteral("video-x-generic"));
    if (icon.isNull()) return;
    const QImage image =
        icon.pixmap(kIconSide, kIconSide).toImage().convertToFormat(QImage::Format_RGBA8888);
    if (picture.PixelFormat() != pf24bit) return;
    for (int y = 0; y < image.height() && kIconOrigin + y < picture.Height(); ++y) {
        const uchar* s = image.constScanLine(y);
        uint8_t* d = picture.ScanLine(kIconOrigin + y) + 3 * kIconOrigin;
        for (int x = 0; x < image.width() && kIconOrigin + x < picture.Width();
             ++x, s += 4, d += 3) {
            const unsigned a = s[3], na = 255 - a;
            d[0] = uint8_t((s[2] * a + d[0] * na + 127) / 255);
            d[1] = uint8_t((s[1] * a + d[1] * na + 127) / 255);
            d[2] = uint8_t((s[0] * a + d[2] * na + 127) / 255);
        }
    }
}

}  // namespace

void InstallVideoPlaceholderIcon() {
    const QColor button = QApplication::palette().color(QPalette::Button);
    TVideoPlaceholderStyle style;
    style.ButtonFace = RGB(uint8_t(button.red()), uint8_t(button.green()), uint8_t(button.blue()));
    style.DrawIcon = DrawTypeIcon;
    SetVideoPlaceholderStyle(std::move(style));
}

}  // namespace tilvo
