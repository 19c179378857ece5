// What a file's name says of its kind: its extension, compared the way the
// user's file names are meant (ASCII letters in any case).
#pragma once

#include <string>

// Whether the text after name's last '.' (the whole name when it has none)
// is ext, letters A-Z taken as a-z. ext is plain lower-case ASCII without
// the dot ("dqv", "zip"). name is UTF-8 or UTF-16.
bool file_has_extension(const std::string& name, const char* ext);
bool file_has_extension(const std::u16string& name, const char* ext);
