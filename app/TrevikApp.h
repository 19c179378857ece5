// The application: one tool of the updater family at a time, then the main
// window for the life of the process.
#pragma once

#include <QString>

class CTrevikApp {
  public:
    // The application's name, also the download's default user agent.
    static constexpr const char* APP_NAME = "Update";

    // lockDir holds the family's lock and sockets (empty: the temporary
    // directory).
    explicit CTrevikApp(const QString& lockDir = QString()) : m_lockDir(lockDir) {}

    // A second start brings the running tool's window forward and returns
    // at once; the only instance runs the main window until it is closed.
    // Returns the process's exit code (0).
    int InitInstance();

    // A package the window starts with, chosen as Open would (empty: none).
    void SetPackageFile(const QString& path) { m_packageFile = path; }

  private:
    QString m_lockDir;
    QString m_packageFile;
};
