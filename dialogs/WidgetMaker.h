// Making the dialogs' controls at their designed places, each under its component name (the
// language file finds captions by that name).
#pragma once

#include <QLabel>
#include <QString>
#include <QWidget>

namespace tilvo {

template <class T>
T* Make(QWidget* parent, const char* name, int left, int top, int width, int height) {
    auto* widget = new T(parent);  // owned by its parent widget
    widget->setObjectName(QString::fromLatin1(name));
    widget->setGeometry(left, top, width, height);
    return widget;
}

inline QLabel* MakeLabel(QWidget* parent, const char* name, int left, int top,
                         const QString& caption) {
    auto* label = new QLabel(caption, parent);  // owned by its parent widget
    label->setObjectName(QString::fromLatin1(name));
    label->move(left, top);
    label->adjustSize();
    return label;
}

}  // namespace tilvo
