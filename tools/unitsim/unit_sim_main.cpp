// trevik-unit-sim: serves one emulated unit on a Unix-domain socket, for
// trevik and trevik-cli (--unit socket:PATH) and for end-to-end tests, or on
// a loopback TCP port (--unit tcp:HOST:PORT) for programs that cannot reach
// a Unix-domain socket.
#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <string>
#include <unistd.h>

#include "tools/unitsim/UnitOptions.h"
#include "tools/unitsim/UnitSim.h"
#include "trevik_version.h"

namespace {

int g_stop_fd = -1;

void on_signal(int) {
    if (g_stop_fd >= 0) {
        char b = 1;
        [[maybe_unused]] ssize_t n = ::write(g_stop_fd, &b, 1);
    }
}

struct Served {
    UnitSim* unit;
    std::string image;
    bool verbose;
    size_t shown = 0;
};

void on_disconnect(void* user) {
    auto* s = static_cast<Served*>(user);
    if (s->verbose) {
        const auto& cmds = s->unit->commands();
        for (; s->shown < cmds.size(); ++s->shown) {
            const UnitCommand& c = cmds[s->shown];
            std::fprintf(stderr, "command %02X A=%08X B=%08X C=%08X mode=%u D=%08X status=%u%s\n",
                         c.code, c.a, c.b, c.c, c.mode, c.d, c.status,
                         c.replied ? "" : " (no reply)");
        }
    }
    if (!s->image.empty() && !s->unit->saveImage(s->image))
        std::fprintf(stderr, "trevik-unit-sim: cannot save the flash image %s\n", s->image.c_str());
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"trevik-unit-sim: an emulated unit served on a Unix-domain socket.\n"
                 "Connect with trevik-cli --unit socket:PATH. Numbers take 0x for hexadecimal.\n"
                 "A new unit (no image, or an image file not there yet) gets every record below\n"
                 "with its default; a unit loaded from an image only gets the ones given."};
    UnitOptions unit_options;
    std::string socketPath, tcp;
    app.set_version_flag("--version", std::string("trevik-unit-sim ") + TREVIK_VERSION);
    auto* socketOption = app.add_option("--socket", socketPath, "Socket path to listen on");
    auto* tcpOption = app.add_option(
        "--tcp", tcp, "Listen on TCP at HOST:PORT instead (a loopback address; port 0: any)");
    socketOption->excludes(tcpOption);
    unit_options_add(app, unit_options);
    bool verbose = false;
    app.add_flag("--verbose", verbose, "Print the commands received after each connection");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? 0 : 2;
    }
    if (socketPath.empty() == tcp.empty()) {
        std::fprintf(stderr, "trevik-unit-sim: --socket or --tcp is required\n");
        return 2;
    }

    UnitSim unit;
    const std::string& image = unit_options.image;
    std::string error;
    if (int code = unit_options_apply(unit_options, image, &unit, &error); code != 0) {
        std::fprintf(stderr, "trevik-unit-sim: %s\n", error.c_str());
        return code;
    }

    UnitSimServer server(unit, socketPath);
    std::string host;
    uint16_t port = 0;
    if (!tcp.empty()) {
        size_t colon = tcp.rfind(':');
        std::string digits = colon == std::string::npos ? "" : tcp.substr(colon + 1);
        bool number = !digits.empty() && digits.size() <= 5 &&
                      digits.find_first_not_of("0123456789") == std::string::npos &&
                      std::stoul(digits) <= 65535;
        if (number) {
            host = tcp.substr(0, colon);
            port = static_cast<uint16_t>(std::stoul(digits));
        } else {
            std::fprintf(stderr, "trevik-unit-sim: --tcp takes HOST:PORT, not %s\n", tcp.c_str());
            return 2;
        }
        if (!server.listenTcp(host, port)) {
            std::fprintf(stderr, "trevik-unit-sim: cannot listen on %s (a loopback address only)\n",
                         tcp.c_str());
            return 1;
        }
        socketPath = "tcp:" + host + ":" + std::to_string(server.port());
    } else if (!server.listen()) {
        std::fprintf(stderr, "trevik-unit-sim: cannot listen on %s\n", socketPath.c_str());
        return 1;
    }
    g_stop_fd = server.stopFd();
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    std::fprintf(stderr, "trevik-unit-sim: serving on %s\n", socketPath.c_str());
    Served served{&unit, image, verbose};
    server.run(on_disconnect, &served);
    if (!image.empty() && !unit.saveImage(image)) {
        std::fprintf(stderr, "trevik-unit-sim: cannot save the flash image %s\n", image.c_str());
        return 1;
    }
    return 0;
}
