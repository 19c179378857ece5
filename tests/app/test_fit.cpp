// Every label's and button's text fits its box, and no text runs into
// another control: the main window, the Setting dialog of each parameter
// kind, the province dialog and the about box, as the desktop shows them.
// ctest runs these at scale 1 and again at scale 2 on a 1920 x 1080 screen.
#include "window_fixture.h"

#include "app/AboutDlg.h"
#include "app/window_preload.h"
#include "config/ConfigDialog.h"
#include "controls/ElideLabel.h"
#include "controls/icons.h"
#include "province/DialogProvince.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QHelpEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QStyle>

using namespace app_test;

namespace {

QString name_of(const QWidget* w) {
    QString text;
    if (auto* l = qobject_cast<const QLabel*>(w))
        text = l->text();
    else if (auto* b = qobject_cast<const QAbstractButton*>(w))
        text = b->text();
    return QStringLiteral("%1 %2 \"%3\"").arg(w->metaObject()->className(), w->objectName(), text);
}

// Where the widget's text (or, for fields and pictures, the widget itself)
// lies in its parent, measured with the widget's own font; adds a problem
// when the text needs more room than the widget has.
QRect occupied(const QWidget* w, QStringList& problems) {
    QFontMetrics fm(w->font());
    QRect g = w->geometry();
    auto tooSmall = [&](QSize need, QSize room) {
        if (need.width() > room.width() || need.height() > room.height())
            problems << QStringLiteral("%1: text needs %2x%3, has %4x%5")
                            .arg(name_of(w))
                            .arg(need.width())
                            .arg(need.height())
                            .arg(room.width())
                            .arg(room.height());
    };
    if (auto* label = qobject_cast<const QLabel*>(w); label && !label->text().isEmpty()) {
        QRect room = label->contentsRect();
        QString text = label->text();
        if (auto* e = qobject_cast<const CElideLabel*>(w))
            text = e->DisplayText();
        QSize need;
        if (label->wordWrap())
            need = fm.boundingRect(QRect(0, 0, room.width(), 1 << 20),
                                   Qt::TextWordWrap | label->alignment(), text)
                       .size();
        else
            need = QSize(fm.horizontalAdvance(text), fm.height());
        tooSmall(need, room.size());
        return QStyle::alignedRect(Qt::LeftToRight, label->alignment(), need.boundedTo(room.size()),
                                   room)
            .translated(g.topLeft());
    }
    if (auto* box = qobject_cast<const QCheckBox*>(w)) {
        const QStyle* st = box->style();
        int indicator = st->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, box) +
                        st->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, box);
        int high = std::max(fm.height(), st->pixelMetric(QStyle::PM_IndicatorHeight, nullptr, box));
        QSize need(indicator + fm.horizontalAdvance(box->text()), high);
        tooSmall(need, g.size());
        // The square and the text, centred on the box's height.
        return QRect(g.x(), g.y() + (g.height() - high) / 2, std::min(need.width(), g.width()),
                     high);
    }
    if (auto* button = qobject_cast<const QPushButton*>(w)) {
        int margin = button->style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button);
        tooSmall(QSize(fm.horizontalAdvance(button->text()) + 2 * margin, fm.height()), g.size());
        return g;
    }
    if (auto* button = qobject_cast<const CButtonST*>(w)) {
        // Where the last paint put the caption.
        QRect caption = button->LastCaptionRect();
        if (button->isDown())
            caption.translate(-1, -1);
        tooSmall(QSize(fm.horizontalAdvance(button->text()), fm.height()), caption.size());
        return g;
    }
    if (auto* group = qobject_cast<const QGroupBox*>(w)) {
        tooSmall(
            QSize(fm.horizontalAdvance(group->title()) + 2 * fm.averageCharWidth(), fm.height()),
            g.size());
        return QRect();
    }
    return g;
}

// The problems of top's visible labels and buttons.
QStringList text_problems(QWidget* top) {
    top->show();
    QApplication::processEvents();
    top->grab(); // paints every control once
    QStringList problems;
    std::map<QWidget*, std::vector<std::pair<QWidget*, QRect>>> byParent;
    for (QWidget* w : top->findChildren<QWidget*>()) {
        if (w->isWindow() || !w->isVisibleTo(top) || !w->parentWidget() ||
            w->parentWidget()->inherits("QComboBox") ||
            w->parentWidget()->inherits("QAbstractSpinBox") ||
            w->inherits("QComboBoxPrivateContainer"))
            continue;
        QRect r = occupied(w, problems);
        if (!r.isEmpty())
            byParent[w->parentWidget()].push_back({w, r});
    }
    for (auto& [parent, list] : byParent) {
        for (size_t i = 0; i < list.size(); ++i) {
            if (!parent->rect().contains(list[i].second))
                problems << QStringLiteral("%1: outside its window").arg(name_of(list[i].first));
            for (size_t j = i + 1; j < list.size(); ++j)
                if (list[i].second.intersects(list[j].second))
                    problems << QStringLiteral("%1 runs into %2")
                                    .arg(name_of(list[i].first), name_of(list[j].first));
        }
    }
    return problems;
}

std::string joined(const QStringList& l) {
    return l.join(QStringLiteral("\n")).toStdString();
}

// The frame the desktop adds is not there offscreen: the dialog with room
// for it must fit the screen's available area.
void expect_fits_screen(QWidget* w) {
    QSize avail = w->screen()->availableGeometry().size();
    EXPECT_LE(w->width(), avail.width());
    EXPECT_LE(w->height() + 40, avail.height());
}

using TextFitWindow = WindowTest;

TEST_F(TextFitWindow, MainWindow) {
    open();
    EXPECT_TRUE(text_problems(dlg.get()).isEmpty()) << joined(text_problems(dlg.get()));
    // A long package path: the middle gives way, the name stays in sight and
    // the whole path is the tooltip.
    QString path = QStringLiteral("/home/someone/Downloads/updates/for the car/2019/march/") +
                   QStringLiteral("speed-camera-database-national-condensed-20190318.dqv");
    dlg->OnDropFiles({path});
    EXPECT_EQ(dlg->StatusText(), path);
    auto* status = qobject_cast<CElideLabel*>(dlg->Control(IDC_STATUS));
    ASSERT_NE(status, nullptr);
    EXPECT_TRUE(status->IsElided());
    EXPECT_TRUE(status->DisplayText().startsWith("/home"));
    EXPECT_TRUE(status->DisplayText().endsWith("0318.dqv"));
    QHelpEvent tip(QEvent::ToolTip, QPoint(2, 2), status->mapToGlobal(QPoint(2, 2)));
    QApplication::sendEvent(status, &tip);
    EXPECT_EQ(status->toolTip(), path);
    EXPECT_TRUE(text_problems(dlg.get()).isEmpty()) << joined(text_problems(dlg.get()));
    // A short path is shown whole, without a tooltip.
    dlg->OnDropFiles({QStringLiteral("/tmp/map.dqv")});
    EXPECT_FALSE(status->IsElided());
    QApplication::sendEvent(status, &tip);
    EXPECT_TRUE(status->toolTip().isEmpty());
}

TEST(TextFitDialogs, SettingDialogOfEachKind) {
    for (int kind = 1; kind <= 5; ++kind) {
        SCOPED_TRACE(kind);
        CConfigDialog dlg;
        ConfigSampleRecords records;
        ASSERT_TRUE(ConfigDialogPrepareSample(dlg, kind, records));
        QStringList problems = text_problems(&dlg);
        EXPECT_TRUE(problems.isEmpty()) << joined(problems);
        expect_fits_screen(&dlg);
        dlg.hide();
    }
}

TEST(TextFitDialogs, ProvinceDialog) {
    CDialogProvince dlg(nullptr, QImage(QStringLiteral(TREVIK_SOURCE_DIR "/res/province_map.png")));
    for (int i : {0, 4, 7, 12, 26})
        dlg.Box(i)->click();
    QStringList problems = text_problems(&dlg);
    EXPECT_TRUE(problems.isEmpty()) << joined(problems);
    expect_fits_screen(&dlg);
    // Scaled or not, the boxes keep their places on the map.
    for (int i = 0; i < PROVINCE_COUNT; ++i) {
        QRect templ =
            dlg.DluRect(PROVINCE_BOXES[i].x, PROVINCE_BOXES[i].y, PROVINCE_BOXES[i].w, 10);
        EXPECT_EQ(dlg.Box(i)->x(), templ.x()) << i;
        EXPECT_NEAR(dlg.Box(i)->geometry().center().y(), templ.center().y(), 1) << i;
    }
    dlg.hide();
}

TEST(TextFitDialogs, AboutBox) {
    CAboutDlg about;
    QStringList problems = text_problems(&about);
    EXPECT_TRUE(problems.isEmpty()) << joined(problems);
    QStringList texts;
    for (QLabel* l : about.findChildren<QLabel*>())
        texts << l->text();
    EXPECT_TRUE(texts.contains("Updates and configures GPS speed-camera units"));
}

// On a scaled screen the pictures are drawn from their twice-as-large
// drawings instead of being enlarged.
using SharpPictures = WindowTest;

TEST_F(SharpPictures, IconsAndBannerHaveTwiceTheirSize) {
    for (const char* name : {"open", "close", "update", "setting", "trevik"}) {
        QIcon icon = window_icon(QStringLiteral(":/res/%1.pam").arg(name));
        ASSERT_FALSE(icon.isNull()) << name;
        QSize one = icon.pixmap(QSize(32, 32), 1.0).size();
        QSize two = icon.pixmap(QSize(32, 32), 2.0).size();
        EXPECT_EQ(two, one * 2) << name;
    }
    open();
    qreal dpr = dlg->devicePixelRatioF();
    QPixmap banner = static_cast<QLabel*>(dlg->Control(IDC_PICTURE))->pixmap();
    EXPECT_EQ(banner.devicePixelRatio(), dpr);
    // The banner fills its box's width or height in the screen's own pixels.
    QSize box = dlg->Control(IDC_PICTURE)->size() * dpr;
    EXPECT_TRUE(banner.width() == box.width() || banner.height() == box.height())
        << banner.width() << "x" << banner.height();
    for (int id : {IDC_OPEN, IDC_UPDATE, IDC_SETTING, IDC_CLOSE}) {
        int size = dlg->Button(id)->IconSize();
        QPixmap p = dlg->Button(id)->CurrentIcon().pixmap(QSize(size, size), dpr);
        EXPECT_EQ(p.width(), qRound(size * dpr)) << id;
    }
}

} // namespace
