// A one-line label that shows a long text elided in the middle, so both the
// start of a path and its file name stay in sight; the whole text is its
// tooltip then. text() is always the whole text.
#pragma once

#include <QLabel>

class CElideLabel : public QLabel {
    Q_OBJECT
  public:
    explicit CElideLabel(QWidget* parent = nullptr) : QLabel(parent) {}

    // The text as drawn at the label's current width.
    QString DisplayText() const;
    bool IsElided() const { return DisplayText() != text(); }

    QSize minimumSizeHint() const override;

  protected:
    bool event(QEvent* e) override;
    void paintEvent(QPaintEvent* e) override;
};
