// The main window's scroll box.
#include "EvtScroll.h"

#include <QPainter>

namespace tilvo {

TEventScrollBox::TEventScrollBox(QWidget* parent) : QScrollArea(parent) {
    // Once focused (a click on the picture gives it the focus) the box scrolls with the arrow
    // keys, which QAbstractScrollArea handles.
    setFocusPolicy(Qt::StrongFocus);
}

void TEventScrollBox::SetOverLayer(bool value) {
    FOverLayer = value;
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent, value);
    viewport()->setAutoFillBackground(!value);
}

void TEventScrollBox::scrollContentsBy(int dx, int dy) {
    QScrollArea::scrollContentsBy(dx, dy);
    if (dx != 0 && OnScrollHorz) OnScrollHorz();
    if (dy != 0 && OnScrollVert) OnScrollVert();
}

void TEventScrollBox::SetEmptyText(const QString& text) {
    if (FEmptyText == text) return;
    FEmptyText = text;
    viewport()->update();
}

void TEventScrollBox::paintEvent(QPaintEvent* event) {
    QScrollArea::paintEvent(event);
    if (FEmptyText.isEmpty()) return;
    QPainter p(viewport());
    p.setPen(palette().color(QPalette::BrightText));
    p.drawText(viewport()->rect().adjusted(16, 16, -16, -16),
               Qt::AlignCenter | Qt::TextWordWrap, FEmptyText);
}

void TEventScrollBox::resizeEvent(QResizeEvent* event) {
    QScrollArea::resizeEvent(event);
    if (OnResize) OnResize();
}

}  // namespace tilvo
