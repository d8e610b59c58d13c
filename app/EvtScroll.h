// TEventScrollBox: a scroll area that reports horizontal and vertical scrolling, can skip painting
// its background when something is laid over it, and scrolls with the arrow keys once focused.
#pragma once

#include <QScrollArea>
#include <functional>

namespace tilvo {

class TEventScrollBox : public QScrollArea {
    Q_OBJECT

  public:
    explicit TEventScrollBox(QWidget* parent = nullptr);

    // When set, the viewport does not erase its background before painting.
    bool OverLayer() const { return FOverLayer; }
    void SetOverLayer(bool value);

    // Called after the contents have scrolled horizontally / vertically.
    std::function<void()> OnScrollHorz;
    std::function<void()> OnScrollVert;
    // Called after the box has changed its size (the area a picture can fill has changed).
    std::function<void()> OnResize;

    // Shown in the middle of the box while it shows no picture (empty: nothing): how to open
    // one.
    QString EmptyText() const { return FEmptyText; }
    void SetEmptyText(const QString& text);

  protected:
    void scrollContentsBy(int dx, int dy) override;
    void resizeEvent(QResizeEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

  private:
    bool FOverLayer = false;
    QString FEmptyText;
};

}  // namespace tilvo
