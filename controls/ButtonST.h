// Owner-drawn push buttons with an icon, a word-wrapped caption, a flat look
// that lights up under the mouse, and (CShadeButtonST) shaded background
// pictures.
#pragma once

#include "controls/CeXDib.h"

#include <QAbstractButton>
#include <QColor>
#include <QIcon>
#include <QPixmap>

class CButtonST : public QAbstractButton {
    Q_OBJECT
  public:
    // Colour slots of SetColor / GetColor.
    enum ColorIndex {
        BTNST_COLOR_BK_IN,
        BTNST_COLOR_FG_IN,
        BTNST_COLOR_BK_OUT,
        BTNST_COLOR_FG_OUT
    };

    explicit CButtonST(QWidget* parent = nullptr);

    // Icons for the mouse-over and mouse-away states (the second may be
    // null: the first then serves in every state). Earlier icons are
    // dropped. size is the icon's drawn size in pixels (0: 32 x 32).
    void SetIcon(const QIcon& iconIn, const QIcon& iconOut = QIcon(), int size = 0);
    // The same with a grey copy of iconIn as the mouse-away icon.
    void SetIconGreyOut(const QIcon& iconIn, int size = 0);

    void SetFlat(bool flat) {
        m_bIsFlat = flat;
        update();
    }
    void DrawBorder(bool enable) {
        m_bDrawBorder = enable;
        update();
    }
    void DrawFlatFocus(bool enable) {
        m_bDrawFlatFocus = enable;
        update();
    }
    // Underlines the caption's letter at index and makes Alt with that
    // letter click the button; -1 removes it. The caption stays as set.
    void SetMnemonic(int index);
    int Mnemonic() const { return m_mnemonic; }
    void SetColor(ColorIndex index, QColor colour);
    QColor GetColor(ColorIndex index) const;

    // State the drawing looks at.
    bool IsMouseOver() const { return m_bMouseOnButton; }
    bool HasIconOut() const { return !m_iconOut.isNull(); }
    // The icon drawn for the current state (the mouse-away icon when the
    // button is neither pressed nor under the mouse and has one).
    QIcon CurrentIcon() const;
    // The size the icons are drawn at, in pixels.
    int IconSize() const { return m_iconSize; }
    // Where the caption was drawn the last time, after the (1, 1) press shift.
    QRect LastCaptionRect() const { return m_lastCaptionRect; }

    QSize sizeHint() const override;

  protected:
    virtual void DrawBackground(QPainter* p, const QRect& r);
    virtual void DrawBorder(QPainter* p, const QRect& r);
    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

    void SetMouseOver(bool over);

  private:
    bool m_bMouseOnButton = false;
    bool m_bIsFlat = true;
    bool m_bDrawBorder = true;
    bool m_bDrawFlatFocus = false;
    QColor m_crColors[4];
    QIcon m_iconIn;
    QIcon m_iconOut;
    int m_iconSize = 32;
    int m_mnemonic = -1;
    QRect m_lastCaptionRect;
};

class CShadeButtonST : public CButtonST {
    Q_OBJECT
  public:
    enum ShadeKind {
        SHS_NOISE = 0,
        SHS_DIAGSHADE,
        SHS_HSHADE,
        SHS_VSHADE,
        SHS_HBUMP,
        SHS_VBUMP,
        SHS_SOFTBUMP,
        SHS_HARDBUMP,
        SHS_METAL
    };

    explicit CShadeButtonST(QWidget* parent = nullptr);

    // Builds the normal, over and down pictures at the button's current
    // size: a vertical shade from button shadow (bottom) to highlight (top)
    // with grain granularity, the over picture highlight percent lighter,
    // the normal palette tinted coloring percent towards colour. Other shade
    // kinds draw the vertical shade too. Nothing is built for an empty size.
    void SetShade(int shadeKind = SHS_VSHADE, int granularity = 8, int highlight = 10,
                  int coloring = 0, QColor colour = QColor(0, 0, 0));

    const CCeXDib& NormalDib() const { return m_dNormal; }
    const CCeXDib& OverDib() const { return m_dOver; }
    const CCeXDib& DownDib() const { return m_dDown; }
    // Which picture the last paint drew: 0 normal, 1 over, 2 down.
    int LastBackground() const { return m_lastBackground; }

  protected:
    void DrawBackground(QPainter* p, const QRect& r) override;

  private:
    CCeXDib m_dNormal;
    CCeXDib m_dOver;
    CCeXDib m_dDown;
    int m_lastBackground = -1;
};
