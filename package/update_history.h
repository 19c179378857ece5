// The files the tool keeps about the units it wrote: a state directory of
// this user's own, and the update history there, one JSON object per line
// for every run that reached a unit.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

struct QV_Machine;

// $XDG_STATE_HOME/trevik when XDG_STATE_HOME is an absolute path, else
// $HOME/.local/state/trevik. Empty when neither can be found.
std::string trevik_state_directory();

// Creates dir and its missing parents, the new ones readable by this user
// alone. Returns "" or the reason it cannot be used.
std::string make_private_directory(const std::string& dir);

// The history file inside a state directory.
std::string update_history_path(const std::string& state_dir);

// The unit as the history keeps it: client id, board, boot and program
// version, and the dates of its voice, radar-mute and GPS data
// (yyyy-mm-dd, null when the unit has none).
nlohmann::json history_unit_state(const QV_Machine* m);

// SHA-256 of a whole file, read in pieces, as 64 lower-case hex digits;
// empty when the file cannot be read.
std::string history_file_sha256(const std::string& path);

// The current time in UTC as 2026-12-10T13:05:22Z.
std::string history_time_now();

// Appends entry as one line. Returns "" or why the history could not be
// written.
std::string update_history_append(const std::string& state_dir, const nlohmann::json& entry);

// The entries in file order; lines that are not JSON objects are skipped.
// Empty when there is no history yet.
std::vector<nlohmann::json> update_history_read(const std::string& state_dir);
