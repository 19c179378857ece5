// The about box (dialog 100): the application icon, the name and version,
// one line about the tool and the button "确定".
#pragma once

#include <QDialog>

class CAboutDlg : public QDialog {
    Q_OBJECT
  public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};
