#include "province/DialogProvince.h"

#include <QCheckBox>
#include <QImage>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <vector>

namespace {
struct Box {
    QString text, caption;
    bool yesNo;
};

struct ProvinceDialog : testing::Test {
    CDialogProvince dlg;
    std::vector<Box> boxes;
    bool answer = false;
    void SetUp() override {
        dlg.messageBox = [this](const QString& t, const QString& c, bool yn) {
            boxes.push_back({t, c, yn});
            return answer;
        };
    }
    void click(int i) {
        dlg.Box(i)->click(); // toggles and runs the handler
    }
};
} // namespace

TEST_F(ProvinceDialog, TemplateTexts) {
    EXPECT_EQ(dlg.windowTitle(), QString::fromUtf8("省份选择"));
    EXPECT_EQ(dlg.CountLine(), QString::fromStdString(province_count_line(0)));
    EXPECT_EQ(dlg.Box(0)->text(), QString::fromUtf8("北京"));
    EXPECT_EQ(dlg.Box(0)->objectName(), "2000");
    // At the dialog's scale; a box may be wider than its template to hold
    // its text, never moved.
    QRect beijing = dlg.DluRect(461, 125, 32, 10);
    EXPECT_EQ(dlg.Box(0)->x(), beijing.x());
    EXPECT_NEAR(dlg.Box(0)->geometry().center().y(), beijing.center().y(), 1);
    EXPECT_GE(dlg.Box(0)->width(), beijing.width());
    EXPECT_EQ(dlg.Control(1)->pos(), dlg.DluRect(271, 318, 82, 24).topLeft());
    auto* national = qobject_cast<QCheckBox*>(dlg.Control(1042));
    ASSERT_NE(national, nullptr);
    EXPECT_EQ(national->text(),
              QString::fromUtf8("全国数据包测速照相类精简包(无生活安全提示数据类)"));
    EXPECT_EQ(national->palette().color(QPalette::WindowText), QColor(0, 255, 0));
    EXPECT_EQ(dlg.Control(1039)->palette().color(QPalette::WindowText), QColor(255, 0, 0));
    EXPECT_EQ(dlg.Control(1040)->font().pixelSize(), std::max(1, int(15 * dlg.Scale())));
}

TEST_F(ProvinceDialog, ThirteenthTickIsUndoneWithMessage) {
    for (int i = 0; i < 12; ++i)
        click(i);
    click(13);
    EXPECT_FALSE(dlg.Box(13)->isChecked());
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text,
              QString::fromUtf8(
                  "已经选择12个省份，分省数据包最多只能选择12个省份！请取消勾选省份后再选择。"));
    EXPECT_EQ(boxes[0].caption, QString::fromUtf8("省份选择"));
    EXPECT_FALSE(boxes[0].yesNo);
    EXPECT_EQ(dlg.CountLine(), QString::fromStdString(province_count_line(12)));
}

TEST_F(ProvinceDialog, NationalBoxClearsProvinces) {
    click(2);
    click(7);
    qobject_cast<QCheckBox*>(dlg.Control(1042))->click();
    EXPECT_FALSE(dlg.Box(2)->isChecked());
    EXPECT_FALSE(dlg.Box(7)->isChecked());
    EXPECT_EQ(dlg.CountLine(), QString::fromStdString(province_count_line(0)));
    click(9);
    EXPECT_FALSE(qobject_cast<QCheckBox*>(dlg.Control(1042))->isChecked());
}

TEST_F(ProvinceDialog, OkWithNationalEndsAtOnce) {
    click(4);
    qobject_cast<QCheckBox*>(dlg.Control(1042))->setChecked(true); // provinces stay ticked
    dlg.OnOK();
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    EXPECT_EQ(dlg.mode(), 0);
    EXPECT_EQ(dlg.flag(4), 0); // flags are not set
    EXPECT_TRUE(boxes.empty());
}

TEST_F(ProvinceDialog, FewProvincesAskFirst) {
    for (int i = 0; i < 5; ++i)
        click(i);
    answer = false;
    dlg.OnOK();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(boxes[0].yesNo);
    EXPECT_TRUE(boxes[0].text.startsWith(QString::fromUtf8("只选择了5个省份")));
    EXPECT_NE(dlg.result(), QDialog::Accepted);
    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(dlg.Box(i)->isChecked());
    answer = true;
    dlg.OnOK();
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    EXPECT_EQ(dlg.mode(), 1);
    for (int f = 0; f < 34; ++f)
        EXPECT_EQ(dlg.flag(f), f < 5 ? 1 : 0) << f;
}

TEST_F(ProvinceDialog, NothingTickedShowsMessage) {
    dlg.OnOK();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, QString::fromUtf8("至少需选择一个省数据或者选择全国包！"));
    EXPECT_NE(dlg.result(), QDialog::Accepted);
}

TEST_F(ProvinceDialog, TaiwanAndMacauFlags) {
    click(32); // 台湾
    answer = true;
    dlg.OnOK();
    EXPECT_EQ(dlg.flag(33), 1);
    EXPECT_EQ(dlg.flag(32), 0);
    CDialogProvince other;
    other.messageBox = [](const QString&, const QString&, bool) { return true; };
    other.Box(33)->click(); // 澳门
    other.OnOK();
    EXPECT_EQ(other.flag(32), 1);
    EXPECT_EQ(other.flag(33), 0);
}

// A package holding only some provinces: the others are greyed on the map
// with a tooltip that says why, and a click does not tick them. Held flags
// are by flag index, so 台湾 (flag 33) is box 32.
TEST_F(ProvinceDialog, ProvincesThePackageLacksCannotBeTicked) {
    int held[PROVINCE_COUNT] = {};
    held[0] = held[33] = 1; // 北京, 台湾
    dlg.SetHeld(held);
    const QString tip = QString::fromUtf8("本数据包没有该省数据，无法勾选。");
    for (int i = 0; i < PROVINCE_COUNT; ++i) {
        bool on = i == 0 || i == 32;
        SCOPED_TRACE(i);
        EXPECT_EQ(dlg.Box(i)->isEnabled(), on);
        EXPECT_EQ(dlg.Box(i)->toolTip(), on ? QString() : tip);
    }
    click(12); // 新疆: not held
    EXPECT_FALSE(dlg.Box(12)->isChecked());
    EXPECT_EQ(dlg.CountLine(), QString::fromStdString(province_count_line(0)));
    click(32);
    EXPECT_EQ(dlg.CountLine(), QString::fromStdString(province_count_line(1)));
    answer = true;
    dlg.OnOK();
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    EXPECT_EQ(dlg.flag(33), 1);
    EXPECT_EQ(dlg.flag(12), 0);
}

// The drawn map, and its drawing at twice the size: the square of every
// inland province's box lies on land.
TEST(ProvinceMap, BoxesLieOnLand) {
    QString oneX = QStringLiteral(TREVIK_PROVINCE_MAP);
    QString twoX = QString(oneX).replace(".png", "@2x.png");
    for (auto [path, scale] : {std::pair{oneX, 1}, std::pair{twoX, 2}}) {
        SCOPED_TRACE(path.toStdString());
        QImage map(path);
        ASSERT_FALSE(map.isNull());
        QSize client = CDialogProvince::TemplateRect(0, 0, 624, 342).size();
        EXPECT_EQ(map.size(), client * scale);
        const QColor sea(214, 234, 248);
        for (const ProvinceBox& b : PROVINCE_BOXES) {
            std::string name = b.name;
            if (name == "上海" || name == "香港" || name == "澳门" || name == "台湾")
                continue; // their boxes sit beside them at sea
            QPoint centre = CDialogProvince::TemplateRect(b.x, b.y, 10, 10).center() * scale;
            EXPECT_NE(map.pixelColor(centre), sea) << name;
        }
    }
}

TEST(ProvinceMap, RendersOffscreen) {
    QTemporaryDir dir;
    QString path = dir.filePath("province.png");
    ASSERT_TRUE(DialogProvinceRenderPng(path, QImage(QStringLiteral(TREVIK_PROVINCE_MAP))));
    EXPECT_FALSE(QImage(path).isNull());
}

#ifdef TREVIK_DIALOG_SHOTS
#include <QProcess>

// The README's shots of the province dialog: at 100 % on a full-HD screen
// the map at its own size, at 200 % scaled down to fit the screen.
TEST(ProvinceShots, FitAFullHdScreenAtEachScale) {
    struct Case {
        const char* scale;
        int minHeight, maxHeight;
    };
    for (const Case& c : {Case{"1", 555, 555}, Case{"2", 900, 1040}}) {
        QTemporaryDir dir;
        QProcess shots;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("QT_QPA_PLATFORM"); // the program's own full-HD screen
        env.insert("QT_SCALE_FACTOR", c.scale);
        shots.setProcessEnvironment(env);
        shots.start(TREVIK_DIALOG_SHOTS, {dir.path()});
        ASSERT_TRUE(shots.waitForFinished(60000));
        ASSERT_EQ(shots.exitCode(), 0) << shots.readAllStandardError().toStdString();
        QImage img(dir.filePath("province.png"));
        ASSERT_FALSE(img.isNull());
        EXPECT_GE(img.height(), c.minHeight) << c.scale;
        EXPECT_LE(img.height(), c.maxHeight) << c.scale;
        EXPECT_LE(img.width(), 1920) << c.scale;
    }
}
#endif

// Tab goes over the map row by row, each row from left to right, then to
// the national box and OK.
TEST_F(ProvinceDialog, TabGoesRowByRowOverTheMap) {
    // The chain is a ring; the dialog starts it at the top of the map.
    QWidget* first = dlg.Control(2004); // 黑龙江
    EXPECT_EQ(dlg.focusWidget(), first);
    std::vector<QWidget*> chain;
    QWidget* w = first;
    do {
        if (w->parentWidget() == &dlg && (w->focusPolicy() & Qt::TabFocus))
            chain.push_back(w);
        w = w->nextInFocusChain();
    } while (w != first);
    ASSERT_EQ(chain.size(), size_t(PROVINCE_COUNT + 2));
    EXPECT_EQ(chain[PROVINCE_COUNT], dlg.Control(IDC_PROVINCE_NATIONAL));
    EXPECT_EQ(chain[PROVINCE_COUNT + 1], dlg.Control(1));
    // Row by row, each row (boxes starting within one box height of its
    // first) from left to right.
    const char* const rows[] = {"黑龙江",    "吉林",           "新疆 辽宁",      "内蒙古 北京",
                                "河北 天津", "宁夏 山西 山东", "青海",           "甘肃 陕西 河南",
                                "西藏 江苏", "湖北 安徽 上海", "四川 重庆 浙江", "湖南 江西",
                                "贵州 福建", "云南 广西 台湾", "广东",           "澳门 香港",
                                "海南"};
    QStringList expected, shown;
    for (const char* row : rows)
        expected << QString::fromUtf8(row).split(' ');
    for (int i = 0; i < PROVINCE_COUNT; ++i)
        shown << static_cast<QCheckBox*>(chain[i])->text();
    EXPECT_EQ(shown, expected);
}
