// What differs between the customers this tool is built for. Every value is
// fixed when the tool is built; CMake cache variables of the same names
// override the defaults below (see cmake/TrevikSettings.cmake).
#pragma once

#include <cstddef>

// The tool's customer name: a 12-character brand text compared byte for byte
// with the start of a package's client-id block and a unit's client id.
// A name of 21 blanks means no customer: such a build accepts every unit.
#ifndef TREVIK_CUSTOMER_NAME
#define TREVIK_CUSTOMER_NAME "TREVIK-DEMO "
#endif

// Version-server hosts: the maker's server and customer B's server.
#ifndef TREVIK_VERSION_HOST_1
#define TREVIK_VERSION_HOST_1 "update.trevik.example"
#endif
#ifndef TREVIK_VERSION_HOST_2
#define TREVIK_VERSION_HOST_2 "download.customer-b.example"
#endif

inline constexpr const char* TOOL_CUSTOMER_NAME = TREVIK_CUSTOMER_NAME;
inline constexpr size_t TOOL_CUSTOMER_NAME_LEN = sizeof(TREVIK_CUSTOMER_NAME) - 1;
inline constexpr const char* NO_CUSTOMER_NAME = "                     "; // 21 blanks
// Units and packages are compared with the name over 12 bytes: a shorter
// name would match nothing.
static_assert(TOOL_CUSTOMER_NAME_LEN == 12 || TOOL_CUSTOMER_NAME_LEN == 21,
              "the customer name must be 12 bytes (or 21 blanks for no customer)");

// The customers this build serves besides its own: the first is matched by
// its first 6 bytes, the second by its whole 28-byte text.
inline constexpr const char* SERVED_CUSTOMER_PREFIX = "PARTNR";
inline constexpr size_t SERVED_CUSTOMER_PREFIX_LEN = 6;
inline constexpr const char* SERVED_CUSTOMER_FULL = "PARTNER FLEET SERVICES 2019 ";
inline constexpr size_t SERVED_CUSTOMER_FULL_LEN = 28;

inline constexpr const char* VERSION_HOST_MAKER = TREVIK_VERSION_HOST_1;
inline constexpr const char* VERSION_HOST_CUSTOMER_B = TREVIK_VERSION_HOST_2;

// Customers' names and prefixes of the version-file table, with the number
// of bytes of the client id each is compared over.
#ifdef TREVIK_CUSTOMER_A_NAME
inline constexpr const char* VERSION_CUSTOMER_A_NAME = TREVIK_CUSTOMER_A_NAME; // 11 bytes
#else
// By default customer A is the tool's own customer: its first 11 bytes, so
// the units this tool is built for read their version file.
struct CustomerAName {
    char text[12] = {};
};
constexpr CustomerAName customer_a_from(const char* name) {
    CustomerAName a;
    for (int i = 0; i < 11 && name[i]; ++i)
        a.text[i] = name[i];
    return a;
}
inline constexpr CustomerAName CUSTOMER_A_DEFAULT = customer_a_from(TREVIK_CUSTOMER_NAME);
inline constexpr const char* VERSION_CUSTOMER_A_NAME = CUSTOMER_A_DEFAULT.text; // 11 bytes
#endif
inline constexpr const char* VERSION_CUSTOMER_B_PREFIX = "QT471";     // 5 bytes
inline constexpr const char* VERSION_CUSTOMER_C_PREFIX = "DASTRN";    // 6 bytes
inline constexpr const char* VERSION_CUSTOMER_D_PREFIX = "CORVELAN";  // 8 bytes
inline constexpr const char* VERSION_CUSTOMER_E_PREFIX = "MARROWFELD"; // 10 bytes
inline constexpr const char* VERSION_CUSTOMER_F_PREFIX = "OLVS";       // 4 bytes

// Known customer ids: 65 texts, the first 21 blanks, the others brand names.
// A client id is known when it begins with one of them.
inline constexpr int KNOWN_CUSTOMER_COUNT = 65;
extern const char* const KNOWN_CUSTOMER_IDS[KNOWN_CUSTOMER_COUNT];

// Index of the first known customer id that the client id (its first n
// bytes) begins with, or -1. Null gives -1.
int known_customer_lookup(const char* client_id, size_t n);
