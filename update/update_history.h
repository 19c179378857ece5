// The files the tool keeps about the units it wrote: a state directory of
// this user's own, and the update history there, one JSON object per line
// for every run that reached a unit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

struct QV_Machine;

// $XDG_STATE_HOME/trevik when XDG_STATE_HOME is an absolute path, else
// $HOME/.local/state/trevik when HOME is an absolute path naming an
// existing folder (a home folder is never made). Empty when neither can be
// used.
std::string trevik_state_directory();

// Why there is no state directory, naming the variable that cannot be used
// and why; "" when there is one.
std::string trevik_state_directory_problem();

// Creates dir and its missing parents, the new ones readable by this user
// alone. Returns "" or the reason it cannot be used (for an empty dir, why
// there is no state directory).
std::string make_private_directory(const std::string& dir);

// The history file inside a state directory.
std::string update_history_path(const std::string& state_dir);

// The unit as the history keeps it: client id, the path it was reached at
// and its USB serial (null when none), board, boot and program version, and the dates of its voice, radar-mute and GPS data
// (yyyy-mm-dd, null when the unit has none).
nlohmann::json history_unit_state(const QV_Machine* m);

// SHA-256 of a whole file, read in pieces, as 64 lower-case hex digits;
// empty when the file cannot be read.
std::string history_file_sha256(const std::string& path);
// The same of an open file, read from its start without moving its offset.
std::string history_fd_sha256(int fd);

// The current time in UTC as 2026-12-10T13:05:22Z.
std::string history_time_now();

// The text of entry as a history line, newline included.
std::string update_history_line(const nlohmann::json& entry);

// Appends one line (ending in a newline) to the history file at path with a
// single write, after a newline of its own when the file does not end in
// one (a line torn by a full disk). Uses only calls a signal handler may
// make. Something other than a regular file at path (a FIFO, a folder) is
// left alone and never waited on. Returns 0, or the errno of the step that
// failed (-1: short write, HISTORY_NOT_REGULAR: not a regular file).
int update_history_append_line(const char* path, const char* line, size_t length);
inline constexpr int HISTORY_NOT_REGULAR = -2;

// Why a history file at path that is no regular file is not used.
std::string history_not_regular_text(const std::string& path);

// text with every control character (C0, DEL, C1) and every byte that
// starts no UTF-8 character shown as \xNN, so a name in the history can
// neither add a line nor reach the terminal as an escape sequence.
std::string history_printable(const std::string& text);

// Appends entry as one line. Returns "" or why the history could not be
// written.
std::string update_history_append(const std::string& state_dir, const nlohmann::json& entry);

// Whether j is a line as the tool writes it: an object with the time, one
// of the results the tool records and the unit, and each field the tool
// writes (when there) of the type the tool writes it in.
bool update_history_entry_valid(const nlohmann::json& j);

// Reads the history line by line, calling fn with each entry the tool wrote
// in file order; other lines (not JSON, of other fields or types, torn) are
// skipped and counted. Returns the count skipped. Nothing is kept between
// lines, so a long history costs one line's memory. A history that is no
// regular file is not read: *refused (when given) then says why, else "".
size_t update_history_each(const std::string& state_dir,
                           const std::function<void(const nlohmann::json&)>& fn,
                           std::string* refused = nullptr);

// The entries in file order, lines that are not the tool's skipped (their
// count in *skipped when not null). Empty when there is no history yet.
std::vector<nlohmann::json> update_history_read(const std::string& state_dir,
                                                size_t* skipped = nullptr);
