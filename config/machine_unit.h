// The configuration run's view of the device link: the attached unit's
// records in QV_Machine and its parameter and main-setting writes.
#pragma once

#include "config/config_run.h"

struct QV_Machine;

class MachineConfigUnit : public ConfigUnit {
  public:
    // m may be null (then no unit is connected); not owned.
    explicit MachineConfigUnit(QV_Machine* m) : m_(m) {}
    bool connected() override;
    int kind() override;
    int boot_version() override;
    const uint8_t* param() override;
    const uint8_t* main_setting() override;
    const uint8_t* server_settings() override;
    std::u16string client_id() override;
    int main_setting_state() override;
    bool reread() override;
    int write_param(const uint8_t* record) override;
    // Writes at the unit's own layout.
    int write_main_setting(const uint8_t* ms, const uint8_t* ss) override;
    void reread_and_finish() override;

  private:
    QV_Machine* m_;
};
