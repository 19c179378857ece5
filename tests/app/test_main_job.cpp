// The main job in one process: the window with Qt's own dialogs, attached to
// the unit emulator on a socket, updates it with the bundled sample package.
#include "window_fixture.h"

#include <QAbstractButton>
#include <QFileDialog>
#include <QMessageBox>
#include <QTimer>

using namespace app_test;

namespace {

// Answers Qt's modal dialogs as a user would and records the boxes.
class ModalUser : public QObject {
  public:
    QString file;
    QStringList boxes;
    QMessageBox::StandardButton questionAnswer = QMessageBox::No;

    ModalUser() {
        timer_.setInterval(20);
        QObject::connect(&timer_, &QTimer::timeout, this, [this] { step(); });
        timer_.start();
    }

  private:
    void step() {
        QWidget* w = QApplication::activeModalWidget();
        if (auto* fd = qobject_cast<QFileDialog*>(w)) {
            fd->selectFile(file);
            static_cast<QDialog*>(fd)->accept();
        } else if (auto* box = qobject_cast<QMessageBox*>(w)) {
            boxes << box->text();
            QAbstractButton* b = box->button(questionAnswer);
            if (!b)
                b = box->button(QMessageBox::Ok);
            if (b)
                b->click();
        }
    }
    QTimer timer_;
};

class MainJob : public WindowTest {
  protected:
    void TearDown() override {
        dlg.reset();
        server.reset();
        WindowTest::TearDown();
    }
    std::unique_ptr<UnitSimServer> server;
};

TEST_F(MainJob, SamplePackageThroughQtDialogs) {
    std::string socket = file("unit.sock");
    server = std::make_unique<UnitSimServer>(sim, socket);
    ASSERT_TRUE(server->listen());
    ASSERT_TRUE(server->start());
    QV_Hid_selectSource("socket:" + socket);

    QtPrompter qt;
    ModalUser user;
    user.file = QString(TREVIK_SOURCE_DIR) + "/res/sample/sample.dqv";
    dlg = std::make_unique<CTrevikDlg>(&qt);
    dlg->SetWatchDevices(false);
    dlg->SetStorageProbe([] { return 0; });
    ASSERT_TRUE(dlg->OnInitDialog());
    dlg->show();
    ASSERT_TRUE(dlg->IsConnected());

    QStringList texts;
    QObject::connect(dlg->Progress(), &CTextProgressCtrl::textChanged,
                     [&](const QString& t) { texts << t; });
    dlg->OnClickOpen();
    ASSERT_EQ(dlg->PackagePath(), user.file);
    ASSERT_TRUE(enabled(IDC_UPDATE));
    dlg->OnClickUpdate();
    // The province question is answered No: the national package is written.
    ASSERT_TRUE(dlg->WaitForRunEnd(60000));
    ASSERT_TRUE(wait_for([&] { return user.boxes.size() >= 2; }, 5000));
    EXPECT_TRUE(user.boxes[0].startsWith(QString::fromUtf8("进入省份选择界面")));
    EXPECT_EQ(user.boxes[1], "Update Successfully!");
    EXPECT_EQ(dlg->LastRunBoxText(), "Update Successfully!");
    EXPECT_TRUE(texts.contains("updating"));
    bool full = false;
    for (const QString& t : texts)
        full |= t.startsWith("Updated 100.00%   Time ");
    EXPECT_TRUE(full) << texts.join('|').toStdString();
}

} // namespace
