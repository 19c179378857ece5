// The online version check: which version file belongs to the attached
// unit, reading that file, and what the window shows and enables at each
// step. The window keeps a VersionCheckState as its members and binds each
// returned VersionCheckView to its controls; nothing here touches a widget.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "support/build_settings.h"

class CHttpDownload;
class DownloadOwner;
struct QV_Machine;

// Status texts of the static text 1032.
inline constexpr const char16_t* VERSION_TEXT_SEARCHING =
    u"Searching the database version now,please wait\u2026";
inline constexpr const char16_t* VERSION_TEXT_FAILED =
    u"Access database failed,please updated by local file!";
inline constexpr const char16_t* VERSION_TEXT_ONLINE = u"Internet vesion:";
// The window's download failure text after a failed package download.
inline constexpr const char16_t* VERSION_TEXT_PACKAGE_FAILED =
    u"Error! Please update by local file!";

// Name of the downloaded version file in the tool's temporary directory.
inline constexpr const char16_t* VERSION_FILE_NAME = u"Tmp";
// A version file is a few short lines; a download past this is no version
// file and fails the check.
inline constexpr uint64_t VERSION_FILE_MAX_SIZE = 64 * 1024;

// One record of a list-form version file: three texts converted from the
// ANSI code page, each from at most 255 bytes of its field. A second field
// too long for its 100 units stays empty.
struct _LuanguageInfo {
    char16_t first[512] = {};
    char16_t second[100] = {};
    char16_t third[512] = {};
};

// The two version servers (host, or host:port).
struct VersionHosts {
    std::string maker = VERSION_HOST_MAKER;
    std::string customer_b = VERSION_HOST_CUSTOMER_B;
};

// Replaces both hosts with host_port ("host" or "host:port", port 1..65535,
// a bracketed IPv6 address allowed). Returns 1, or 0 with *hosts unchanged
// when host_port is null, empty or not of that form. The window and
// trevik-cli take it from TREVIK_VERSION_SERVER, for tests and
// demonstrations.
int version_hosts_override(const char* host_port, VersionHosts* hosts);

// Name of the environment variable that replaces both version servers.
inline constexpr const char* VERSION_SERVER_ENV = "TREVIK_VERSION_SERVER";

// Sets *hosts to the build's hosts, both replaced by TREVIK_VERSION_SERVER
// when that is set and not empty. Returns 1, or 0 when the variable is set
// but not of the form host[:port] (*hosts then holds the build's hosts).
int version_hosts_from_environment(VersionHosts* hosts);

// The version-file URL for a tool built for tool_customer_name (terminated
// text) and a unit whose identity block starts with client_id (n bytes):
// "http://" + host + path of the first matching row, or the empty text when
// no row matches (the unit then gets no online check). Rows, in order:
// a tool without customer (21 blanks); the client id beginning with the
// names of customers A to F over 11, 5, 6, 8, 10 and 4 bytes. Null
// arguments give the empty text.
std::u16string version_file_url(const char* tool_customer_name, const uint8_t* client_id, size_t n,
                                const VersionHosts& hosts = VersionHosts());

// Sets *url for the unit attached to m. Returns 1 when set (possibly to the
// empty text), 0 with *url unchanged when m, its channel or its open unit is
// missing.
int BuildVersionFileUrl(const QV_Machine* m, std::u16string* url,
                        const VersionHosts& hosts = VersionHosts());

// The window's members that the version check reads and writes.
struct VersionCheckState {
    std::u16string version_file_url;
    int list_form = 0;          // 1: the last version file was a list
    std::u16string package_url; // from a single-form file
    int online_version = 0;     // -1 after a failed check
    std::vector<_LuanguageInfo> online_list;
    int version_check = 0; // 1 while the version file downloads
    int awaiting_end = 0;  // 1 while a started check's end message is due
    int stale_ends = 0;    // end messages of stopped checks still to come
};

// What a step asks of the window's controls.
enum class ControlChange { Keep, Enable, Disable };

struct VersionCheckView {
    bool set_status = false; // show status in the static text 1032
    std::u16string status;
    ControlChange open = ControlChange::Keep;
    ControlChange update = ControlChange::Keep;
    // A package download ended: run the failure display (set the download
    // failure text VERSION_TEXT_PACKAGE_FAILED and show it on the bar), or
    // the completion display (bar full).
    bool package_failed = false;
    bool package_completed = false;
};

// The tool's own temporary directory + "Tmp": where the version file lands.
// Empty when that directory cannot be had; the download then fails to start.
std::u16string version_file_target();

// Reads a version file into st. Single form (first byte a digit): version
// number from line 1, package URL from line 2; list form: one record per
// line of exactly three comma-separated fields, up to the first empty line.
// Returns 1 when read (status "Internet vesion:" and the number for the
// single form, unchanged for the list form); returns 0 when the file cannot
// be opened (nothing changes), or for a single form whose line 1 or 2 is
// empty or whose number does not fit an int (online version -1, status
// VERSION_TEXT_FAILED). A file that was opened is deleted either way.
// view may be null.
int LoadVersionFile(VersionCheckState& st, const char16_t* path, VersionCheckView* view);

// Starts downloading st.version_file_url into version_file_target() on the
// component's own thread, its messages going to owner; a file growing past
// VERSION_FILE_MAX_SIZE ends the download as failed. Does nothing when the
// URL is empty, or when dl is busy with a package download. A check still
// running is stopped first and its end message will be ignored. On a start
// failure the status shows the component's error text and Open is enabled;
// otherwise the status reads VERSION_TEXT_SEARCHING and Open is disabled.
VersionCheckView version_check_start(VersionCheckState& st, CHttpDownload& dl,
                                     DownloadOwner* owner);

// Stops a running check and waits until the component's thread has ended.
// The stopped check's end message, queued before this returns, will change
// nothing, and the check flag is cleared: the component's next messages
// belong to whatever uses it next. The stopped check's version file is
// removed. Returns a view that enables Open when a check was stopped, and
// changes nothing otherwise.
VersionCheckView version_check_stop(VersionCheckState& st, CHttpDownload& dl);

// BuildVersionFileUrl for m, then version_check_start.
VersionCheckView StartVersionCheck(VersionCheckState& st, const QV_Machine* m, CHttpDownload& dl,
                                   DownloadOwner* owner,
                                   const VersionHosts& hosts = VersionHosts());

// The window's UWM_DOWNLOAD_FINISHED handling (result code, whether the unit
// is connected): stops dl, enables Open, then ends the version check (reads
// the version file after a complete download) or reports the end of a
// package download. The end message of a stopped check changes nothing.
VersionCheckView version_check_finished(VersionCheckState& st, CHttpDownload& dl, int result,
                                        bool connected);

// The online version the Update button compares with: 0 for the list form.
int version_check_online_version(const VersionCheckState& st);

// Whether the Update button asks "Already the newest version,Updated or
// Not?": no package chosen, an online version above 0, and a unit version
// (yyyymmdd) that is not 0 and at least the online version.
bool version_check_should_ask(const VersionCheckState& st, bool package_chosen,
                              uint32_t unit_version);
