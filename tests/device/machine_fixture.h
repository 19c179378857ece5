// A machine attached to an in-process emulated unit over the real command
// exchange, with its progress reports recorded.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common_t73/QV_Cmd.h"
#include "common_t73/QV_Hid.h"
#include "common_t73/QV_Machine.h"
#include "tools/unitsim/UnitSim.h"

struct ProgressReport {
    int kind;
    uint32_t value;
    bool operator==(const ProgressReport& o) const { return kind == o.kind && value == o.value; }
};

inline std::ostream& operator<<(std::ostream& os, const ProgressReport& r) {
    return os << "{" << r.kind << "," << r.value << "}";
}

class MachineTest : public ::testing::Test {
  protected:
    UnitSim unit{0x800000, 1046};
    QV_Machine* m = nullptr;
    std::vector<ProgressReport> reports;

    static void onProgress(void* user, QV_Machine*, int kind, uint32_t value, uint32_t) {
        static_cast<MachineTest*>(user)->reports.push_back({kind, value});
    }

    void SetUp() override {
        m = QV_Machine_create(nullptr, nullptr, onProgress, this);
        ASSERT_NE(m, nullptr);
        ASSERT_NE(m->channel, nullptr);
        ASSERT_EQ(QV_Machine_attach(m, QV_Hid_openTransport(unit.transport())), 1);
    }
    void TearDown() override { QV_Machine_release(m); }

    // Commands the unit received from index first on, by code.
    std::vector<uint8_t> codesFrom(size_t first = 0) const {
        std::vector<uint8_t> codes;
        for (size_t i = first; i < unit.commands().size(); ++i)
            codes.push_back(unit.commands()[i].code);
        return codes;
    }
    std::vector<UnitCommand> writes() const {
        std::vector<UnitCommand> out;
        for (const UnitCommand& c : unit.commands())
            if (c.code == CMD_WRITE)
                out.push_back(c);
        return out;
    }
    std::vector<uint8_t> flashAt(uint32_t address, size_t n) const {
        return std::vector<uint8_t>(unit.flash().begin() + address,
                                    unit.flash().begin() + address + n);
    }
};

inline std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}
