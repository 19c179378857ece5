// Recording a session (--record FILE, --redact-client) and ending a run
// whose unit was a replayed session.
#pragma once

#include <string>
#include <vector>

// The global options of a session, taken out of the command line wherever
// they stand (before "--"): --record FILE, --record=FILE, --redact-client.
// Starts the recording when asked. argv() then holds what is left.
class CliSession {
  public:
    CliSession(int argc, char** argv);
    ~CliSession();
    CliSession(const CliSession&) = delete;
    CliSession& operator=(const CliSession&) = delete;

    // CLI_OK, or the exit code after the failure was reported.
    int status() const { return status_; }
    int argc() const { return int(pointers_.size()) - 1; }
    char** argv() { return pointers_.data(); }

    // Ends the run with the command's exit code: the recording gets its end
    // line, and a replay that differed or was left unfinished says so and
    // turns the code into CLI_TRANSFER. Returns the exit code.
    int end(int exit_code);

  private:
    int status_ = 0;
    bool ended_ = false;
    std::vector<std::string> args_;
    std::vector<char*> pointers_;
};

// The environment variable through which "trevik-cli replay" learns how a
// replayed run went: the number of a file descriptor that receives one JSON
// object.
inline constexpr const char* CLI_REPLAY_VERDICT_FD = "TREVIK_REPLAY_VERDICT_FD";
