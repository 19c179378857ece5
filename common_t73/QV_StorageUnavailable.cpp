// The unit's drive where UDisks2 is not to be had (the Windows build, which
// CMake gives this file instead of QV_StorageUdisks.cpp): nothing is handed
// back, and the report says so.
#include "common_t73/QV_Storage.h"

int QV_Storage_releaseByUdisks(const char*, QV_StorageReport* report, void*) {
    if (report)
        report->failures.push_back(std::string(QV_Storage_stepName(QV_STORAGE_STEP_FIND)) +
                                   " failed: not available on this platform");
    return 0;
}
