// The parts of the version check that read the attached unit's device link.
#include "online/VersionCheck.h"

#include "common_t73/QV_Machine.h"

int BuildVersionFileUrl(const QV_Machine* m, std::u16string* url, const VersionHosts& hosts) {
    if (!url || !QV_Machine_isConnected(m))
        return 0;
    *url = version_file_url(TOOL_CUSTOMER_NAME, m->identity, CLIENT_ID_SIZE, hosts);
    return 1;
}

VersionCheckView StartVersionCheck(VersionCheckState& st, const QV_Machine* m, CHttpDownload& dl,
                                   DownloadOwner* owner, const VersionHosts& hosts) {
    BuildVersionFileUrl(m, &st.version_file_url, hosts);
    return version_check_start(st, dl, owner);
}
