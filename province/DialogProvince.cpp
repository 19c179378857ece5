#include "province/DialogProvince.h"

#include <QCheckBox>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>

#include <algorithm>

namespace {
// Dialog units of an 8-point dialog font (see the configuration dialog).
constexpr int DLU_X_NUM = 3, DLU_X_DEN = 2;
constexpr int DLU_Y_NUM = 13, DLU_Y_DEN = 8;

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

QRect CDialogProvince::DluRect(int x, int y, int w, int h) {
    return QRect(x * DLU_X_NUM / DLU_X_DEN, y * DLU_Y_NUM / DLU_Y_DEN, w * DLU_X_NUM / DLU_X_DEN,
                 h * DLU_Y_NUM / DLU_Y_DEN);
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
    setFixedSize(DluRect(0, 0, 624, 342).size());
    QFont dialogFont = font();
    dialogFont.setPixelSize(11);
    setFont(dialogFont);
    // Arial, 15 pixels high, normal weight.
    m_textFont = QFont(QStringLiteral("Arial"));
    m_textFont.setPixelSize(15);
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

    m_national = new QCheckBox(QString::fromUtf8(PROVINCE_NATIONAL_TEXT), this);
    m_national->setObjectName(QString::number(IDC_PROVINCE_NATIONAL));
    m_national->setGeometry(DluRect(15, 319, 221, 10));
    colour_control(m_national, QColor(0, 255, 0));
    connect(m_national, &QCheckBox::clicked, this, [this] { OnClickNational(); });

    auto* ok = new QPushButton(QStringLiteral("确定"), this);
    ok->setObjectName(QStringLiteral("1"));
    ok->setGeometry(DluRect(271, 318, 82, 24));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, [this] { OnOK(); });
    m_ok = ok;

    for (int i = 0; i < PROVINCE_BOX_COUNT; ++i) {
        const ProvinceBox& b = PROVINCE_BOXES[i];
        auto* box = new QCheckBox(QString::fromUtf8(b.name), this);
        box->setObjectName(QString::number(b.id));
        box->setGeometry(DluRect(b.x, b.y, b.w, 10));
        connect(box, &QCheckBox::clicked, this, [this, i] { OnClickProvince(i); });
        m_boxes[i] = box;
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
    if (id >= IDC_PROVINCE_FIRST && id < IDC_PROVINCE_FIRST + PROVINCE_BOX_COUNT)
        return m_boxes[id - IDC_PROVINCE_FIRST];
    return nullptr;
}

QString CDialogProvince::CountLine() const {
    return m_countLine->text();
}

ProvinceState CDialogProvince::state() const {
    ProvinceState s;
    for (int i = 0; i < PROVINCE_BOX_COUNT; ++i)
        s.ticked[i] = m_boxes[i]->isChecked();
    s.national = m_national->isChecked();
    s.count_line = m_countLine->text().toStdString();
    return s;
}

void CDialogProvince::show(const ProvinceState& s) {
    for (int i = 0; i < PROVINCE_BOX_COUNT; ++i)
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
        for (int i = 0; i < PROVINCE_BOX_COUNT; ++i)
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
        for (int i = 0; i < PROVINCE_BOX_COUNT; ++i)
            if (PROVINCE_BOXES[i].flag == flag) {
                dlg.Box(i)->setChecked(true);
                dlg.OnClickProvince(i);
            }
    dlg.QDialog::show();
    bool ok = dlg.grab().save(path, "PNG");
    dlg.hide();
    return ok;
}
