#include "online/VersionCheck.h"

#include "online/HttpDownload.h"
#include "support/stream.h"
#include "support/temp_dir.h"
#include "support/text.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <unistd.h>

namespace {

struct UrlRow {
    const char* name; // null: the row for a tool without customer
    size_t bytes;
    bool customer_b_host;
    const char* path;
};

constexpr UrlRow URL_ROWS[] = {
    {nullptr, 0, false, "/UserFiles/File/testNet.txt"},
    {VERSION_CUSTOMER_A_NAME, 11, false, "/UserFiles/File/velmora.txt"},
    {VERSION_CUSTOMER_B_PREFIX, 5, true, "/ditu/qt471k/qt471kUP.txt"},
    {VERSION_CUSTOMER_C_PREFIX, 6, false, "/UserFiles/File/dastrine.txt"},
    {VERSION_CUSTOMER_D_PREFIX, 8, false, "/UserFiles/File/corvelandis.txt"},
    {VERSION_CUSTOMER_E_PREFIX, 10, false, "/UserFiles/File/marrowfeld.txt"},
    {VERSION_CUSTOMER_F_PREFIX, 4, false, "/UserFiles/File/olvessa.txt"},
};

// Each name is compared over its row's byte count: it must hold that many.
// (The first row, for a tool without customer, has no name.)
constexpr bool rows_fit() {
    for (size_t i = 1; i < sizeof URL_ROWS / sizeof URL_ROWS[0]; ++i)
        if (std::char_traits<char>::length(URL_ROWS[i].name) < URL_ROWS[i].bytes)
            return false;
    return true;
}
static_assert(rows_fit(), "a version-file customer name is shorter than its compared length");

std::u16string ansi(const char* s, int n) {
    std::u16string out(static_cast<size_t>(n) + 1, u'\0');
    int units = ansi_to_wtext(out.data(), n + 1, s, n);
    out.resize(units < 0 ? 0 : static_cast<size_t>(units));
    return out;
}

// Converts at most 255 bytes of a field into dst (capacity units); a text
// that does not fit, or cannot be converted, leaves dst empty.
void convert_field(char16_t* dst, size_t capacity, const char* src, int len) {
    if (len > 255)
        len = 255;
    char16_t wide[512] = {};
    int units = ansi_to_wtext(wide, 512, src, len);
    std::memset(dst, 0, capacity * sizeof(char16_t));
    if (units < 0 || static_cast<size_t>(units) >= capacity)
        return;
    std::memcpy(dst, wide, static_cast<size_t>(units) * sizeof(char16_t));
}

// The leading decimal digits of a line as the online version. False when
// there are none or the number does not fit an int: such a version cannot
// be compared with the unit's date.
bool parse_version(const char* line, int* out) {
    int64_t value = 0;
    size_t i = 0;
    for (; line[i] >= '0' && line[i] <= '9'; ++i) {
        value = value * 10 + (line[i] - '0');
        if (value > INT32_MAX)
            return false;
    }
    if (i == 0)
        return false;
    *out = static_cast<int>(value);
    return true;
}

void set_status(VersionCheckView* view, const std::u16string& text) {
    if (!view)
        return;
    view->set_status = true;
    view->status = text;
}

} // namespace

int version_hosts_override(const char* host_port, VersionHosts* hosts) {
    if (!host_port || !*host_port || !hosts)
        return 0;
    std::string_view text(host_port);
    std::string_view host = text, port;
    if (text.front() == '[') {
        size_t close = text.find(']');
        if (close == std::string_view::npos || close == 1)
            return 0;
        host = text.substr(0, close + 1);
        std::string_view rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':')
                return 0;
            port = rest.substr(1);
            if (port.empty())
                return 0;
        }
    } else {
        size_t colon = text.find(':');
        if (colon != std::string_view::npos) {
            host = text.substr(0, colon);
            port = text.substr(colon + 1);
            if (port.empty())
                return 0;
        }
        if (host.empty())
            return 0;
        for (char c : host)
            if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_'))
                return 0;
    }
    if (!port.empty()) {
        if (port.size() > 5)
            return 0;
        unsigned value = 0;
        for (char c : port) {
            if (c < '0' || c > '9')
                return 0;
            value = value * 10 + static_cast<unsigned>(c - '0');
        }
        if (value < 1 || value > 65535)
            return 0;
    }
    hosts->maker = host_port;
    hosts->customer_b = host_port;
    return 1;
}

int version_hosts_from_environment(VersionHosts* hosts) {
    if (!hosts)
        return 0;
    *hosts = VersionHosts();
    const char* server = std::getenv(VERSION_SERVER_ENV);
    if (!server || !*server)
        return 1;
    return version_hosts_override(server, hosts);
}

std::u16string version_file_url(const char* tool_customer_name, const uint8_t* client_id, size_t n,
                                const VersionHosts& hosts) {
    if (!tool_customer_name || !client_id)
        return std::u16string();
    for (const UrlRow& row : URL_ROWS) {
        bool match;
        if (!row.name)
            match = std::strcmp(tool_customer_name, NO_CUSTOMER_NAME) == 0;
        else
            match = n >= row.bytes && std::memcmp(client_id, row.name, row.bytes) == 0;
        if (match) {
            const std::string& host = row.customer_b_host ? hosts.customer_b : hosts.maker;
            return utf8_to_wtext("http://" + host + row.path);
        }
    }
    return std::u16string();
}

std::u16string version_file_target() {
    return temp_dir_file(VERSION_FILE_NAME);
}

int LoadVersionFile(VersionCheckState& st, const char16_t* path, VersionCheckView* view) {
    // The version file is the tool's own: a link at its name is not read.
    Stream* s = stream_open_private(path, 0);
    if (!s)
        return 0;
    char line1[1024];
    stream_read_line(s, line1, sizeof line1);
    bool single = line1[0] >= '0' && line1[0] <= '9';
    if (single) {
        st.list_form = 0;
        char line2[260];
        stream_read_line(s, line2, sizeof line2);
        int version = 0;
        if (line1[0] == 0 || line2[0] == 0 || !parse_version(line1, &version)) {
            st.online_version = -1;
            set_status(view, VERSION_TEXT_FAILED);
            stream_close(s);
            // The check has failed; the file is of no further use.
            unlink(wtext_to_utf8(path).c_str());
            return 0;
        }
        st.online_version = version;
        st.package_url = ansi(line2, static_cast<int>(std::strlen(line2)));
    } else {
        st.list_form = 1;
        st.online_list.clear();
        char line[1024];
        std::memcpy(line, line1, sizeof line);
        while (line[0] != 0) {
            const char* starts[20];
            int lengths[20];
            if (text_split_fields(starts, lengths, line, static_cast<int>(std::strlen(line))) ==
                3) {
                _LuanguageInfo info;
                convert_field(info.first, 512, starts[0], lengths[0]);
                convert_field(info.second, 100, starts[1], lengths[1]);
                convert_field(info.third, 512, starts[2], lengths[2]);
                st.online_list.push_back(info);
            }
            if (stream_read_line(s, line, sizeof line) < 0)
                break;
        }
    }
    stream_close(s);
    unlink(wtext_to_utf8(path).c_str());
    if (single)
        set_status(view, VERSION_TEXT_ONLINE + utf8_to_wtext(std::to_string(st.online_version)));
    return 1;
}

VersionCheckView version_check_start(VersionCheckState& st, CHttpDownload& dl,
                                     DownloadOwner* owner) {
    VersionCheckView view;
    if (st.version_file_url.empty())
        return view;
    if (!st.awaiting_end && dl.IsRunning())
        return view; // a package download uses the component
    // A running check ends first; its end message is already queued or is
    // posted before the stop returns, so it arrives before ours.
    version_check_stop(st, dl);
    set_status(&view, VERSION_TEXT_SEARCHING);
    st.version_check = 1;
    DownloadRequest request;
    request.url = st.version_file_url;
    request.target = version_file_target();
    dl.Configure(owner, request);
    dl.SetMaxSize(VERSION_FILE_MAX_SIZE);
    std::u16string error = dl.Start(0);
    if (!error.empty()) {
        dl.Stop();
        // No end message will come for this check.
        st.version_check = 0;
        set_status(&view, error);
        view.open = ControlChange::Enable;
        return view;
    }
    st.awaiting_end = 1;
    view.open = ControlChange::Disable;
    return view;
}

VersionCheckView version_check_stop(VersionCheckState& st, CHttpDownload& dl) {
    VersionCheckView view;
    bool stopped = st.awaiting_end != 0;
    if (stopped) {
        st.awaiting_end = 0;
        st.version_check = 0;
        ++st.stale_ends;
    }
    // Also waits for a check that Open aborted without waiting.
    if (dl.HasThread())
        dl.Stop();
    if (stopped) {
        unlink(wtext_to_utf8(version_file_target().c_str()).c_str());
        view.open = ControlChange::Enable;
    }
    return view;
}

VersionCheckView version_check_finished(VersionCheckState& st, CHttpDownload& dl, int result,
                                        bool connected) {
    VersionCheckView view;
    if (st.stale_ends > 0) {
        --st.stale_ends;
        return view;
    }
    dl.Stop();
    st.awaiting_end = 0;
    view.open = ControlChange::Enable;
    if (result == DOWNLOAD_RESULT_ABORTED)
        return view;
    if (result != DOWNLOAD_RESULT_OK) {
        if (!st.version_check) {
            view.package_failed = true;
        } else {
            st.version_check = 0;
            st.online_version = -1;
            set_status(&view, VERSION_TEXT_FAILED);
        }
        return view;
    }
    if (!st.version_check) {
        view.package_completed = true;
        return view;
    }
    st.version_check = 0;
    std::u16string target = version_file_target();
    if (LoadVersionFile(st, target.c_str(), &view)) {
        if (connected)
            view.update = ControlChange::Enable;
    } else {
        set_status(&view, VERSION_TEXT_FAILED);
    }
    return view;
}

int version_check_online_version(const VersionCheckState& st) {
    return st.list_form ? 0 : st.online_version;
}

bool version_check_should_ask(const VersionCheckState& st, bool package_chosen,
                              uint32_t unit_version) {
    int online = version_check_online_version(st);
    return !package_chosen && online > 0 && unit_version != 0 &&
           unit_version >= static_cast<uint32_t>(online);
}
