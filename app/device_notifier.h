// Device arrival and removal notices: a libudev monitor (hidraw, block, usb
// and net), the mount table (a volume that appears counts as a volume
// arrival) and, for a unit emulator, its socket appearing and going away.
// Each notice carries the event (arrival / removal complete), the class code
// (1 USB device, 2 volume, 3 disk, 4 HID, 5 network adapter) and a name;
// a unit's HID name contains "vid_0416&pid_b500".
#pragma once

#include <QObject>
#include <QString>
#include <memory>

inline constexpr unsigned DBT_DEVICEARRIVAL = 0x8000;
inline constexpr unsigned DBT_DEVICEREMOVECOMPLETE = 0x8004;

inline constexpr int DEVICE_CLASS_USB = 1;
inline constexpr int DEVICE_CLASS_VOLUME = 2;
inline constexpr int DEVICE_CLASS_DISK = 3;
inline constexpr int DEVICE_CLASS_HID = 4;
inline constexpr int DEVICE_CLASS_NET = 5;

// The class code and name of a udev event: subsystem, device type, devpath
// and device node as udev gives them. hidraw devices are named
// "hidraw:vid_xxxx&pid_yyyy:NODE" from the HID device in the devpath
// (".../0003:0416:B500.0001/hidraw/hidraw0"), which stays readable in a
// removal event. Returns 0 for subsystems that are not watched.
int device_notice_from_udev(const QString& subsystem, const QString& devtype,
                            const QString& devpath, const QString& devnode, QString* name);

// The notice name of a unit emulator's socket.
QString device_notice_socket_name(const QString& socketPath);

class DeviceNotifier : public QObject {
    Q_OBJECT
  public:
    explicit DeviceNotifier(QObject* parent = nullptr);
    ~DeviceNotifier() override;

    // Starts the udev monitor and the mount-table watch. Returns false when
    // neither could be started (no notices will come).
    bool start();
    // Also watches the socket of a unit emulator: its appearance is a HID
    // arrival, its disappearance a HID removal.
    void watchSocket(const QString& socketPath);

  signals:
    void deviceChange(unsigned event, int classCode, const QString& name);

  private:
    struct Private;
    std::unique_ptr<Private> d;
};
