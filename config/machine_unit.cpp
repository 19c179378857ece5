#include "config/machine_unit.h"

#include "common_t73/QV_Cmd.h"
#include "common_t73/QV_Machine.h"

bool MachineConfigUnit::connected() {
    return QV_Machine_isConnected(m_) != 0;
}
int MachineConfigUnit::kind() {
    return m_ ? m_->param_kind : -1;
}
int MachineConfigUnit::boot_version() {
    return m_ ? int(m_->boot_version) : 0;
}
const uint8_t* MachineConfigUnit::param() {
    static const uint8_t none[MACHINE_PARAM_SIZE] = {};
    return m_ ? m_->param : none;
}
const uint8_t* MachineConfigUnit::main_setting() {
    static const uint8_t none[MACHINE_MAIN_SETTING_SIZE] = {};
    return m_ ? m_->main_setting : none;
}
const uint8_t* MachineConfigUnit::server_settings() {
    static const uint8_t none[MACHINE_SERVER_SETTINGS_SIZE] = {};
    return m_ ? m_->server_settings : none;
}
std::u16string MachineConfigUnit::client_id() {
    char16_t text[CLIENT_ID_SIZE + 1];
    QV_Machine_clientText(m_, text, CLIENT_ID_SIZE + 1);
    return text;
}
int MachineConfigUnit::main_setting_state() {
    if (!m_)
        return CONFIG_MAIN_SETTING_UNREAD;
    switch (m_->main_setting_state) {
    case MAIN_SETTING_VALID:
        return CONFIG_MAIN_SETTING_VALID;
    case MAIN_SETTING_NONE:
        return CONFIG_MAIN_SETTING_NONE;
    default:
        return CONFIG_MAIN_SETTING_UNREAD;
    }
}
bool MachineConfigUnit::reread() {
    return m_ && QV_Machine_getDeveiceInfo(m_) == 1 && QV_Machine_isConnected(m_);
}
int MachineConfigUnit::write_param(const uint8_t* record) {
    return QV_Machine_writeParam(m_, record);
}
int MachineConfigUnit::write_main_setting(const uint8_t* ms, const uint8_t* ss) {
    return m_ ? QV_Machine_writeMainSetting(m_, ms, ss, m_->layout502) : 0;
}
void MachineConfigUnit::reread_and_finish() {
    if (!m_)
        return;
    QV_Machine_getDeveiceInfo(m_);
    if (QV_Machine_isConnected(m_))
        QV_Cmd_finish(m_->channel);
}
