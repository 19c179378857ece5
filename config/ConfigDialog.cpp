#include "config/ConfigDialog.h"

#include "config/records.h"
#include "controls/text_fit.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFont>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QRegularExpressionValidator>

#include <array>
#include <cstring>

namespace {
QString qs(const std::u16string& s) {
    return QString::fromUtf16(s.data(), qsizetype(s.size()));
}
std::u16string u16(const QString& s) {
    return s.toStdU16String();
}

// The dialog's font: 11 pixels, an 8-point font on a 96-dpi screen; a
// screen too small for the dialog at that size gets a smaller one, down to
// the smallest readable size.
constexpr int FONT_PIXELS = 11;
constexpr int FONT_PIXELS_MIN = 8;
constexpr int TEMPLATE_W = 405, TEMPLATE_H = 219;

// Ids of template 141.
enum : int {
    ID_OK = 1,
    ID_CANCEL = 2,
    ID_BAND_COL1 = 1013,
    ID_BAND_COL2 = 1014,
    ID_ZONE_LABEL = 1026,
    ID_DAY_LABEL = 1027,
    ID_DAY = 1028,
    ID_NIGHT_LABEL = 1029,
    ID_NIGHT = 1030,
    ID_12H = 1033,
    ID_FREQ = 1034,
    ID_SERVER = 1044,
    ID_PORT = 1045,
    ID_COMPANY_LABEL = 1046,
    ID_COMPANY = 1043,
    ID_SERVER_LABEL = 1047,
    ID_PORT_LABEL = 1048,
    ID_PSW_LABEL = 1049,
    ID_USER_LABEL = 1050,
    ID_USER = 1051,
    ID_PSW = 1052,
    ID_APN_LABEL = 1053,
    ID_APN = 1054,
    ID_ZONE = 1055,
};

constexpr int GPRS_IDS[12] = {ID_COMPANY_LABEL, ID_COMPANY, ID_APN_LABEL,  ID_APN,
                              ID_USER_LABEL,    ID_USER,    ID_PSW_LABEL,  ID_PSW,
                              ID_SERVER_LABEL,  ID_SERVER,  ID_PORT_LABEL, ID_PORT};
} // namespace

QRect CConfigDialog::DluRect(int x, int y, int w, int h) const {
    return dialog_units_rect(x, y, w, h, base_);
}

CConfigDialog::CConfigDialog(QWidget* parent) : QDialog(parent) {
    showMessage = [this](const QString& text, const QString& caption) {
        QMessageBox::warning(this, caption, text);
    };
    build();
}

CConfigDialog::~CConfigDialog() = default;

void CConfigDialog::addControl(int id, QWidget* w, int x, int y, int width, int height) {
    w->setObjectName(QString::number(id));
    w->setGeometry(DluRect(x, y, width, height));
    controls_[id] = w;
    template_[id] = QRect(x, y, width, height);
}

QWidget* CConfigDialog::Control(int id) const {
    auto it = controls_.find(id);
    if (it != controls_.end())
        return it->second;
    for (QCheckBox* b : bands_)
        if (b->objectName() == QString::number(id))
            return b;
    return nullptr;
}

void CConfigDialog::build() {
    // The dialog units are made of the real font's metrics, so every box
    // has room for its text in whatever font the system gives.
    QFont f = font();
    QSize room = dialog_available_size(this);
    for (int px = FONT_PIXELS; px >= FONT_PIXELS_MIN; --px) {
        f.setPixelSize(px);
        base_ = dialog_base_units(f);
        if (dialog_fit_factor(dialog_units_size(TEMPLATE_W, TEMPLATE_H, base_), room) >= 1.0)
            break;
    }
    setFont(f);
    setFixedSize(dialog_units_size(TEMPLATE_W, TEMPLATE_H, base_));
    auto* ok = new QPushButton(QStringLiteral("确定"), this);
    addControl(ID_OK, ok, 71, 189, 69, 23);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, [this] { OnOK(); });
    auto* cancel = new QPushButton(QStringLiteral("取消"), this);
    addControl(ID_CANCEL, cancel, 266, 190, 69, 22);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    auto* col1 = new QCheckBox(QStringLiteral("X频段"), this);
    addControl(ID_BAND_COL1, col1, 7, 7, 122, 10);
    col1->hide();
    auto* col2 = new QCheckBox(QStringLiteral("K1"), this);
    addControl(ID_BAND_COL2, col2, 136, 7, 122, 10);
    col2->hide();

    addControl(ID_ZONE_LABEL, new QLabel(QStringLiteral("时区 -12~13"), this), 264, 4, 98, 14);
    auto* zone = new QComboBox(this);
    zone->setEditable(true);
    zone->setInsertPolicy(QComboBox::NoInsert);
    for (int z = TIME_ZONE_MIN; z <= TIME_ZONE_MAX; ++z)
        zone->addItem(QString::number(z));
    addControl(ID_ZONE, zone, 366, 7, 32, 14); // the template's 30 includes the drop-down list

    auto* dayLabel = new QLabel(QStringLiteral("白天亮度开始时间 3~10"), this);
    dayLabel->setWordWrap(true);
    addControl(ID_DAY_LABEL, dayLabel, 264, 30, 98, 23);
    addControl(ID_DAY, new QLineEdit(this), 366, 30, 32, 14);
    auto* nightLabel = new QLabel(QStringLiteral("白天亮度结束 15~23"), this);
    nightLabel->setWordWrap(true);
    addControl(ID_NIGHT_LABEL, nightLabel, 264, 57, 98, 23);
    addControl(ID_NIGHT, new QLineEdit(this), 366, 57, 32, 14);

    auto* h12 = new QCheckBox(QStringLiteral("12小时制"), this);
    addControl(ID_12H, h12, 159, 177, 142, 10);
    h12->hide(); // never shown: the 12-hour bit passes through unchanged
    addControl(ID_FREQ, new QCheckBox(QStringLiteral("SHOW_NUMBER"), this), 7, 175, 142, 10);

    addControl(ID_COMPANY_LABEL, new QLabel(QStringLiteral("Company"), this), 245, 80, 31, 8);
    auto* company = new QComboBox(this);
    company->setEditable(true);
    company->setInsertPolicy(QComboBox::NoInsert);
    addControl(ID_COMPANY, company, 278, 78, 120, 14);
    connect(company, qOverload<int>(&QComboBox::activated), this, [this] { OnSelchangeCompany(); });
    addControl(ID_APN_LABEL, new QLabel(QStringLiteral("APN"), this), 256, 98, 14, 8);
    addControl(ID_APN, new QLineEdit(this), 277, 94, 121, 14);
    addControl(ID_USER_LABEL, new QLabel(QStringLiteral("User"), this), 260, 116, 16, 8);
    addControl(ID_USER, new QLineEdit(this), 277, 113, 121, 14);
    addControl(ID_PSW_LABEL, new QLabel(QStringLiteral("Psw"), this), 260, 136, 14, 8);
    auto* psw = new QLineEdit(this);
    psw->setEchoMode(QLineEdit::Password);
    addControl(ID_PSW, psw, 277, 133, 121, 14);
    addControl(ID_SERVER_LABEL, new QLabel(QStringLiteral("Server"), this), 218, 157, 22, 8);
    addControl(ID_SERVER, new QLineEdit(this), 245, 155, 83, 14);
    addControl(ID_PORT_LABEL, new QLabel(QStringLiteral("Port"), this), 334, 157, 14, 8);
    auto* port = new QLineEdit(this);
    port->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), port));
    addControl(ID_PORT, port, 355, 155, 43, 14);
}

void CConfigDialog::clearBands() {
    for (QCheckBox* b : bands_)
        delete b;
    bands_.clear();
}

bool CConfigDialog::Prepare(const QString& titlePrefix, int bootVersion, int kind, uint8_t* param,
                            const uint8_t* ms, uint8_t* ss) {
    param_ = param;
    ms_ = ms;
    ss_ = ss;
    clearBands();
    if (!param)
        return false;
    view_ = config_view_load(u16(titlePrefix), bootVersion, kind, param, ms, ss);
    setWindowTitle(qs(view_.caption));

    // The GPRS area.
    for (int id : GPRS_IDS)
        controls_[id]->setVisible(view_.gprs.present);
    auto* company = static_cast<QComboBox*>(controls_[ID_COMPANY]);
    company->clear();
    if (view_.gprs.present) {
        for (int i = 0; i < gprs_list_count(view_.gprs); ++i)
            company->insertItem(i, qs(gprs_list_name(view_.gprs, i)));
        company->setCurrentIndex(gprs_index_of_row(view_.gprs, view_.gprs.row));
        OnSelchangeCompany();
        static_cast<QLineEdit*>(controls_[ID_SERVER])->setText(qs(view_.gprs.server));
        static_cast<QLineEdit*>(controls_[ID_PORT])->setText(qs(view_.gprs.port));
        controls_[ID_SERVER]->setEnabled(view_.gprs.server_port_editable);
        controls_[ID_PORT]->setEnabled(view_.gprs.server_port_editable);
    }

    // The band area: boxes placed from the two hidden markers.
    QRect r1 = controls_[ID_BAND_COL1]->geometry();
    QRect r2 = controls_[ID_BAND_COL2]->geometry();
    BandRect first{r1.x(), r1.y(), r1.width(), r1.height()};
    BandRect second{r2.x(), r2.y(), r2.width(), r2.height()};
    for (size_t i = 0; i < view_.bands.size(); ++i) {
        const BandInfo& b = view_.bands[i];
        auto* box = new QCheckBox(QString::fromStdString(b.text), this);
        box->setObjectName(QString::number(b.id));
        box->setChecked(b.checked);
        BandRect br = band_rect(int(i), kind, first, second);
        box->setGeometry(br.x, br.y, br.w, br.h);
        box->show();
        bands_.push_back(box);
    }

    // Tab follows the reading order: the bands column by column and the
    // box under them, then the column on the right from the top, OK and
    // Cancel last. Hidden controls are passed over.
    std::vector<QWidget*> order(bands_.begin(), bands_.end());
    for (int id : {ID_FREQ, ID_12H, ID_ZONE, ID_DAY, ID_NIGHT, ID_COMPANY, ID_APN, ID_USER, ID_PSW,
                   ID_SERVER, ID_PORT, ID_OK, ID_CANCEL})
        order.push_back(controls_[id]);
    for (size_t i = 1; i < order.size(); ++i)
        setTabOrder(order[i - 1], order[i]);
    // The ring of that order starts at the first band.
    if (!bands_.empty())
        bands_.front()->setFocus();

    auto* freq = static_cast<QCheckBox*>(controls_[ID_FREQ]);
    freq->setVisible(view_.freq_display_visible);
    freq->setChecked(view_.freq_display_checked);
    auto* h12 = static_cast<QCheckBox*>(controls_[ID_12H]);
    h12->setChecked(view_.twelve_hour_checked);
    h12->setVisible(view_.twelve_hour_visible);
    auto* zone = static_cast<QComboBox*>(controls_[ID_ZONE]);
    controls_[ID_ZONE_LABEL]->setVisible(view_.time_zone_visible);
    zone->setVisible(view_.time_zone_visible);
    if (view_.time_zone_visible)
        zone->setEditText(QString::number(view_.time_zone));
    controls_[ID_DAY_LABEL]->setVisible(view_.day_visible);
    controls_[ID_DAY]->setVisible(view_.day_visible);
    controls_[ID_NIGHT_LABEL]->setVisible(view_.night_visible);
    controls_[ID_NIGHT]->setVisible(view_.night_visible);
    static_cast<QLineEdit*>(controls_[ID_DAY])->setText(QString::number(view_.day_hour));
    static_cast<QLineEdit*>(controls_[ID_NIGHT])->setText(QString::number(view_.night_hour));

    // Run-time texts.
    static_cast<QPushButton*>(controls_[ID_OK])->setText(QStringLiteral("OK"));
    static_cast<QPushButton*>(controls_[ID_CANCEL])->setText(QStringLiteral("Cancel"));
    static_cast<QLabel*>(controls_[ID_ZONE_LABEL])->setText(QStringLiteral("GPS zone"));
    static_cast<QLabel*>(controls_[ID_DAY_LABEL])
        ->setText(QStringLiteral("Daytime screen start time(3~10)"));
    static_cast<QLabel*>(controls_[ID_NIGHT_LABEL])
        ->setText(QStringLiteral("Nighttime screen start time(15~23)"));
    h12->setText(QStringLiteral("12 hours to make"));
    freq->setText(QStringLiteral("Radar Frequency display"));
    fitTexts();
    return true;
}

void CConfigDialog::fitTexts() {
    for (const auto& [id, r] : template_)
        controls_[id]->setGeometry(DluRect(r.x(), r.y(), r.width(), r.height()));
    const int gap = dialog_units_x(2, base_);

    // A label before its field ends a small gap before it, centred on the
    // field's line, and grows to the left when its text needs more room.
    const std::pair<int, int> before[] = {{ID_COMPANY_LABEL, ID_COMPANY}, {ID_APN_LABEL, ID_APN},
                                          {ID_USER_LABEL, ID_USER},       {ID_PSW_LABEL, ID_PSW},
                                          {ID_SERVER_LABEL, ID_SERVER},   {ID_PORT_LABEL, ID_PORT},
                                          {ID_ZONE_LABEL, ID_ZONE}};
    for (auto [labelId, fieldId] : before) {
        auto* label = static_cast<QLabel*>(controls_[labelId]);
        QRect field = controls_[fieldId]->geometry();
        QRect r = label->geometry();
        r.setRight(std::min(r.right(), field.left() - gap - 1));
        r.setHeight(std::max(r.height(), label->sizeHint().height()));
        r.moveTop(field.center().y() - r.height() / 2);
        label->setGeometry(r);
        if (labelId != ID_ZONE_LABEL)
            label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        grow_to_text(label, true);
    }
    // The hour labels wrap; they may widen into the space left of them,
    // which ends at the second band column.
    QRect col2 = controls_[ID_BAND_COL2]->geometry();
    for (int id : {ID_DAY_LABEL, ID_NIGHT_LABEL})
        fit_wrapped_label(controls_[id], col2.right() + 1 + gap);
    for (int id : {ID_FREQ, ID_12H, ID_OK, ID_CANCEL})
        grow_to_text(controls_[id], false);
    for (QCheckBox* b : bands_)
        grow_to_text(b, false);

    // The dialog grows around a box that grew past its edge.
    QSize size = dialog_units_size(TEMPLATE_W, TEMPLATE_H, base_);
    QSize margin(dialog_units_x(7, base_), dialog_units_y(7, base_));
    for (QWidget* w : findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        if (!w->isHidden())
            size = size.expandedTo(QSize(w->geometry().right() + 1, w->geometry().bottom() + 1) +
                                   margin);
    setFixedSize(size);
}

int CConfigDialog::RunForUnit(const QString& titlePrefix, int bootVersion, int kind, uint8_t* param,
                              const uint8_t* ms, uint8_t* ss) {
    if (!Prepare(titlePrefix, bootVersion, kind, param, ms, ss))
        return 2;
    return exec() == QDialog::Accepted ? 1 : 2;
}

void CConfigDialog::OnSelchangeCompany() {
    auto* company = static_cast<QComboBox*>(controls_[ID_COMPANY]);
    gprs_select_row(view_.gprs, gprs_row_of_index(view_.gprs, company->currentIndex()));
    static_cast<QLineEdit*>(controls_[ID_APN])->setText(qs(view_.gprs.apn));
    static_cast<QLineEdit*>(controls_[ID_USER])->setText(qs(view_.gprs.user));
    static_cast<QLineEdit*>(controls_[ID_PSW])->setText(qs(view_.gprs.password));
    for (int id : {ID_APN, ID_USER, ID_PSW})
        controls_[id]->setEnabled(view_.gprs.row_editable);
}

bool CConfigDialog::OnOK() {
    ConfigInput in;
    for (QCheckBox* b : bands_)
        in.bands.push_back(b->isChecked());
    in.freq_display = static_cast<QCheckBox*>(controls_[ID_FREQ])->isChecked();
    in.twelve_hour = static_cast<QCheckBox*>(controls_[ID_12H])->isChecked();
    in.time_zone = u16(static_cast<QComboBox*>(controls_[ID_ZONE])->currentText());
    in.day_hour = u16(static_cast<QLineEdit*>(controls_[ID_DAY])->text());
    in.night_hour = u16(static_cast<QLineEdit*>(controls_[ID_NIGHT])->text());
    in.gprs.apn = u16(static_cast<QLineEdit*>(controls_[ID_APN])->text());
    in.gprs.user = u16(static_cast<QLineEdit*>(controls_[ID_USER])->text());
    in.gprs.password = u16(static_cast<QLineEdit*>(controls_[ID_PSW])->text());
    in.gprs.server = u16(static_cast<QLineEdit*>(controls_[ID_SERVER])->text());
    in.gprs.port = u16(static_cast<QLineEdit*>(controls_[ID_PORT])->text());
    ConfigOkResult r = config_apply(view_, in, param_, ss_);
    if (!r.accepted) {
        if (showMessage)
            showMessage(QString::fromStdString(r.message), QString());
        return false;
    }
    accept();
    return true;
}

bool ConfigDialogPrepareSample(CConfigDialog& dlg, int kind, ConfigSampleRecords& records) {
    auto& param = records.param;
    auto& ms = records.ms;
    auto& ss = records.ss;
    param.fill(0);
    ms.fill(0);
    ss.fill(0);
    std::memcpy(ms.data() + MS_OFF_BOARD_NAME, "T73A", 4);
    rec_set_u32(ms.data() + MS_OFF_PROGRAM_VERSION, 20190318);
    rec_set_u32(ms.data() + MS_OFF_MAGIC, RECORD_MAGIC);
    rec_set_text(ss.data() + SS_OFF_APN, SS_APN_SIZE, "internetmas", 11);
    rec_set_text(ss.data() + SS_OFF_SERVER, SS_SERVER_SIZE, "203.0.113.7", 11);
    rec_set_u32(ss.data() + SS_OFF_PORT, 8080);
    rec_set_u32(ss.data() + SS_OFF_MAGIC, RECORD_MAGIC);
    if (kind <= 2) {
        param[P12_OFF_TIME_ZONE] = 8;
        for (int i = 0; i < 12; ++i)
            param[P12_OFF_BANDS + i] = i % 3 != 2;
        param[P12_OFF_DAY_HOUR] = 7;
        param[P12_OFF_NIGHT_HOUR] = 19;
    } else {
        param[P35_OFF_FLAGS] = PARAM_FLAG_RADAR_FREQ_AVAILABLE | PARAM_FLAG_RADAR_FREQ_DISPLAY;
        param[P35_OFF_TIME_ZONE] = 8;
        const int8_t counts[5] = {1, 1, 2, 5, 1};
        const uint16_t edges[10][2] = {
            {10500, 10550}, {13400, 13500}, {24050, 24250}, {24250, 24500}, {33400, 34000},
            {34000, 34600}, {34600, 35200}, {35200, 35800}, {35800, 36000}, {0, 0}};
        for (int g = 0; g < 5; ++g)
            param[P35_OFF_COUNTS + g] = uint8_t(counts[g]);
        int table = param_freq_table_offset(kind);
        for (int i = 0; i < 10; ++i) {
            param[P35_OFF_BANDS + i] = i != 4;
            rec_set_u16(param.data() + table + 4 * i, edges[i][0]);
            rec_set_u16(param.data() + table + 4 * i + 2, edges[i][1]);
        }
        param[P35_OFF_DAY_HOUR] = 7;
        param[P35_OFF_NIGHT_HOUR] = 19;
        param[P35_OFF_RADAR_TYPE] = 1;
        if (kind == 3) {
            rec_set_text(param.data() + P3_OFF_APN, P3_APN_SIZE, "movistar.es", 11);
            rec_set_text(param.data() + P3_OFF_SERVER, P3_SERVER_SIZE, "203.0.113.7", 11);
            rec_set_text(param.data() + P3_OFF_PORT, P3_PORT_SIZE, "8080", 4);
        }
    }
    param_record_seal(param.data(), kind);
    return dlg.Prepare(QStringLiteral("Setting"), 1046, kind, param.data(), ms.data(), ss.data());
}

bool ConfigDialogRenderPng(const QString& path, int kind) {
    CConfigDialog dlg;
    ConfigSampleRecords records;
    if (!ConfigDialogPrepareSample(dlg, kind, records))
        return false;
    dlg.show();
    bool ok = dlg.grab().save(path, "PNG");
    dlg.hide();
    return ok;
}
