// A progress bar that paints a filled part, an empty part and a text
// centred over both: the owner's caption, or the percentage reached when
// the caption is empty. The text over the filled part takes one colour and
// over the empty part another, so it stays readable as the bar passes. An
// empty range (nothing to count yet) paints the empty part and the caption.
#pragma once

#include <QImage>
#include <QPainter>
#include <QString>
#include <QWidget>

// Off-screen painting target: drawing goes into a buffer covering the
// target's rectangle, which is copied to the target when this ends, so fast
// updates do not flicker. A printer target is drawn on directly.
class CMyMemDC {
  public:
    // target must outlive this object; rect is the area being painted.
    CMyMemDC(QPainter* target, const QRect& rect, bool printer = false);
    ~CMyMemDC();
    CMyMemDC(const CMyMemDC&) = delete;
    CMyMemDC& operator=(const CMyMemDC&) = delete;

    // The painter to draw with, in the target's coordinates.
    QPainter* painter() { return m_buffered ? &m_memPainter : m_target; }

  private:
    QPainter* m_target;
    QRect m_rect;
    bool m_buffered;
    QImage m_image;
    QPainter m_memPainter;
};

class CTextProgressCtrl : public QWidget {
    Q_OBJECT
  public:
    explicit CTextProgressCtrl(QWidget* parent = nullptr);

    // Stores both ends of the range; nothing is repainted.
    void SetRange(int minimum, int maximum);
    // Stores the position; repaints at once when the filled part's pixel
    // width changed. Returns the previous position (there is no failure:
    // the control always has its window).
    int SetPos(int position);
    int GetPos() const { return m_nPos; }
    int GetRangeMin() const { return m_nMin; }
    int GetRangeMax() const { return m_nMax; }

    // The caption (empty: the percentage is shown). Setting the same text
    // again causes no repaint.
    void SetWindowText(const QString& text);
    QString GetWindowText() const { return m_strText; }
    // Copies at most size - 1 units of the caption into buffer (terminated)
    // and returns min(size, caption length); 0 for a null buffer or size 0.
    int GetWindowText(char16_t* buffer, int size) const;

    void SetShowText(bool show);

    // The text drawn for a range and position when no caption is set:
    // "%d%%" of the truncated percentage ("37%" for 37 of 100). Empty when
    // maximum is not above minimum.
    static QString PercentText(int minimum, int maximum, int position);

    // Filled width at the last position change (-1 until the next one after
    // a resize), and how many times the control painted itself.
    int BarWidth() const { return m_nBarWidth; }
    int PaintCount() const { return m_paintCount; }

  signals:
    // The caption changed (after SetWindowText with a new text).
    void textChanged(const QString& text);

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    int m_nPos = 0;
    int m_nStepSize = 1;
    int m_nMax = 100;
    int m_nMin = 0;
    QString m_strText;
    bool m_bShowText = true;
    int m_nBarWidth = -1;
    QColor m_colFore;
    QColor m_colBk;
    QColor m_colTextOverBk;
    QColor m_colTextOverBar;
    int m_paintCount = 0;
};
