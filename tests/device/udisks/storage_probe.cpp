// Runs the removable-drive probe over a fake sysfs tree, handing the drive
// back through UDisks2 on the system bus the test provides. Prints whether
// the unit was found, then each failed step on a line of its own.
#include "common_t73/QV_Storage.h"

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: storage_probe SYSFS\n");
        return 2;
    }
    QV_StorageRoots roots;
    roots.sysfs = argv[1];
    QV_StorageReport report;
    int found = QV_Storage_probeUnitAt(&roots, &report);
    std::printf("found %d\n", found);
    for (const std::string& f : report.failures)
        std::printf("%s\n", f.c_str());
    return 0;
}
