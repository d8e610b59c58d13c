// Answers the window's question about unsaved work in tests, where nobody clicks.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QString>
#include <QTimer>

namespace tilvo {

// The question about unsaved work carries this object name.
inline const QString kUnsavedChangesBox = QStringLiteral("UnsavedChangesBox");

// While it lives, answers every question about unsaved work with `button` and counts them.
class TUnsavedChangesAnswer {
  public:
    explicit TUnsavedChangesAnswer(QMessageBox::StandardButton button) {
        FTimer.setInterval(5);
        QObject::connect(&FTimer, &QTimer::timeout, [this, button] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box || !box->isVisible() || box->objectName() != kUnsavedChangesBox) return;
            ++Asked;
            Title = box->windowTitle();
            box->button(button)->click();
        });
        FTimer.start();
    }
    int Asked = 0;
    QString Title;

  private:
    QTimer FTimer;
};

}  // namespace tilvo
