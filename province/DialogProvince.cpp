#include "province/DialogProvince.h"

#include "controls/dialog_units.h"
#include "controls/text_fit.h"

#include <QCheckBox>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QStyle>

#include <algorithm>

namespace {
// The map picture is drawn for the template at the units of an 8-point
// dialog font (6 x 13 pixels, truncated); the dialog's fonts go with it.
constexpr int DLU_X_NUM = 3, DLU_X_DEN = 2;
constexpr int DLU_Y_NUM = 13, DLU_Y_DEN = 8;
constexpr int TEMPLATE_W = 624, TEMPLATE_H = 342;
constexpr int DIALOG_FONT_PIXELS = 11;
constexpr int TEXT_FONT_PIXELS = 15;

// On a scaled-down map a check box keeps at least the height of its square
// and text, around the same middle.
QRect keep_square_height(const QCheckBox* box, QRect r) {
    int high = std::max(box->fontMetrics().height(),
                        box->style()->pixelMetric(QStyle::PM_IndicatorHeight, nullptr, box));
    if (r.height() < high)
        r.adjust(0, -(high - r.height()) / 2, 0, high - r.height() - (high - r.height()) / 2);
    return r;
}

QString u8(const std::string& s) {
    return QString::fromUtf8(s.data(), qsizetype(s.size()));
}

// Text drawn transparent in a colour over the stock white brush.
void colour_control(QWidget* w, const QColor& text) {
    QPalette p = w->palette();
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Window, Qt::white);
    p.setColor(QPalette::Button, Qt::white);
    w->setPalette(p);
    w->setAutoFillBackground(true);
}
} // namespace

QRect CDialogProvince::TemplateRect(int x, int y, int w, int h) {
    return QRect(x * DLU_X_NUM / DLU_X_DEN, y * DLU_Y_NUM / DLU_Y_DEN, w * DLU_X_NUM / DLU_X_DEN,
                 h * DLU_Y_NUM / DLU_Y_DEN);
}

QRect CDialogProvince::DluRect(int x, int y, int w, int h) const {
    // Scaled as whole rectangles, so neighbouring boxes keep their order.
    QRectF r = QRectF(TemplateRect(x, y, w, h));
    return QRectF(r.x() * m_scale, r.y() * m_scale, r.width() * m_scale, r.height() * m_scale)
        .toRect();
}

CDialogProvince::CDialogProvince(QWidget* parent, const QImage& map) : QDialog(parent), m_map(map) {
    messageBox = [this](const QString& text, const QString& caption, bool yesNo) {
        if (yesNo)
            return QMessageBox::question(this, caption, text, QMessageBox::Yes | QMessageBox::No) ==
                   QMessageBox::Yes;
        QMessageBox::information(this, caption, text);
        return true;
    };
    setWindowTitle(QString::fromUtf8(PROVINCE_CAPTION));
    // A screen smaller than the map shows the map, its boxes and their
    // texts scaled down together; the boxes stay on their provinces.
    m_scale = dialog_fit_factor(TemplateRect(0, 0, TEMPLATE_W, TEMPLATE_H).size(),
                                dialog_available_size(parent ? parent : this));
    setFixedSize(DluRect(0, 0, TEMPLATE_W, TEMPLATE_H).size());
    auto scaledPixels = [this](int px) { return std::max(1, int(px * m_scale)); };
    QFont dialogFont = font();
    dialogFont.setPixelSize(scaledPixels(DIALOG_FONT_PIXELS));
    setFont(dialogFont);
    // Arial, 15 pixels high, normal weight.
    m_textFont = QFont(QStringLiteral("Arial"));
    m_textFont.setPixelSize(scaledPixels(TEXT_FONT_PIXELS));
    m_textFont.setWeight(QFont::Normal);
    m_textFont.setStyleHint(QFont::SansSerif);

    m_countLine = new QLabel(u8(province_count_line(0)), this);
    m_countLine->setObjectName(QString::number(IDC_PROVINCE_COUNT_LINE));
    m_countLine->setFont(m_textFont);
    colour_control(m_countLine, QColor(255, 0, 0));
    setCountLine(m_countLine->text());
    m_advice = new QLabel(QString::fromUtf8(PROVINCE_ADVICE_TEXT), this);
    m_advice->setObjectName(QString::number(IDC_PROVINCE_ADVICE));
    m_advice->setGeometry(DluRect(8, 22, 160, 11));
    m_advice->setFont(m_textFont);
    colour_control(m_advice, QColor(255, 0, 0));
    grow_to_text(m_advice, false);

    m_national = new QCheckBox(QString::fromUtf8(PROVINCE_NATIONAL_TEXT), this);
    m_national->setObjectName(QString::number(IDC_PROVINCE_NATIONAL));
    m_national->setGeometry(keep_square_height(m_national, DluRect(15, 319, 221, 10)));
    colour_control(m_national, QColor(0, 255, 0));
    connect(m_national, &QCheckBox::clicked, this, [this] { OnClickNational(); });
    grow_to_text(m_national, false);

    auto* ok = new QPushButton(QStringLiteral("确定"), this);
    ok->setObjectName(QStringLiteral("1"));
    ok->setGeometry(DluRect(271, 318, 82, 24));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, [this] { OnOK(); });
    grow_to_text(ok, false);
    m_ok = ok;

    for (int i = 0; i < PROVINCE_COUNT; ++i) {
        const ProvinceBox& b = PROVINCE_BOXES[i];
        auto* box = new QCheckBox(QString::fromUtf8(b.name), this);
        box->setObjectName(QString::number(b.id));
        box->setGeometry(keep_square_height(box, DluRect(b.x, b.y, b.w, 10)));
        connect(box, &QCheckBox::clicked, this, [this, i] { OnClickProvince(i); });
        // Wider to the right only: the tick square stays on its province.
        grow_to_text(box, false);
        m_boxes[i] = box;
    }
    // Tab goes over the map row by row, then to the national box and OK.
    QWidget* previous = nullptr;
    for (int i : province_tab_order()) {
        if (previous)
            setTabOrder(previous, m_boxes[i]);
        previous = m_boxes[i];
    }
    setTabOrder(previous, m_national);
    setTabOrder(m_national, m_ok);
    // The ring of that order starts at the top of the map.
    m_boxes[province_tab_order()[0]]->setFocus();
}

void CDialogProvince::SetHeld(const int held[PROVINCE_COUNT]) {
    for (int i = 0; i < PROVINCE_COUNT; ++i) {
        bool on = held[PROVINCE_BOXES[i].flag] != 0;
        if (!on)
            m_boxes[i]->setChecked(false);
        m_boxes[i]->setEnabled(on);
        m_boxes[i]->setToolTip(on ? QString() : QString::fromUtf8(PROVINCE_NOT_HELD_TIP));
    }
    setCountLine(u8(province_count_line(province_ticked_count(state()))));
    // The focus starts on the first province that can be ticked.
    for (int i : province_tab_order())
        if (m_boxes[i]->isEnabled()) {
            m_boxes[i]->setFocus();
            break;
        }
}

QWidget* CDialogProvince::Control(int id) const {
    if (id == IDC_PROVINCE_COUNT_LINE)
        return m_countLine;
    if (id == IDC_PROVINCE_ADVICE)
        return m_advice;
    if (id == IDC_PROVINCE_NATIONAL)
        return m_national;
    if (id == 1)
        return m_ok;
    if (id >= IDC_PROVINCE_FIRST && id < IDC_PROVINCE_FIRST + PROVINCE_COUNT)
        return m_boxes[id - IDC_PROVINCE_FIRST];
    return nullptr;
}

QString CDialogProvince::CountLine() const {
    return m_countLine->text();
}

ProvinceState CDialogProvince::state() const {
    ProvinceState s;
    for (int i = 0; i < PROVINCE_COUNT; ++i)
        s.ticked[i] = m_boxes[i]->isChecked();
    s.national = m_national->isChecked();
    s.count_line = m_countLine->text().toStdString();
    return s;
}

void CDialogProvince::show(const ProvinceState& s) {
    for (int i = 0; i < PROVINCE_COUNT; ++i)
        if (m_boxes[i]->isChecked() != s.ticked[i])
            m_boxes[i]->setChecked(s.ticked[i]);
    m_national->setChecked(s.national);
    setCountLine(u8(s.count_line));
}

void CDialogProvince::setCountLine(const QString& text) {
    m_countLine->setText(text);
    // The line is wider than its template rectangle in most fonts; let it
    // run on so the count at its end stays readable.
    QRect r = DluRect(7, 6, 373, 11);
    r.setWidth(std::max(r.width(), m_countLine->sizeHint().width()));
    r.setHeight(std::max(r.height(), m_countLine->sizeHint().height()));
    m_countLine->setGeometry(r);
}

void CDialogProvince::OnClickProvince(int box) {
    ProvinceState s = state();
    bool counted = province_box_clicked(s, box);
    show(s);
    if (!counted && messageBox)
        messageBox(QString::fromUtf8(PROVINCE_TOO_MANY_TEXT), QString::fromUtf8(PROVINCE_CAPTION),
                   false);
}

void CDialogProvince::OnClickNational() {
    ProvinceState s = state();
    province_national_clicked(s);
    show(s);
}

void CDialogProvince::OnOK() {
    ProvinceOk r = province_ok(state());
    m_mode = r.mode;
    if (r.flags_set)
        for (int i = 0; i < PROVINCE_COUNT; ++i)
            m_flags[i] = r.flags[i];
    QString caption = QString::fromUtf8(PROVINCE_CAPTION);
    switch (r.action) {
    case ProvinceOk::END_OK:
        accept();
        break;
    case ProvinceOk::MESSAGE:
        if (messageBox)
            messageBox(u8(r.text), caption, false);
        break;
    case ProvinceOk::ASK:
        if (messageBox && messageBox(u8(r.text), caption, true))
            accept();
        break;
    }
}

void CDialogProvince::paintEvent(QPaintEvent* event) {
    if (!m_map.isNull()) {
        QPainter p(this);
        p.setRenderHint(QPainter::SmoothPixmapTransform);
        p.drawImage(rect(), m_map);
        return;
    }
    QDialog::paintEvent(event);
}

bool DialogProvinceRenderPng(const QString& path, const QImage& map) {
    CDialogProvince dlg(nullptr, map);
    for (int flag : {0, 8, 11, 17, 27}) // 北京, 河北, 山东, 河南, 广东
        for (int i = 0; i < PROVINCE_COUNT; ++i)
            if (PROVINCE_BOXES[i].flag == flag) {
                dlg.Box(i)->setChecked(true);
                dlg.OnClickProvince(i);
            }
    dlg.QDialog::show();
    bool ok = dlg.grab().save(path, "PNG");
    dlg.hide();
    return ok;
}
