// Session files on arbitrary input: the reader, then the replay source
// answering the device-information reads from whatever the file holds.
// A session file comes from a user's bug report, so nothing in it is
// trusted.
#include <cstdint>

#include "common_t73/QV_Hid.h"
#include "common_t73/QV_Machine.h"
#include "fuzz/fuzz_input_file.h"
#include "support/log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The information lines each replay logs are not what is looked at.
    static const bool quiet = [] {
        log_set_min_level(LOG_CRITICAL);
        return true;
    }();
    (void)quiet;
    if (!fuzz_write_input(data, size))
        return 0;
    if (QV_Hid_selectSource("replay:" + fuzz_scratch_name())) {
        QV_Machine* m = QV_Machine_create(nullptr, nullptr, nullptr, nullptr);
        if (m && QV_Machine_attachFirstUnit(m))
            QV_Machine_getDeveiceInfo(m);
        QV_Machine_release(m);
        (void)QV_Hid_finishReplay();
        QV_Hid_selectSource("hid");
    }
    fuzz_remove_input();
    return 0;
}
