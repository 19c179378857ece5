// The hidapi adapter: the only file that sees hidapi.
#include <hidapi.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "common_t73/QV_HidTransports.h"
#include "support/platform.h"
#include "support/text.h"

namespace {

// hidapi keeps its last error in one global string that enumerating and
// opening free and replace: the runs of a bench, each on its own thread,
// make those calls one at a time.
std::mutex global_calls;

bool hidapi_ready() {
    static std::once_flag once;
    static bool ok = false;
    std::call_once(once, [] { ok = hid_init() == 0; });
    return ok;
}

class HidapiTransport : public QV_ReportTransport {
  public:
    explicit HidapiTransport(hid_device* device) : device_(device) {}
    ~HidapiTransport() override { hid_close(device_); }

    int writeReport(const uint8_t* report, int /*timeoutMs*/) override {
        // hidraw writes complete or fail within the kernel's own USB limit.
        int n = hid_write(device_, report, REPORT_SIZE);
        return n > 0 ? std::min(n, REPORT_SIZE) : 0;
    }

    int readReport(uint8_t* report, int timeoutMs) override {
        // Read into our own buffer: the caller's buffer sees only a whole,
        // finished read. hidapi strips report id 0; put it back.
        uint8_t in[REPORT_SIZE] = {};
        int n = hid_read_timeout(device_, in, REPORT_SIZE - 1, timeoutMs);
        if (n <= 0)
            return 0;
        report[0] = 0;
        std::memcpy(report + 1, in, static_cast<size_t>(n));
        return n + 1;
    }

    void discardInput() override {
        // A report that arrives after a read timed out stays queued in the
        // kernel; drain what is there now, without waiting.
        uint8_t in[REPORT_SIZE];
        for (int i = 0; i < 4096; ++i)
            if (hid_read_timeout(device_, in, REPORT_SIZE - 1, 0) <= 0)
                break;
    }

  private:
    hid_device* device_;
};

} // namespace

std::vector<QV_HidUnitInfo> QV_HidHidapi_enumerate() {
    std::vector<QV_HidUnitInfo> units;
    if (!hidapi_ready())
        return units;
    std::lock_guard<std::mutex> hold(global_calls);
    hid_device_info* list = hid_enumerate(UNIT_VENDOR_ID, UNIT_PRODUCT_ID);
    for (hid_device_info* d = list; d; d = d->next)
        if (d->path && d->vendor_id == UNIT_VENDOR_ID && d->product_id == UNIT_PRODUCT_ID)
            units.push_back(
                {d->path, wide_to_utf8(d->serial_number), wide_to_utf8(d->product_string)});
    hid_free_enumeration(list);
    return units;
}

std::unique_ptr<QV_ReportTransport> QV_HidHidapi_open(const std::string& path,
                                                      QV_HidOpenError* why) {
    if (why)
        *why = QV_HID_OPEN_FAILED;
    if (!hidapi_ready())
        return nullptr;
    hid_device* device = nullptr;
    {
        std::lock_guard<std::mutex> hold(global_calls);
        device = hid_open_path(path.c_str());
    }
    if (!device) {
        // A hidraw node without a udev rule belongs to root alone.
        if (why && platform_access_denied(path))
            *why = QV_HID_OPEN_DENIED;
        return nullptr;
    }
    // Reads wait with a limit; blocking mode is what hid_read_timeout expects.
    hid_set_nonblocking(device, 0);
    if (why)
        *why = QV_HID_OPEN_OK;
    return std::make_unique<HidapiTransport>(device);
}
