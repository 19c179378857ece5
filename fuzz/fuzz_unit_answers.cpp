// The device link against a unit whose answers come from the input: an
// in-process emulated unit whose flash records, data headers, boot version,
// flash size, short reports and faulty replies (no reply, bad checksum,
// status words) are all taken from the input. Then the device-information
// read, the settings view and its OK path (the configuration run writing
// back into the unit), and the write plan of a small package, checked and
// carried out.
//
// Records are not left to chance alone: for each one the input chooses
// erased flash, raw bytes, or raw bytes sealed with a valid marker and
// checksum, so the paths behind a valid record are reached.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "common_t73/QV_Cmd.h"
#include "common_t73/QV_Hid.h"
#include "common_t73/QV_Machine.h"
#include "common_t73/QV_WritePlan.h"
#include "config/config_model.h"
#include "config/config_run.h"
#include "config/machine_unit.h"
#include "config/records.h"
#include "package/package.h"
#include "support/checksum.h"
#include "tools/unitsim/UnitSim.h"

namespace {

constexpr uint32_t MS_BLOCK = 512;
constexpr uint32_t HALF = 256;

void put_u32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

uint32_t get_u32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// n bytes from the input, the rest of the area erased.
std::vector<uint8_t> take(FuzzedDataProvider& in, size_t n) {
    std::vector<uint8_t> out = in.ConsumeBytes<uint8_t>(n);
    out.resize(n, 0xFF);
    return out;
}

// Mode 0 leaves the area erased, 1 puts raw input there, 2 raw input made
// into a valid record by seal().
template <typename Seal>
void place(FuzzedDataProvider& in, UnitSim& sim, uint32_t address, size_t n, Seal seal) {
    int mode = in.ConsumeIntegralInRange(0, 2);
    if (mode == 0)
        return;
    std::vector<uint8_t> bytes = take(in, n);
    if (mode == 2)
        seal(bytes.data());
    sim.put(address, bytes.data(), bytes.size());
}

// A main-setting block: the main record valid, and the server record when
// the input says so.
void seal_main_setting(uint8_t* block, bool server) {
    put_u32(block + 4 + 227, RECORD_MAGIC);
    put_u32(block, byte_sum(block + 4, 231));
    if (server) {
        put_u32(block + HALF + 4 + 174, RECORD_MAGIC);
        put_u32(block + HALF, byte_sum(block + HALF + 4, 178));
    }
}

// Region addresses of a main-setting record with the flash offsets of its
// three dated regions: voice, radar mute, GPS.
void place_headers(FuzzedDataProvider& in, UnitSim& sim, const uint8_t* block) {
    static const int offsets[] = {79, 87, 95};
    for (int off : offsets) {
        uint32_t address = get_u32(block + 4 + off);
        if (in.ConsumeBool() && address % HALF == 0 && address < sim.flashSize() - HALF) {
            std::vector<uint8_t> header = take(in, HALF);
            sim.put(address, header.data(), header.size());
        }
    }
}

void set_up_unit(FuzzedDataProvider& in, UnitSim& sim) {
    static const uint32_t boots[] = {0, 1010, 1011, 1046};
    uint32_t boot = in.ConsumeBool() ? boots[in.ConsumeIntegralInRange(0, 3)]
                                     : in.ConsumeIntegral<uint32_t>();
    sim.setBootVersion(boot);
    sim.setReadPayload(in.ConsumeBool() ? 64 : in.ConsumeIntegralInRange(1, 64));

    for (uint32_t address : {FLASH_MAIN_SETTING_ADDRESS, FLASH_MAIN_SETTING_ADDRESS_502}) {
        bool server = in.ConsumeBool();
        place(in, sim, address, MS_BLOCK,
              [server](uint8_t* b) { seal_main_setting(b, server); });
        place_headers(in, sim, sim.flash().data() + address);
    }
    for (uint32_t address : {FLASH_PARAM_ADDRESS, FLASH_PARAM_ADDRESS_502}) {
        int kind = in.ConsumeIntegralInRange(1, 5);
        place(in, sim, address, MACHINE_PARAM_SIZE,
              [kind](uint8_t* r) { unit_param_seal(r, kind); });
    }
    for (uint32_t address : {FLASH_IDENTITY_ADDRESS, FLASH_IDENTITY_ADDRESS_502})
        place(in, sim, address, CLIENT_ID_SIZE, [](uint8_t*) {});

    static const uint8_t codes[] = {0, CMD_BOOT_VERSION, CMD_FLASH_SIZE, CMD_READ,
                                    CMD_WRITE, CMD_ERASE, CMD_FINISH};
    int faults = in.ConsumeIntegralInRange(0, 4);
    for (int i = 0; i < faults; ++i) {
        UnitFaultRule rule;
        rule.kind = static_cast<UnitFault>(in.ConsumeIntegralInRange(0, 2));
        rule.code = codes[in.ConsumeIntegralInRange<size_t>(0, sizeof codes - 1)];
        rule.nth = in.ConsumeIntegralInRange(-1, 12);
        rule.status = in.ConsumeIntegral<uint8_t>();
        sim.addFault(rule);
    }
    if (in.ConsumeIntegralInRange(0, 7) == 0)
        sim.unplugAfterReports(in.ConsumeIntegralInRange(0, 2000));
}

class Answers : public ConfigPrompter {
  public:
    explicit Answers(FuzzedDataProvider& in) : in_(in) {}
    void message(const std::string&, const std::string&, ConfigIcon) override {}
    bool ask_yes_no(const std::string&, const std::string&) override { return in_.ConsumeBool(); }

  private:
    FuzzedDataProvider& in_;
};

// The dialog's OK on what it loaded, with some fields typed from the input.
int edit(FuzzedDataProvider& in, const ConfigEditArgs& args) {
    ConfigView view = config_view_load(args.title_prefix, args.boot_version, args.kind, args.param,
                                       args.main_setting, args.server_settings);
    ConfigInput input =
        in.ConsumeBool() ? config_input_from_view(view) : config_input_unchanged(view);
    for (size_t i = 0; i < input.bands.size(); ++i)
        if (in.ConsumeBool())
            input.bands[i] = !input.bands[i];
    auto text = [&in] {
        std::string s = in.ConsumeRandomLengthString(24);
        return std::u16string(s.begin(), s.end());
    };
    if (in.ConsumeBool())
        input.time_zone = text();
    if (in.ConsumeBool())
        input.day_hour = text();
    if (in.ConsumeBool())
        input.night_hour = text();
    if (in.ConsumeBool()) {
        input.gprs.apn = text();
        input.gprs.server = text();
        input.gprs.port = text();
    }
    return config_apply(view, input, args.param, args.server_settings).accepted ? 1 : 0;
}

// A package of small sections and a few program entries, as package_load
// leaves one (heap blocks that package_free releases).
Package* make_package(FuzzedDataProvider& in, const QV_Machine* m) {
    auto* p = new (std::nothrow) Package();
    if (!p)
        return nullptr;
    std::memset(p->client_id, ' ', sizeof p->client_id);
    auto block = [&in](uint32_t* size) -> uint8_t* {
        uint32_t n = in.ConsumeBool() ? 0 : in.ConsumeIntegralInRange<uint32_t>(1, 6000);
        *size = 0;
        if (n == 0)
            return nullptr;
        auto* data = static_cast<uint8_t*>(std::malloc(n));
        if (!data)
            return nullptr;
        std::vector<uint8_t> bytes = take(in, n);
        std::memcpy(data, bytes.data(), n);
        *size = n;
        return data;
    };
    for (int number = 1; number <= SECTION_COUNT; ++number)
        if (PackageSection* s = package_section(p, number))
            s->data = block(&s->size);
    p->merged_gps.data = block(&p->merged_gps.size);
    uint32_t count = in.ConsumeIntegralInRange<uint32_t>(0, 3);
    if (count > 0) {
        p->programs = new (std::nothrow) ProgramImage[count];
        if (p->programs) {
            p->program_count = count;
            for (uint32_t i = 0; i < count; ++i) {
                ProgramImage& e = p->programs[i];
                if (in.ConsumeBool())
                    std::memcpy(e.board_id, m->main_setting + 4, 4);
                else
                    for (char& c : e.board_id)
                        c = char(in.ConsumeIntegral<uint8_t>());
                e.data = block(&e.size);
                e.scrambled = 1;
                e.variant_b = in.ConsumeBool();
                e.layout502 = in.ConsumeBool();
                e.variant_c = in.ConsumeBool();
                e.variant_d = in.ConsumeBool();
                e.legacy = in.ConsumeIntegralInRange(0, 7) == 0;
                e.server_reset = in.ConsumeBool();
                e.server_size = in.ConsumeIntegralInRange<uint32_t>(0, 0x20000);
                e.track_size = in.ConsumeIntegralInRange<uint32_t>(0, 0x3000);
                e.version = in.ConsumeIntegral<uint32_t>();
            }
        }
    }
    p->province_count = 0;
    return p;
}

void write_plan(FuzzedDataProvider& in, QV_Machine* m) {
    Package* pkg = make_package(in, m);
    if (!pkg)
        return;
    QV_WritePlan plan;
    plan.write_boot = in.ConsumeBool();
    plan.write_program = in.ConsumeBool();
    plan.write_voice = in.ConsumeBool();
    plan.write_radar_mute = in.ConsumeBool();
    plan.write_gps = in.ConsumeBool();
    plan.write_update_tool = in.ConsumeBool();
    plan.reset_parameters = in.ConsumeBool();
    plan.province_mode = in.ConsumeBool();
    plan.leading_region_size = in.ConsumeIntegralInRange<uint32_t>(0, 0x3000);
    QV_WritePlan dry = plan;
    QV_PlanActions actions;
    int planned = QV_WritePlan_compute(m, pkg, &dry, &actions);
    int checked = QV_Machine_checkParamAndMainSetting(m, pkg, &plan);
    // The dry plan and the check must agree on every refusal made before
    // anything is written.
    if (planned != PLAN_OK && checked != planned)
        __builtin_trap();
    if (checked == PLAN_OK) {
        plan.write_client_id = in.ConsumeBool();
        QV_Machine_write(m, pkg, &plan);
    }
    package_free(pkg);
}

int accept_from_input(void* user, const uint8_t*) {
    return *static_cast<int*>(user);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The device link logs every read and write on standard output.
    if (!std::freopen("/dev/null", "w", stdout))
        return 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    static const uint32_t sizes[] = {0x20000, 0x40000, 0x80000, 0x100000};
    UnitSim sim(sizes[in.ConsumeIntegralInRange(0, 3)]);
    set_up_unit(in, sim);

    int accept = in.ConsumeIntegralInRange(0, 7) != 0;
    QV_Machine* m = QV_Machine_create(accept_from_input, &accept, nullptr, nullptr);
    if (!m)
        return 0;
    QV_Machine_attach(m, QV_Hid_openTransport(sim.transport()));
    QV_Machine_getDeveiceInfo(m);
    (void)QV_Machine_infoText(m);
    char16_t text[64];
    QV_Machine_clientText(m, text, 64);
    QV_Machine_updateToolText(m, text, 64);

    // The settings dialog as the window opens it, then its OK path.
    ConfigView view = config_view_load(u"Setting", int(m->boot_version), m->param_kind, m->param,
                                       m->main_setting, m->server_settings);
    (void)view;
    MachineConfigUnit unit(m);
    Answers answers(in);
    config_run(unit, answers, [&in](const ConfigEditArgs& args) { return edit(in, args); });

    write_plan(in, m);
    QV_Machine_release(m);
    return 0;
}
