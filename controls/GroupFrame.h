// A group box whose frame is drawn with the painter: the toolkit's own
// style draws it from a picture file, and reading that first picture looks
// through every image plugin installed, which costs the window's first
// paint a few milliseconds. It looks the same as the style's frame.
#pragma once

#include <QGroupBox>

class CGroupFrame : public QGroupBox {
  public:
    using QGroupBox::QGroupBox;

  protected:
    void paintEvent(QPaintEvent* event) override;
};
