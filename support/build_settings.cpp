#include "support/build_settings.h"

#include <cstring>

const char* const KNOWN_CUSTOMER_IDS[KNOWN_CUSTOMER_COUNT] = {
    "                     ",
    "TREVIK-DEMO ",
    "VELMORA NAV",
    "QT471",
    "DASTRN",
    "CORVELAN",
    "MARROWFELD",
    "OLVS",
    "PARTNR",
    "PARTNER FLEET SERVICES 2019 ",
    "BRAND10",
    "BRAND11",
    "BRAND12",
    "BRAND13",
    "BRAND14",
    "BRAND15",
    "BRAND16",
    "BRAND17",
    "BRAND18",
    "BRAND19",
    "BRAND20",
    "BRAND21",
    "BRAND22",
    "BRAND23",
    "BRAND24",
    "BRAND25",
    "BRAND26",
    "BRAND27",
    "BRAND28",
    "BRAND29",
    "BRAND30",
    "BRAND31",
    "BRAND32",
    "BRAND33",
    "BRAND34",
    "BRAND35",
    "BRAND36",
    "BRAND37",
    "BRAND38",
    "BRAND39",
    "BRAND40",
    "BRAND41",
    "BRAND42",
    "BRAND43",
    "BRAND44",
    "BRAND45",
    "BRAND46",
    "BRAND47",
    "BRAND48",
    "BRAND49",
    "BRAND50",
    "BRAND51",
    "BRAND52",
    "BRAND53",
    "BRAND54",
    "BRAND55",
    "BRAND56",
    "BRAND57",
    "BRAND58",
    "BRAND59",
    "BRAND60",
    "BRAND61",
    "BRAND62",
    "BRAND63",
    "BRAND64",
};

int known_customer_lookup(const char* client_id, size_t n) {
    if (!client_id)
        return -1;
    for (int i = 0; i < KNOWN_CUSTOMER_COUNT; ++i) {
        size_t len = std::strlen(KNOWN_CUSTOMER_IDS[i]);
        if (len <= n && std::memcmp(client_id, KNOWN_CUSTOMER_IDS[i], len) == 0)
            return i;
    }
    return -1;
}
