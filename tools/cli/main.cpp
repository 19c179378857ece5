#include "tools/cli/cli.h"

#include <vector>

namespace {
std::vector<CliSetup>& registry() {
    static std::vector<CliSetup> setups;
    return setups;
}
} // namespace

CliRegistrar::CliRegistrar(CliSetup setup) { registry().push_back(setup); }

int main(int argc, char** argv) {
    CLI::App app{"Trevik: updates and configures the GPS speed-camera unit"};
    app.require_subcommand(1);
    int exit_code = CLI_OK;
    for (CliSetup setup : registry())
        setup(app, &exit_code);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return CLI_USAGE;
    }
    return exit_code;
}
