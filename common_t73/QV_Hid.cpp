#include "common_t73/QV_Hid.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "common_t73/QV_HidSession.h"
#include "common_t73/QV_HidTransports.h"
#include "common_t73/QV_UnitLock.h"
#include "support/net.h"
#include "support/platform.h"
#include "support/text.h"

struct QV_HidHandle {
    // Declared first so it is released last, after the unit is closed.
    int lockFd = -1;
    std::string path; // as opened, UTF-8
    std::unique_ptr<QV_ReportTransport> transport;
    ~QV_HidHandle() {
        transport.reset();
        platform_close(lockFd);
    }
};

namespace {

const char SOCKET_PREFIX[] = "socket:";
const char TCP_PREFIX[] = "tcp:";
const char HID_PREFIX[] = "hid:";
const char EMULATED_PREFIX[] = "emulated:";
const char REPLAY_PREFIX[] = "replay:";
// The path an emulated unit is reported under; it names the unit's ids the
// way interface paths do.
const char16_t EMULATED_PATH[] = u"emulated:vid_0416&pid_b500";

enum class SourceKind { Hid, Socket, Tcp, Emulated, Replay };

struct Source {
    std::mutex lock;
    SourceKind kind = SourceKind::Hid;
    std::string socketPath; // the socket path, or HOST:PORT for Tcp
    std::string hidPath;    // empty: any unit
    std::string replayFile;
    std::string error;
    std::function<std::unique_ptr<QV_ReportTransport>()> factory;
    std::function<std::vector<QV_HidUnitInfo>()> enumerate;
};

Source& source() {
    static Source s;
    return s;
}

// Why this thread's last open failed: each thread that opens a unit (a
// worker per unit when several are updated at once) learns its own open's
// reason, with no lock around opens.
thread_local int last_open_error = QV_HID_OPEN_OK;
thread_local int last_busy_pid = 0;
// The lock that failed last on this thread and its errno.
thread_local std::string lock_failure_path;
thread_local int lock_failure_error = 0;

bool starts_with(const std::string& s, const char* prefix) {
    return s.compare(0, std::strlen(prefix), prefix) == 0;
}

// Device-interface classes in the order of their codes 1..5, each GUID in
// its in-memory byte order (first three groups little-endian).
const uint8_t INTERFACE_CLASSES[5][16] = {
    // A5DCBF10-6530-11D2-901F-00C04FB951ED: USB device
    {0x10, 0xBF, 0xDC, 0xA5, 0x30, 0x65, 0xD2, 0x11, 0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51,
     0xED},
    // 53F5630D-B6BF-11D0-94F2-00A0C91EFB8B: volume
    {0x0D, 0x63, 0xF5, 0x53, 0xBF, 0xB6, 0xD0, 0x11, 0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB,
     0x8B},
    // 53F56307-B6BF-11D0-94F2-00A0C91EFB8B: disk
    {0x07, 0x63, 0xF5, 0x53, 0xBF, 0xB6, 0xD0, 0x11, 0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB,
     0x8B},
    // 4D1E55B2-F16F-11CF-88CB-001111000030: HID
    {0xB2, 0x55, 0x1E, 0x4D, 0x6F, 0xF1, 0xCF, 0x11, 0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00,
     0x30},
    // AD498944-762F-11D0-8DCB-00C04FC3358C: network adapter
    {0x44, 0x89, 0x49, 0xAD, 0x2F, 0x76, 0xD0, 0x11, 0x8D, 0xCB, 0x00, 0xC0, 0x4F, 0xC3, 0x35,
     0x8C},
};

} // namespace

bool QV_Hid_isUnitPath(const char16_t* path) {
    if (!path)
        return false;
    std::u16string lower(path);
    for (char16_t& c : lower)
        if (c >= u'A' && c <= u'Z')
            c = static_cast<char16_t>(c - u'A' + u'a');
    char needle[32];
    std::snprintf(needle, sizeof needle, "vid_%04x&pid_%04x", UNIT_VENDOR_ID, UNIT_PRODUCT_ID);
    return lower.find(utf8_to_wtext(needle)) != std::u16string::npos;
}

void QV_Hid_findUnit(void* owner, QV_HidAttachFn attach) {
    if (!attach)
        return;
    SourceKind kind;
    std::string socketPath;
    std::string hidPath;
    std::string replayFile;
    {
        std::lock_guard<std::mutex> guard(source().lock);
        kind = source().kind;
        socketPath = source().socketPath;
        hidPath = source().hidPath;
        replayFile = source().replayFile;
    }
    switch (kind) {
    case SourceKind::Replay:
        // A session that never opened the unit replays as no unit present.
        if (QV_HidReplay_hasUnit()) {
            std::u16string path = utf8_to_wtext(REPLAY_PREFIX + replayFile);
            attach(owner, path.c_str());
        }
        return;
    case SourceKind::Emulated:
        attach(owner, EMULATED_PATH);
        return;
    case SourceKind::Socket: {
        // The emulator's socket stands for one present unit.
        if (platform_path_kind(socketPath, nullptr, true) == PLATFORM_PATH_SOCKET) {
            std::u16string path = utf8_to_wtext(SOCKET_PREFIX + socketPath);
            attach(owner, path.c_str());
        }
        return;
    }
    case SourceKind::Tcp: {
        // The emulator stands for one present unit while it accepts.
        std::string host;
        uint16_t port = 0;
        NetSocket probe = NET_NO_SOCKET;
        if (net_split_host_port(socketPath, &host, &port) &&
            net_connect_tcp(host, port, &probe) == NET_CONNECTED) {
            net_close(probe);
            std::u16string path = utf8_to_wtext(TCP_PREFIX + socketPath);
            attach(owner, path.c_str());
        }
        return;
    }
    case SourceKind::Hid:
        // Enumeration already matched the unit's vendor and product ids.
        for (const QV_HidUnitInfo& unit : QV_Hid_enumerate()) {
            if (!hidPath.empty() && unit.path != hidPath)
                continue;
            std::u16string path = utf8_to_wtext(unit.path);
            if (attach(owner, path.c_str()) == 0)
                return;
        }
        return;
    }
}

QV_HidHandle* QV_Hid_open(const char16_t* path) {
    last_open_error = QV_HID_OPEN_FAILED;
    if (!path)
        return nullptr;
    // Paths are UTF-16 at this interface and UTF-8 in the file system.
    std::string p = wtext_to_utf8(path);
    // The lock comes first: a unit another program uses is not touched.
    int lockFd = -1;
    if (!starts_with(p, EMULATED_PREFIX) && !starts_with(p, REPLAY_PREFIX)) {
        bool socket = starts_with(p, SOCKET_PREFIX);
        bool tcp = starts_with(p, TCP_PREFIX);
        std::string lockPath =
            socket ? QV_UnitLock_pathForSocket(p.substr(std::strlen(SOCKET_PREFIX)))
            : tcp  ? QV_UnitLock_pathForTcp(p.substr(std::strlen(TCP_PREFIX)))
                   : QV_UnitLock_pathForDevice(p);
        int holder = 0, error = 0;
        QV_UnitLockResult locked = QV_UNIT_LOCK_FAILED;
        if (!lockPath.empty())
            locked = QV_UnitLock_acquire(lockPath, socket || tcp || lockPath != p, &lockFd,
                                         &holder, &error);
        else
            error = errno;
        if (locked == QV_UNIT_LOCK_BUSY) {
            last_busy_pid = holder;
            last_open_error = QV_HID_OPEN_BUSY;
            return nullptr;
        }
        // No lock, no access: unlocked, a second program could write the
        // unit in the middle of an update.
        if (locked != QV_UNIT_LOCK_HELD) {
            std::string unitPath = socket ? p.substr(std::strlen(SOCKET_PREFIX)) : p;
            if (!tcp && platform_path_kind(unitPath, nullptr, true) == PLATFORM_PATH_MISSING) {
                // The unit is gone (or never was): nothing to lock.
                last_open_error = QV_HID_OPEN_FAILED;
                return nullptr;
            }
            // A device node this user may not read needs the udev rule.
            bool denied = !socket && !tcp && (error == EACCES || error == EPERM);
            if (!denied) {
                lock_failure_path = lockPath;
                lock_failure_error = error;
            }
            last_open_error = denied ? QV_HID_OPEN_DENIED : QV_HID_OPEN_LOCK_FAILED;
            return nullptr;
        }
    }
    std::unique_ptr<QV_ReportTransport> transport;
    QV_HidOpenError why = QV_HID_OPEN_FAILED;
    if (starts_with(p, SOCKET_PREFIX)) {
        transport = QV_HidSocket_open(p.substr(std::strlen(SOCKET_PREFIX)));
    } else if (starts_with(p, TCP_PREFIX)) {
        transport = QV_HidTcp_open(p.substr(std::strlen(TCP_PREFIX)));
    } else if (starts_with(p, REPLAY_PREFIX)) {
        transport = QV_HidReplay_open();
    } else if (starts_with(p, EMULATED_PREFIX)) {
        std::function<std::unique_ptr<QV_ReportTransport>()> factory;
        {
            std::lock_guard<std::mutex> guard(source().lock);
            factory = source().factory;
        }
        if (factory)
            transport = factory();
    } else {
        transport = QV_HidHidapi_open(p, &why);
    }
    if (!transport) {
        platform_close(lockFd);
        last_open_error = why == QV_HID_OPEN_DENIED ? QV_HID_OPEN_DENIED : QV_HID_OPEN_FAILED;
        return nullptr;
    }
    // A recording wraps whatever was opened; nothing else sees it.
    transport = QV_HidSession_record(std::move(transport), p);
    QV_HidHandle* handle = QV_Hid_openTransport(std::move(transport));
    if (handle) {
        handle->lockFd = lockFd;
        handle->path = p;
    } else
        platform_close(lockFd);
    last_open_error = handle ? QV_HID_OPEN_OK : QV_HID_OPEN_FAILED;
    return handle;
}

QV_HidHandle* QV_Hid_openTransport(std::unique_ptr<QV_ReportTransport> transport) {
    if (!transport)
        return nullptr;
    auto* handle = new (std::nothrow) QV_HidHandle;
    if (handle)
        handle->transport = std::move(transport);
    return handle;
}

std::string QV_Hid_handlePath(const QV_HidHandle* handle) {
    return handle ? handle->path : std::string();
}

std::string QV_Hid_serialOf(const std::string& path) {
    if (path.empty() || starts_with(path, SOCKET_PREFIX) || starts_with(path, EMULATED_PREFIX))
        return "";
    for (const QV_HidUnitInfo& unit : QV_Hid_enumerate())
        if (unit.path == path)
            return unit.serial;
    return "";
}

void QV_Hid_close(QV_HidHandle* handle) {
    delete handle;
}

int QV_Hid_readReport(QV_HidHandle* handle, uint8_t* buffer, int* count) {
    if (count)
        *count = 0;
    if (!handle || !handle->transport || !buffer)
        return 0;
    int n = handle->transport->readReport(buffer, REPORT_TIMEOUT_MS);
    if (n <= 0)
        return 0;
    if (count)
        *count = n;
    return 1;
}

int QV_Hid_writeReport(QV_HidHandle* handle, const uint8_t* buffer, int* count) {
    if (count)
        *count = 0;
    if (!handle || !handle->transport || !buffer)
        return 0;
    int n = handle->transport->writeReport(buffer, REPORT_TIMEOUT_MS);
    if (n <= 0)
        return 0;
    if (count)
        *count = n;
    return 1;
}

void QV_Hid_discardInput(QV_HidHandle* handle) {
    if (handle && handle->transport)
        handle->transport->discardInput();
}

int QV_Hid_classOfGuid(const uint8_t* guid) {
    if (!guid)
        return 2;
    for (int i = 0; i < 5; ++i)
        if (std::memcmp(guid, INTERFACE_CLASSES[i], 16) == 0)
            return i + 1;
    return 2;
}

int QV_Hid_selectSource(const std::string& text) {
    std::lock_guard<std::mutex> guard(source().lock);
    source().error.clear();
    if (starts_with(text, REPLAY_PREFIX) && text.size() > std::strlen(REPLAY_PREFIX)) {
        std::string file = text.substr(std::strlen(REPLAY_PREFIX));
        if (!QV_HidReplay_select(file, &source().error))
            return 0;
        source().kind = SourceKind::Replay;
        source().replayFile = file;
        source().socketPath.clear();
        source().hidPath.clear();
        source().factory = nullptr;
        return 1;
    }
    if (text == "hid") {
        source().kind = SourceKind::Hid;
        source().socketPath.clear();
        source().hidPath.clear();
    } else if (starts_with(text, HID_PREFIX) && text.size() > std::strlen(HID_PREFIX)) {
        source().kind = SourceKind::Hid;
        source().socketPath.clear();
        source().hidPath = text.substr(std::strlen(HID_PREFIX));
    } else if (starts_with(text, SOCKET_PREFIX) && text.size() > std::strlen(SOCKET_PREFIX)) {
        source().kind = SourceKind::Socket;
        source().socketPath = text.substr(std::strlen(SOCKET_PREFIX));
        source().hidPath.clear();
    } else if (starts_with(text, TCP_PREFIX)) {
        std::string host;
        uint16_t port = 0;
        if (!net_split_host_port(text.substr(std::strlen(TCP_PREFIX)), &host, &port))
            return 0;
        source().kind = SourceKind::Tcp;
        source().socketPath = text.substr(std::strlen(TCP_PREFIX));
        source().hidPath.clear();
    } else {
        return 0;
    }
    source().factory = nullptr;
    QV_HidReplay_unselect();
    return 1;
}

std::string QV_Hid_sourceError() {
    std::lock_guard<std::mutex> guard(source().lock);
    return source().error;
}

void QV_Hid_selectEmulated(std::function<std::unique_ptr<QV_ReportTransport>()> factory) {
    std::lock_guard<std::mutex> guard(source().lock);
    QV_HidReplay_unselect();
    if (factory) {
        source().kind = SourceKind::Emulated;
        source().factory = std::move(factory);
    } else {
        source().kind = SourceKind::Hid;
        source().factory = nullptr;
    }
}

std::string QV_Hid_sourceText() {
    std::lock_guard<std::mutex> guard(source().lock);
    switch (source().kind) {
    case SourceKind::Socket:
        return SOCKET_PREFIX + source().socketPath;
    case SourceKind::Tcp:
        return TCP_PREFIX + source().socketPath;
    case SourceKind::Emulated:
        return "emulated";
    case SourceKind::Replay:
        return REPLAY_PREFIX + source().replayFile;
    case SourceKind::Hid:
        if (!source().hidPath.empty())
            return HID_PREFIX + source().hidPath;
        break;
    }
    return "hid";
}

std::vector<QV_HidUnitInfo> QV_Hid_enumerate() {
    std::function<std::vector<QV_HidUnitInfo>()> enumerate;
    {
        std::lock_guard<std::mutex> guard(source().lock);
        enumerate = source().enumerate;
    }
    return enumerate ? enumerate() : QV_HidHidapi_enumerate();
}

void QV_Hid_setEnumerator(std::function<std::vector<QV_HidUnitInfo>()> enumerate) {
    std::lock_guard<std::mutex> guard(source().lock);
    source().enumerate = std::move(enumerate);
}

QV_HidOpenError QV_Hid_lastOpenError() {
    return static_cast<QV_HidOpenError>(last_open_error);
}

std::string QV_Hid_inUseText() {
    return QV_UnitLock_inUseText(last_busy_pid);
}

std::string QV_Hid_lockFailedText(bool* permission) {
    if (permission)
        *permission = lock_failure_error == EACCES || lock_failure_error == EPERM ||
                      lock_failure_error == EROFS;
    return QV_UnitLock_failedText(lock_failure_path, lock_failure_error);
}

const char* QV_Hid_permissionText() {
    return "The unit is connected, but this user may not open it. With the trevik package "
           "installed, plug the unit in again and run trevik at the machine's own screen: the "
           "udev rule 70-trevik-unit.rules serves no login over SSH or from cron. Built from "
           "source: sudo cmake --install build, then \"udevadm control --reload-rules && "
           "udevadm trigger\", and plug the unit in again.";
}
