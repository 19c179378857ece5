#include "update/trevik_decisions.h"

#include "support/build_settings.h"
#include "support/file_name.h"

#include <cstdio>
#include <cstring>

int trevik_accept_identity(const uint8_t* identity, size_t size, const char* customer,
                           size_t customerLen) {
    if (!identity)
        return 0;
    if (customer && customerLen == strlen(NO_CUSTOMER_NAME) &&
        memcmp(customer, NO_CUSTOMER_NAME, customerLen) == 0)
        return 1;
    const char* id = reinterpret_cast<const char*>(identity);
    if (known_customer_lookup(id, size) < 0)
        return 1;
    if (customer && customerLen <= size && memcmp(id, customer, customerLen) == 0)
        return 1;
    if (SERVED_CUSTOMER_PREFIX_LEN <= size &&
        memcmp(id, SERVED_CUSTOMER_PREFIX, SERVED_CUSTOMER_PREFIX_LEN) == 0)
        return 1;
    if (SERVED_CUSTOMER_FULL_LEN <= size &&
        memcmp(id, SERVED_CUSTOMER_FULL, SERVED_CUSTOMER_FULL_LEN) == 0)
        return 1;
    return 0;
}

std::string trevik_title(bool connected, int year, int month, int day) {
    std::string title = TEXT_CAPTION;
    if (!connected)
        return title + TEXT_NO_HARDWARE;
    title += TEXT_CONNECTED;
    title += TEXT_VERSION_PREFIX;
    if (year != 0) {
        char date[40];
        std::snprintf(date, sizeof date, "%d%02d%02d", year, month, day);
        title += date;
    }
    return title;
}

std::string trevik_button_tip(int id, const ButtonTipState& s) {
    std::string what, why;
    switch (id) {
    case IDC_OPEN:
        what = "Choose an update package (.dqv) to write into the unit.";
        if (s.updating)
            why = "an update is running";
        else if (s.checking)
            why = "the online version check is running";
        break;
    case IDC_UPDATE:
        what = "Write the chosen package, or the newest one found online, into the unit.";
        if (s.updating)
            why = "an update is running";
        else if (!s.connected)
            why = "no unit is connected";
        else if (!s.package)
            why = "no package: choose one with Open or drop a .dqv file";
        break;
    case IDC_SETTING:
        what = "Edit the unit's settings: radar bands, time zone, screen hours and data connection.";
        if (s.updating)
            why = "an update is running";
        else if (!s.connected)
            why = "no unit is connected";
        break;
    case IDC_CLOSE:
        what = "Close the window; a running update is finished first.";
        break;
    default:
        return std::string();
    }
    if (s.enabled || why.empty())
        return what;
    return what + "\nNot available: " + why + '.';
}

bool trevik_is_package_path(const std::string& path) {
    return file_has_extension(path, "dqv") || file_has_extension(path, "zip");
}
