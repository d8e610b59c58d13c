// The tilvo program: registers the picture formats, shows the main window and runs the event loop.
#include <QApplication>
#include <QMessageBox>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "FileFormat/Graphic.h"
#include "TilvoVersion.h"
#include "app/ComLineEX.h"
#include "app/Unit1.h"
#include "app/VideoIcon.h"
#ifdef TILVO_HAVE_VIDEO_DECODER
#include "FileFormat/FFmpegVideoDecoder.h"
#endif

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(tilvo::ComLineUsage("tilvo").c_str(), stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::puts("tilvo " TILVO_VERSION);
            return 0;
        }
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tilvo"));
    QApplication::setApplicationVersion(QStringLiteral(TILVO_VERSION));

    tilvo::RegisterAllFormats();
    struct TUnregister {
        ~TUnregister() { tilvo::UnregisterAllFormats(); }
    } unregister;
    tilvo::InstallVideoPlaceholderIcon();
#ifdef TILVO_HAVE_VIDEO_DECODER
    tilvo::InstallVideoDecoder(std::make_shared<tilvo::TFFmpegVideoDecoder>());
#endif

    // QApplication has taken its own options (-platform, -style ...) out of argv.
    const std::vector<std::string> args(argv + 1, argv + argc);
    try {
        tilvo::TForm1 form(QCoreApplication::applicationFilePath().toStdString(), args);
        form.show();
        return app.exec();
    } catch (const std::exception& e) {
        // The window could not be made: there is nothing to go on with.
        QMessageBox::critical(nullptr, QStringLiteral("Tilvo"), QString::fromUtf8(e.what()));
        return 1;
    }
}
