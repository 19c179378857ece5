#include "config/ConfigDialog.h"
#include "config/records.h"
#include "test_util.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {
struct DialogFixture : testing::Test {
    CConfigDialog dlg;
    std::vector<QString> messages;
    void SetUp() override {
        dlg.showMessage = [this](const QString& t, const QString&) { messages.push_back(t); };
    }
    template <class T> T* ctl(int id) {
        auto* w = qobject_cast<T*>(dlg.Control(id));
        EXPECT_NE(w, nullptr) << id;
        return w;
    }
};
} // namespace

TEST_F(DialogFixture, KindFourUnitShowsBandsCaptionAndGprs) {
    ParamRecord p = make_param(4);
    MainRecord ms = make_main("T73A", 20190318);
    ServerRecord ss = make_server("INTERNETMAS", "192.0.2.1", 9000);
    ASSERT_TRUE(dlg.Prepare("Setting", 1046, 4, p.data(), ms.data(), ss.data()));
    EXPECT_EQ(dlg.windowTitle(),
              "Setting              T73A    Boot:1046     Program Version:20190318");
    ASSERT_EQ(dlg.BandBoxes().size(), 10u);
    EXPECT_EQ(ctl<QCheckBox>(102)->text().left(8), "K1 Band(");
    EXPECT_EQ(ctl<QComboBox>(1043)->count(), 30);
    EXPECT_EQ(ctl<QComboBox>(1043)->currentIndex(), 11);
    EXPECT_EQ(ctl<QComboBox>(1043)->currentText(), QString::fromUtf8("Happy Móvil nuevo"));
    EXPECT_EQ(ctl<QLineEdit>(1054)->text(), "internetmas");
    EXPECT_EQ(ctl<QLineEdit>(1044)->text(), "192.0.2.1");
    EXPECT_EQ(ctl<QLineEdit>(1045)->text(), "9000");
    EXPECT_FALSE(ctl<QLineEdit>(1044)->isEnabled());
    EXPECT_FALSE(ctl<QLineEdit>(1045)->isEnabled());
    EXPECT_EQ(ctl<QComboBox>(1055)->currentText(), "8");
    EXPECT_EQ(ctl<QLabel>(1026)->text(), "GPS zone");
    EXPECT_EQ(ctl<QPushButton>(1)->text(), "OK");
    EXPECT_EQ(ctl<QPushButton>(2)->text(), "Cancel");
    EXPECT_TRUE(ctl<QCheckBox>(1033)->isHidden());
    EXPECT_TRUE(ctl<QCheckBox>(1013)->isHidden());
    EXPECT_FALSE(ctl<QCheckBox>(1034)->isHidden());
    // Seven bands in the first column, the rest from the second marker.
    int x0 = dlg.Control(1013)->x(), x1 = dlg.Control(1014)->x();
    for (size_t i = 0; i < dlg.BandBoxes().size(); ++i)
        EXPECT_EQ(dlg.BandBoxes()[i]->x(), i < 7 ? x0 : x1) << i;
}

TEST_F(DialogFixture, OkStoresTheEditedControls) {
    ParamRecord p = make_param(5);
    ServerRecord ss = make_server("internetmas", "h", 80);
    ParamRecord before = p;
    ASSERT_TRUE(dlg.Prepare("Setting", 1, 5, p.data(), nullptr, ss.data()));
    dlg.BandBoxes()[0]->setChecked(true);
    dlg.BandBoxes()[1]->setChecked(false);
    ctl<QComboBox>(1055)->setEditText("-3");
    ctl<QLineEdit>(1028)->setText("300");
    auto* company = ctl<QComboBox>(1043);
    company->setCurrentIndex(3);
    dlg.OnSelchangeCompany();
    EXPECT_TRUE(dlg.OnOK());
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(p[24], 1);
    EXPECT_EQ(p[25], 0);
    EXPECT_EQ(p[P35_OFF_TIME_ZONE], (before[P35_OFF_TIME_ZONE] & 0xE0) | 0x1D);
    EXPECT_EQ(p[P35_OFF_DAY_HOUR], 44);
    char apn[64];
    rec_get_text(apn, sizeof apn, ss.data() + SS_OFF_APN, SS_APN_SIZE);
    EXPECT_STREQ(apn, "orangeworld");
    rec_get_text(apn, sizeof apn, ss.data() + SS_OFF_USER, SS_USER_SIZE);
    EXPECT_STREQ(apn, "orange");
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
}

TEST_F(DialogFixture, RefusedOkKeepsDialogAndCopies) {
    ParamRecord p = make_param(4);
    ServerRecord ss = make_server("x", "h", 80);
    ParamRecord pb = p;
    ServerRecord sb = ss;
    ASSERT_TRUE(dlg.Prepare("Setting", 1, 4, p.data(), nullptr, ss.data()));
    ctl<QLineEdit>(1054)->setText(QString(50, 'a'));
    dlg.BandBoxes()[0]->setChecked(!dlg.BandBoxes()[0]->isChecked());
    EXPECT_FALSE(dlg.OnOK());
    ctl<QLineEdit>(1054)->setText(QString(49, 'a'));
    ctl<QLineEdit>(1030)->setText("night");
    EXPECT_FALSE(dlg.OnOK());
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0], QString::fromUtf8("APN设置出错！"));
    EXPECT_EQ(messages[1], QString::fromUtf8("请输入一个整数。"));
    EXPECT_EQ(p, pb);
    EXPECT_EQ(ss, sb);
    EXPECT_NE(dlg.result(), QDialog::Accepted);
}

TEST_F(DialogFixture, KindOneWithoutZoneOrGprs) {
    ParamRecord p = make_param(1);
    p[P12_OFF_TIME_ZONE] = 0x7F;
    ParamRecord before = p;
    ASSERT_TRUE(dlg.Prepare("Setting", 1, 1, p.data(), nullptr, nullptr));
    EXPECT_TRUE(ctl<QComboBox>(1055)->isHidden());
    EXPECT_TRUE(ctl<QLabel>(1026)->isHidden());
    EXPECT_TRUE(ctl<QCheckBox>(1033)->isHidden());
    for (int id : {1046, 1043, 1053, 1054, 1050, 1051, 1049, 1052, 1047, 1044, 1048, 1045})
        EXPECT_TRUE(dlg.Control(id)->isHidden()) << id;
    ASSERT_EQ(dlg.BandBoxes().size(), 12u);
    EXPECT_EQ(dlg.BandBoxes()[6]->x(), dlg.Control(1014)->x());
    ctl<QComboBox>(1055)->setEditText("3");
    EXPECT_TRUE(dlg.OnOK());
    EXPECT_EQ(p, before);
}

TEST_F(DialogFixture, LockedCarrierRowAndRebuiltBands) {
    ParamRecord p = make_param(3);
    ASSERT_TRUE(dlg.Prepare("Setting", 1, 3, p.data(), nullptr, nullptr));
    EXPECT_TRUE(ctl<QLineEdit>(1044)->isEnabled()); // kind 3 edits its server
    ctl<QComboBox>(1043)->setCurrentIndex(16);
    dlg.OnSelchangeCompany();
    EXPECT_FALSE(ctl<QLineEdit>(1054)->isEnabled());
    EXPECT_FALSE(ctl<QLineEdit>(1051)->isEnabled());
    EXPECT_EQ(ctl<QLineEdit>(1054)->text(), QString::fromUtf16(CARRIER_PRESETS[16].apn));
    ctl<QComboBox>(1043)->setCurrentIndex(0);
    dlg.OnSelchangeCompany();
    EXPECT_TRUE(ctl<QLineEdit>(1052)->isEnabled());
    // A second run rebuilds the band boxes from the new record.
    ParamRecord k1 = make_param(1);
    ASSERT_TRUE(dlg.Prepare("Setting", 1, 1, k1.data(), nullptr, nullptr));
    EXPECT_EQ(dlg.BandBoxes().size(), 12u);
    EXPECT_EQ(dlg.findChildren<QCheckBox*>().size(), 12u + 4u);
}

TEST_F(DialogFixture, UnlistedApnIsKeptUnlessTheUserPicksACarrier) {
    for (int kind : {3, 5}) {
        SCOPED_TRACE(kind);
        ParamRecord p = make_param(kind);
        if (kind == 3) {
            rec_set_text(p.data() + P3_OFF_APN, P3_APN_SIZE, "corp.example", 12);
            rec_set_text(p.data() + P3_OFF_USER, P3_USER_SIZE, "unituser", 8);
            rec_set_text(p.data() + P3_OFF_PASSWORD, P3_PASSWORD_SIZE, "unitpass", 8);
        }
        ServerRecord ss = make_server("corp.example", "192.0.2.1", 9000);
        const ParamRecord p0 = p;
        const ServerRecord ss0 = ss;
        ASSERT_TRUE(dlg.Prepare("Setting", 1, kind, p.data(), nullptr, ss.data()));
        auto* company = ctl<QComboBox>(1043);
        EXPECT_EQ(company->count(), 31);
        EXPECT_EQ(company->currentIndex(), 0);
        EXPECT_EQ(company->currentText(), "corp.example");
        EXPECT_EQ(company->itemText(1), "Movistar");
        EXPECT_EQ(ctl<QLineEdit>(1054)->text(), "corp.example");
        EXPECT_EQ(ctl<QLineEdit>(1051)->text(), "unituser");
        EXPECT_EQ(ctl<QLineEdit>(1052)->text(), "unitpass");
        EXPECT_TRUE(ctl<QLineEdit>(1054)->isEnabled());
        // OK to change a band only: the unit's access stays byte for byte.
        dlg.BandBoxes()[0]->setChecked(!dlg.BandBoxes()[0]->isChecked());
        ASSERT_TRUE(dlg.OnOK());
        EXPECT_EQ(ss, ss0);
        EXPECT_EQ(0, std::memcmp(p.data() + 53, p0.data() + 53, 170 - 53));

        // Picking a carrier row writes the row's values.
        p = p0;
        ss = ss0;
        ASSERT_TRUE(dlg.Prepare("Setting", 1, kind, p.data(), nullptr, ss.data()));
        company->setCurrentIndex(1 + 3);
        dlg.OnSelchangeCompany();
        EXPECT_EQ(ctl<QLineEdit>(1054)->text(), "orangeworld");
        ASSERT_TRUE(dlg.OnOK());
        char text[64];
        if (kind == 3)
            rec_get_text(text, sizeof text, p.data() + P3_OFF_USER, P3_USER_SIZE);
        else
            rec_get_text(text, sizeof text, ss.data() + SS_OFF_USER, SS_USER_SIZE);
        EXPECT_STREQ(text, "orange");

        // Editing the unit's own entry stores the edit and keeps the rest.
        p = p0;
        ss = ss0;
        ASSERT_TRUE(dlg.Prepare("Setting", 1, kind, p.data(), nullptr, ss.data()));
        ctl<QLineEdit>(1051)->setText("newuser");
        ASSERT_TRUE(dlg.OnOK());
        const uint8_t* rec = kind == 3 ? p.data() : ss.data();
        rec_get_text(text, sizeof text, rec + (kind == 3 ? P3_OFF_USER : SS_OFF_USER), 28);
        EXPECT_STREQ(text, "newuser");
        rec_get_text(text, sizeof text, rec + (kind == 3 ? P3_OFF_APN : SS_OFF_APN), 28);
        EXPECT_STREQ(text, "corp.example");
    }
}

TEST(ConfigDialogRun, WithoutRecordReturnsCancelled) {
    CConfigDialog dlg;
    EXPECT_EQ(dlg.RunForUnit("Setting", 1, 4, nullptr, nullptr, nullptr), 2);
    EXPECT_FALSE(dlg.isVisible());
}

TEST(ConfigDialogRender, WritesPng) {
    QTemporaryDir dir;
    for (int kind : {1, 3, 5}) {
        QString path = dir.filePath(QString("config%1.png").arg(kind));
        ASSERT_TRUE(ConfigDialogRenderPng(path, kind));
        QImage img(path);
        // The template at the dialog font's units, or larger where a text
        // needed more room.
        CConfigDialog probe;
        QSize templ = probe.DluRect(0, 0, 405, 219).size() * probe.devicePixelRatioF();
        EXPECT_GE(img.width(), templ.width());
        EXPECT_GE(img.height(), templ.height());
    }
}

// Tab goes in reading order: the bands column by column and the box under
// them, then the right-hand column from the top, OK and Cancel last;
// hidden and disabled controls are passed over.
TEST_F(DialogFixture, TabFollowsTheReadingOrder) {
    ParamRecord p = make_param(4);
    MainRecord ms = make_main("T73A", 20190318);
    ServerRecord ss = make_server("INTERNETMAS", "192.0.2.1", 9000);
    ASSERT_TRUE(dlg.Prepare("Setting", 1046, 4, p.data(), ms.data(), ss.data()));
    QStringList expected;
    for (size_t i = 0; i < dlg.BandBoxes().size(); ++i)
        expected << QString::number(100 + int(i));
    expected << "1034"
             << "1055"
             << "1028"
             << "1030"
             << "1043"
             << "1054"
             << "1051"
             << "1052"
             << "1"
             << "2"; // server and port are not editable here
    // The chain is a ring; the dialog starts it at the first band.
    QWidget* first = dlg.BandBoxes().front();
    EXPECT_EQ(dlg.focusWidget(), first);
    QStringList chain;
    QWidget* w = first;
    do {
        if (w->parentWidget() == &dlg && (w->focusPolicy() & Qt::TabFocus) &&
            w->isVisibleTo(&dlg) && w->isEnabled())
            chain << w->objectName();
        w = w->nextInFocusChain();
    } while (w != first);
    EXPECT_EQ(chain, expected);
}
