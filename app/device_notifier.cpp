#include "app/device_notifier.h"

#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QTimer>
#include <fcntl.h>
#include <libudev.h>
#include <unistd.h>

int device_notice_from_udev(const QString& subsystem, const QString& devtype,
                            const QString& devpath, const QString& devnode, QString* name) {
    QString n = devnode.isEmpty() ? devpath : devnode;
    int code = 0;
    if (subsystem == QLatin1String("hidraw")) {
        code = DEVICE_CLASS_HID;
        static const QRegularExpression hidId(
            QStringLiteral("/[0-9A-Fa-f]{4}:([0-9A-Fa-f]{4}):([0-9A-Fa-f]{4})\\.[0-9A-Fa-f]+/"));
        QRegularExpressionMatch m = hidId.match(devpath);
        if (m.hasMatch())
            n = QStringLiteral("hidraw:vid_%1&pid_%2:%3")
                    .arg(m.captured(1).toLower(), m.captured(2).toLower(), n);
    } else if (subsystem == QLatin1String("block")) {
        code = devtype == QLatin1String("disk") ? DEVICE_CLASS_DISK : DEVICE_CLASS_VOLUME;
    } else if (subsystem == QLatin1String("usb")) {
        code = DEVICE_CLASS_USB;
    } else if (subsystem == QLatin1String("net")) {
        code = DEVICE_CLASS_NET;
    }
    if (name)
        *name = n;
    return code;
}

QString device_notice_socket_name(const QString& socketPath) {
    return QStringLiteral("socket:vid_0416&pid_b500:") + socketPath;
}

struct DeviceNotifier::Private {
    udev* ctx = nullptr;
    udev_monitor* monitor = nullptr;
    QSocketNotifier* udevNotifier = nullptr;
    int mountFd = -1;
    QSocketNotifier* mountNotifier = nullptr;
    QFileSystemWatcher* socketWatcher = nullptr;
    QTimer* socketPoll = nullptr;
    QString socketPath;
    bool socketPresent = false;
};

DeviceNotifier::DeviceNotifier(QObject* parent) : QObject(parent), d(std::make_unique<Private>()) {}

DeviceNotifier::~DeviceNotifier() {
    delete d->udevNotifier;
    delete d->mountNotifier;
    if (d->monitor)
        udev_monitor_unref(d->monitor);
    if (d->ctx)
        udev_unref(d->ctx);
    if (d->mountFd >= 0)
        close(d->mountFd);
}

bool DeviceNotifier::start() {
    bool any = false;
    d->ctx = udev_new();
    if (d->ctx)
        d->monitor = udev_monitor_new_from_netlink(d->ctx, "udev");
    if (d->monitor) {
        for (const char* sub : {"hidraw", "block", "usb", "net"})
            udev_monitor_filter_add_match_subsystem_devtype(d->monitor, sub, nullptr);
        if (udev_monitor_enable_receiving(d->monitor) == 0) {
            d->udevNotifier =
                new QSocketNotifier(udev_monitor_get_fd(d->monitor), QSocketNotifier::Read, this);
            connect(d->udevNotifier, &QSocketNotifier::activated, this, [this] {
                while (udev_device* dev = udev_monitor_receive_device(d->monitor)) {
                    QString action = QString::fromLatin1(udev_device_get_action(dev));
                    unsigned event = action == QLatin1String("add")      ? DBT_DEVICEARRIVAL
                                     : action == QLatin1String("remove") ? DBT_DEVICEREMOVECOMPLETE
                                                                         : 0;
                    QString name;
                    int code = device_notice_from_udev(
                        QString::fromLatin1(udev_device_get_subsystem(dev)),
                        QString::fromLatin1(udev_device_get_devtype(dev)),
                        QString::fromLatin1(udev_device_get_devpath(dev)),
                        QString::fromLatin1(udev_device_get_devnode(dev)), &name);
                    udev_device_unref(dev);
                    if (event && code)
                        emit deviceChange(event, code, name);
                }
            });
            any = true;
        }
    }
    // A volume is usable once mounted: a change of the mount table counts
    // as a volume arrival.
    d->mountFd = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (d->mountFd >= 0) {
        d->mountNotifier = new QSocketNotifier(d->mountFd, QSocketNotifier::Exception, this);
        connect(d->mountNotifier, &QSocketNotifier::activated, this, [this] {
            // Reading the table to its end re-arms the notice.
            char buf[4096];
            lseek(d->mountFd, 0, SEEK_SET);
            while (read(d->mountFd, buf, sizeof buf) > 0) {
            }
            emit deviceChange(DBT_DEVICEARRIVAL, DEVICE_CLASS_VOLUME, QStringLiteral("mount"));
        });
        char buf[4096];
        while (read(d->mountFd, buf, sizeof buf) > 0) {
        }
        any = true;
    }
    return any;
}

void DeviceNotifier::watchSocket(const QString& socketPath) {
    d->socketPath = socketPath;
    d->socketPresent = QFileInfo::exists(socketPath);
    auto check = [this] {
        bool present = QFileInfo::exists(d->socketPath);
        if (present == d->socketPresent)
            return;
        d->socketPresent = present;
        emit deviceChange(present ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE, DEVICE_CLASS_HID,
                          device_notice_socket_name(d->socketPath));
    };
    d->socketWatcher = new QFileSystemWatcher(this);
    d->socketWatcher->addPath(QFileInfo(socketPath).absolutePath());
    connect(d->socketWatcher, &QFileSystemWatcher::directoryChanged, this, check);
    // The folder may not exist yet, and watches can be missed: look twice a
    // second as well.
    d->socketPoll = new QTimer(this);
    connect(d->socketPoll, &QTimer::timeout, this, [this, check] {
        if (d->socketWatcher->directories().isEmpty())
            d->socketWatcher->addPath(QFileInfo(d->socketPath).absolutePath());
        check();
    });
    d->socketPoll->start(500);
}
