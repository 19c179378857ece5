// CDialogProvince: the province selection dialog (template 145). The user
// ticks up to 12 provinces on a map of China, or the national package.
// Its result is a mode (0 national, 1 per province) and 34 flags in the
// order of PROVINCE_NAMES; the decisions live in province_choice.h.
#pragma once

#include "province/province_choice.h"

#include <QDialog>
#include <QFont>
#include <QImage>

#include <functional>

class QCheckBox;
class QLabel;

class CDialogProvince : public QDialog {
    Q_OBJECT

  public:
    // map: the main window's province map, drawn stretched over the whole
    // client area (a null image draws nothing).
    explicit CDialogProvince(QWidget* parent, const QImage& map);
    CDialogProvince(QWidget* parent = nullptr) : CDialogProvince(parent, QImage()) {}

    // Result: 0 national condensed package, 1 per-province package.
    int mode() const { return m_mode; }
    // Flag i (PROVINCE_NAMES order): 1 selected. 0 outside 0..33.
    int flag(int i) const { return i >= 0 && i < PROVINCE_COUNT ? m_flags[i] : 0; }

    // Handlers (also called by tests): a province box (index 0..33 in id
    // order) or the national box after it toggled itself, and OK.
    void OnClickProvince(int box);
    void OnClickNational();
    void OnOK();

    // The provinces the package holds (34 flags by flag index, 1 = held):
    // the boxes of the others are disabled and say why in their tooltip.
    void SetHeld(const int held[PROVINCE_COUNT]);

    // The control with a template id; null when there is none.
    QWidget* Control(int id) const;
    QCheckBox* Box(int box) const { return m_boxes[box]; }
    QString CountLine() const;

    // Message boxes: (text, caption, yesNo) → true for Yes (or OK). Tests
    // replace it.
    std::function<bool(const QString& text, const QString& caption, bool yesNo)> messageBox;

    // Dialog units of the template to pixels at the map's own size (the
    // map picture is drawn for these).
    static QRect TemplateRect(int x, int y, int w, int h);
    // The same at the dialog's scale.
    QRect DluRect(int x, int y, int w, int h) const;
    // How much the map and its boxes are scaled to fit the screen (at most 1).
    double Scale() const { return m_scale; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    ProvinceState state() const;
    void show(const ProvinceState& s);
    void setCountLine(const QString& text);

    int m_flags[PROVINCE_COUNT] = {};
    int m_mode = 0;
    double m_scale = 1.0;
    QImage m_map;
    QFont m_textFont;
    QLabel* m_countLine = nullptr;
    QLabel* m_advice = nullptr;
    QCheckBox* m_national = nullptr;
    QCheckBox* m_boxes[PROVINCE_COUNT] = {};
    QWidget* m_ok = nullptr;
};

// Renders the dialog with a few provinces ticked to a PNG file, offscreen,
// over map (a null image gives the plain background). Returns false when
// the image cannot be written.
bool DialogProvinceRenderPng(const QString& path, const QImage& map);
