// The text progress bar and the shaded image buttons, painted offscreen.
#include "controls/ButtonST.h"
#include "controls/GroupFrame.h"
#include "controls/TextProgressCtrl.h"
#include "controls/icons.h"

#include <QApplication>
#include <QEnterEvent>
#include <QGroupBox>
#include <QMouseEvent>
#include <QPixmap>
#include <gtest/gtest.h>

namespace {

class ProgressCtrl : public ::testing::Test {
  protected:
    void SetUp() override {
        bar.resize(200, 20);
        bar.show();
        QApplication::processEvents();
    }
    // Colour of the pixel at x in the middle row, after a full paint.
    QColor pixelAt(int x) {
        QImage img = bar.grab().toImage();
        return QColor(img.pixel(x, 1));
    }
    CTextProgressCtrl bar;
};

TEST_F(ProgressCtrl, PercentTextIsTruncated) {
    EXPECT_EQ(CTextProgressCtrl::PercentText(0, 100, 37), "37%");
    EXPECT_EQ(CTextProgressCtrl::PercentText(0, 3, 1), "33%");
    EXPECT_EQ(CTextProgressCtrl::PercentText(0, 1000, 379), "37%");
    EXPECT_EQ(CTextProgressCtrl::PercentText(0, 100, 150), "150%");
    EXPECT_EQ(CTextProgressCtrl::PercentText(5, 5, 5), "");
}

TEST_F(ProgressCtrl, DonePartIsTruncatedFractionOfWidth) {
    bar.SetRange(0, 100);
    bar.SetPos(37);
    EXPECT_EQ(bar.BarWidth(), 74);
    bar.SetShowText(false);
    QColor done = QColor(bar.palette().color(QPalette::Highlight).rgb());
    QColor rest = QColor(bar.palette().color(QPalette::Dark).rgb());
    EXPECT_EQ(pixelAt(73), done);
    EXPECT_EQ(pixelAt(74), rest);
    bar.SetRange(0, 3);
    bar.SetPos(1);
    EXPECT_EQ(bar.BarWidth(), 66);
}

TEST_F(ProgressCtrl, SetPosReturnsOldPositionAndPaintsOnlyOnWidthChange) {
    bar.SetRange(0, 10000);
    EXPECT_EQ(bar.SetPos(100), 0);
    int painted = bar.PaintCount();
    // 100 and 120 of 10000 are both 2 pixels of 200.
    EXPECT_EQ(bar.SetPos(120), 100);
    EXPECT_EQ(bar.PaintCount(), painted);
    bar.SetPos(150);
    EXPECT_EQ(bar.PaintCount(), painted + 1);
}

TEST_F(ProgressCtrl, ResizeForcesNextPaint) {
    bar.SetRange(0, 100);
    bar.SetPos(50);
    bar.resize(200, 22);
    QApplication::processEvents();
    int painted = bar.PaintCount();
    bar.SetPos(50);
    EXPECT_EQ(bar.PaintCount(), painted + 1);
}

TEST_F(ProgressCtrl, CaptionReplacesPercentageUntilCleared) {
    bar.SetRange(0, 100);
    bar.SetPos(10);
    bar.SetWindowText("updating");
    EXPECT_EQ(bar.GetWindowText(), "updating");
    char16_t buf[5];
    EXPECT_EQ(bar.GetWindowText(buf, 5), 5);
    EXPECT_EQ(std::u16string(buf), u"upda"); // terminated within its size
    QImage withCaption = bar.grab().toImage();
    bar.SetPos(90);
    QImage later = bar.grab().toImage();
    bar.SetWindowText("");
    bar.SetPos(10);
    QImage percent = bar.grab().toImage();
    EXPECT_NE(withCaption, percent);
    EXPECT_NE(withCaption, later); // the bar moved, the caption stayed
}

TEST_F(ProgressCtrl, SameTextTwiceRepaintsOnce) {
    bar.SetWindowText("Decompressing");
    QApplication::processEvents();
    int painted = bar.PaintCount();
    bar.SetWindowText("Decompressing");
    QApplication::processEvents();
    EXPECT_EQ(bar.PaintCount(), painted);
}

// Before a run has anything to count (the backup, the preparation) the
// bar is empty, not a black block, and names the stage it is in.
TEST_F(ProgressCtrl, EmptyRangePaintsAnEmptyBarWithItsCaption) {
    bar.SetRange(0, 0);
    bar.SetPos(0);
    const QColor rest = QColor(bar.palette().color(QPalette::Dark).rgb());
    auto count = [](const QImage& img, const QColor& c) {
        int n = 0;
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < img.width(); ++x)
                n += QColor(img.pixel(x, y)) == c;
        return n;
    };
    QImage empty = bar.grab().toImage();
    EXPECT_EQ(count(empty, rest), empty.width() * empty.height());

    bar.SetWindowText(QString::fromUtf8("Saving the unit's settings\u2026"));
    QImage stage = bar.grab().toImage();
    EXPECT_GT(count(stage, rest), stage.width() * stage.height() / 2);
    EXPECT_LT(count(stage, rest), stage.width() * stage.height()); // the caption is drawn
    // No percentage of its own: without a caption it is blank again.
    bar.SetWindowText(QString());
    EXPECT_EQ(bar.grab().toImage(), empty);
}

TEST(CeXDib, RowsArePaddedAndPixelsAddressed) {
    CCeXDib dib;
    ASSERT_TRUE(dib.Create(5, 3, 8));
    EXPECT_EQ(dib.GetLineWidth(), 8);
    EXPECT_EQ(dib.GetNumColors(), 256);
    dib.SetPixelIndex(4, 0, 200);
    EXPECT_EQ(dib.GetPixelIndex(4, 0), 200);
    dib.SetPixelIndex(5, 0, 1); // outside: ignored
    EXPECT_EQ(dib.GetPixelIndex(5, 0), 0);
    dib.SetPaletteIndex(200, QColor(10, 20, 30));
    // Stored row 0 is the bottom row of the picture.
    EXPECT_EQ(dib.ToImage().pixelColor(4, 2), QColor(10, 20, 30));
    CCeXDib four;
    ASSERT_TRUE(four.Create(3, 1, 4));
    EXPECT_EQ(four.GetLineWidth(), 4);
    four.SetPixelIndex(1, 0, 9);
    EXPECT_EQ(four.GetPixelIndex(1, 0), 9);
    EXPECT_EQ(four.GetPixelIndex(0, 0), 0);
    EXPECT_FALSE(dib.Create(0, 3, 8));
    EXPECT_FALSE(dib.Create(3, 3, 24));
}

TEST(CeXDib, BlendMovesPaletteTowardsColour) {
    CCeXDib dib;
    ASSERT_TRUE(dib.Create(1, 1, 8));
    dib.SetPaletteIndex(0, QColor(200, 200, 200));
    dib.BlendPalette(QColor(55, 55, 255), 5);
    EXPECT_EQ(dib.GetPaletteIndex(0), QColor((5 * 55 + 95 * 200) / 100, (5 * 55 + 95 * 200) / 100,
                                             (5 * 255 + 95 * 200) / 100));
}

class ShadeButton : public ::testing::Test {
  protected:
    void SetUp() override {
        window.resize(300, 100);
        button = new CShadeButtonST(&window);
        button->setGeometry(10, 10, 120, 40);
        button->setText("Open");
        QPixmap icon(32, 32);
        icon.fill(QColor(255, 0, 0));
        button->SetIconGreyOut(QIcon(icon));
        button->SetShade(CShadeButtonST::SHS_VSHADE, 8, 20, 5, QColor(55, 55, 255));
        window.show();
        window.activateWindow();
        QApplication::setActiveWindow(&window);
        QApplication::processEvents();
    }
    void enter() {
        QEnterEvent e(QPointF(5, 5), QPointF(15, 15), QPointF(15, 15));
        QApplication::sendEvent(button, &e);
    }
    void leave() {
        QEvent e(QEvent::Leave);
        QApplication::sendEvent(button, &e);
    }
    QWidget window;
    CShadeButtonST* button = nullptr;
};

TEST_F(ShadeButton, ShadeIsLightAtTopDarkAtBottom) {
    const CCeXDib& dib = button->NormalDib();
    ASSERT_EQ(dib.GetWidth(), 120);
    ASSERT_EQ(dib.GetHeight(), 40);
    int top = 0, bottom = 0;
    for (int x = 0; x < 120; ++x) {
        top += dib.GetPixelIndex(x, 39);
        bottom += dib.GetPixelIndex(x, 0);
        EXPECT_LE(dib.GetPixelIndex(x, 0), 16); // k = 8, grain -8..+8
    }
    EXPECT_GT(top, bottom);
    // The over picture is lighter than the normal one.
    EXPECT_GT(button->OverDib().GetPaletteIndex(128).lightness(),
              button->NormalDib().GetPaletteIndex(128).lightness());
}

TEST_F(ShadeButton, HoverSwapsIconAndPicture) {
    button->grab();
    EXPECT_EQ(button->LastBackground(), 0);
    QImage away = button->CurrentIcon().pixmap(32, 32).toImage();
    EXPECT_EQ(qRed(away.pixel(5, 5)), qGreen(away.pixel(5, 5))); // grey
    enter();
    EXPECT_TRUE(button->IsMouseOver());
    button->grab();
    EXPECT_EQ(button->LastBackground(), 1);
    QImage over = button->CurrentIcon().pixmap(32, 32).toImage();
    EXPECT_EQ(QColor(over.pixel(5, 5)), QColor(255, 0, 0));
    leave();
    EXPECT_FALSE(button->IsMouseOver());
    button->grab();
    EXPECT_EQ(button->LastBackground(), 0);
}

TEST_F(ShadeButton, PressedShowsDownPictureAndShiftsCaption) {
    enter();
    button->grab();
    QRect normal = button->LastCaptionRect();
    button->setDown(true);
    button->grab();
    EXPECT_EQ(button->LastBackground(), 2);
    EXPECT_EQ(button->LastCaptionRect(), normal.translated(1, 1));
}

TEST_F(ShadeButton, DisabledButtonIgnoresTheMouse) {
    button->setEnabled(false);
    enter();
    EXPECT_FALSE(button->IsMouseOver());
    button->grab();
    EXPECT_EQ(button->LastBackground(), 0);
}

// The window's drawings are PAM files used in place. A header the reader
// does not take, or a body shorter than the header says, gives no image
// instead of a read beyond the bytes.
TEST(PamImage, ReadsRgbAndRgbaInPlaceAndRefusesWhatItDoesNotTake) {
    QByteArray rgb =
        QByteArray("P7\nWIDTH 2\nHEIGHT 1\nDEPTH 3\nMAXVAL 255\nTUPLTYPE RGB\nENDHDR\n") +
        QByteArray("\x10\x20\x30\xff\x00\x80", 6);
    QImage a = image_from_pam(rgb);
    ASSERT_EQ(a.size(), QSize(2, 1));
    EXPECT_EQ(a.pixel(0, 0), qRgb(0x10, 0x20, 0x30));
    EXPECT_EQ(a.pixel(1, 0), qRgb(0xff, 0x00, 0x80));

    QByteArray rgba =
        QByteArray("P7\nWIDTH 1\nHEIGHT 2\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n") +
        QByteArray("\xff\x00\x00\xff\x00\x00\xff\x00", 8);
    QImage b = image_from_pam(rgba);
    ASSERT_EQ(b.size(), QSize(1, 2));
    EXPECT_EQ(b.pixelColor(0, 0), QColor(255, 0, 0, 255));
    EXPECT_EQ(b.pixelColor(0, 1).alpha(), 0);

    const QByteArray body(64, '\x7f');
    struct Case {
        const char* name;
        QByteArray data;
    };
    const Case bad[] = {
        {"another format", "P6\n2 1\n255\n" + body},
        {"no end of header", "P7\nWIDTH 2\nHEIGHT 1\nDEPTH 3\nMAXVAL 255\n" + body},
        {"header beyond its room", "P7\n" + QByteArray(300, '\n') + "ENDHDR\n" + body},
        {"no width", "P7\nHEIGHT 1\nDEPTH 3\nMAXVAL 255\nENDHDR\n" + body},
        {"width 0", "P7\nWIDTH 0\nHEIGHT 1\nDEPTH 3\nMAXVAL 255\nENDHDR\n" + body},
        {"width beyond any drawing",
         "P7\nWIDTH 99999\nHEIGHT 1\nDEPTH 3\nMAXVAL 255\nENDHDR\n" + body},
        {"width not a number", "P7\nWIDTH -2\nHEIGHT 1\nDEPTH 3\nMAXVAL 255\nENDHDR\n" + body},
        {"grey", "P7\nWIDTH 2\nHEIGHT 1\nDEPTH 1\nMAXVAL 255\nENDHDR\n" + body},
        {"16-bit samples", "P7\nWIDTH 2\nHEIGHT 1\nDEPTH 3\nMAXVAL 65535\nENDHDR\n" + body},
        {"unknown key", "P7\nWIDTH 2\nHEIGHT 1\nDEPTH 3\nMAXVAL 255\nGAMMA 2\nENDHDR\n" + body},
        {"body one byte short",
         "P7\nWIDTH 2\nHEIGHT 1\nDEPTH 3\nMAXVAL 255\nENDHDR\n" + QByteArray(5, '\0')},
        {"empty", QByteArray()},
    };
    for (const Case& c : bad)
        EXPECT_TRUE(image_from_pam(c.data).isNull()) << c.name;
}

// The window's group boxes draw their frame themselves (no picture file to
// read at the first paint) and look as the style's own, titled or not.
TEST(GroupFrame, LooksLikeTheStylesGroupBox) {
    for (const char* title : {"Progress", ""}) {
        QGroupBox plain(QString::fromLatin1(title));
        CGroupFrame own(QString::fromLatin1(title));
        for (QGroupBox* box : {static_cast<QGroupBox*>(&plain), static_cast<QGroupBox*>(&own)})
            box->resize(240, 60);
        QImage a = plain.grab().toImage().convertToFormat(QImage::Format_ARGB32);
        QImage b = own.grab().toImage().convertToFormat(QImage::Format_ARGB32);
        ASSERT_EQ(a.size(), b.size());
        int worst = 0;
        for (int y = 0; y < a.height(); ++y)
            for (int x = 0; x < a.width(); ++x) {
                QRgb p = a.pixel(x, y), q = b.pixel(x, y);
                worst = std::max({worst, std::abs(qRed(p) - qRed(q)),
                                  std::abs(qGreen(p) - qGreen(q)), std::abs(qBlue(p) - qBlue(q))});
            }
        EXPECT_LE(worst, 12) << "title \"" << title << "\"";
    }
}

} // namespace
