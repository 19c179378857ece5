// The options that describe one emulated unit, shared by the programs that
// serve it: trevik-unit-sim on a socket, trevik-unit-testbed on hidraw nodes.
#pragma once

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

#include "tools/unitsim/UnitSim.h"

struct UnitOptions {
    std::string image, flashText = "0x800000", bootText = "1046", layout = "normal";
    // main-setting record
    std::string board = "T73A", programVersion = "100", serverSize = "0x10000",
                voiceSize = "0x200000", radarSize = "0xC8000", gpsSize = "0x400000",
                updateSize = "0", trackSize = "0";
    bool noMainSetting = false, variantB = false, variantC = false, variantD = false;
    std::string serverSettings = "cmnet,gps.example.com,8080,user,pass";
    bool noServerSettings = false;
    int paramKind = 5;
    std::string client = "TREVIK-DEMO 0001";
    std::string voiceTime = "1700000000", radarTime = "1700000000", gpsTime = "1735689600";
    // faults
    std::vector<std::string> noReply, badChecksum, status, wrongBytes;
    std::string unplugText, delayText;

    // Set by unit_options_add: which options the command line gave.
    CLI::Option* flashOpt = nullptr;
    CLI::Option* layoutOpt = nullptr;
    CLI::Option* paramOpt = nullptr;
    CLI::Option* clientOpt = nullptr;
    std::vector<CLI::Option*> msOpts, timeOpts;
};

// Adds the unit options to app; o must outlive the parse.
void unit_options_add(CLI::App& app, UnitOptions& o);

// Builds unit from the parsed options: loads the flash image at image (when
// not empty and present), lays out the records a new unit gets or the ones
// given, adds the faults and saves the image. Returns 0; 1 when the image
// cannot be loaded or saved; 2 for a bad value. *error then says why.
int unit_options_apply(const UnitOptions& o, const std::string& image, UnitSim* unit,
                       std::string* error);

// Parses a number (0x for hexadecimal) of at most 32 bits; false for
// anything else.
bool unit_parse_number(const std::string& text, uint32_t* out);
