// Internal to the Windows side of the platform seam (*_win.cpp): UTF-8
// paths and texts to the UTF-16 the wide Windows calls take, and back.
#pragma once

#include <string>

// UTF-8 to UTF-16 (invalid bytes become U+FFFD).
std::wstring win_wide(const std::string& utf8);
// UTF-16 to UTF-8.
std::string win_utf8(const std::wstring& wide);
// Sets errno from a Windows error code (GetLastError()).
void win_set_errno(unsigned long error);
// The current user's SID as text, or empty.
std::wstring win_user_sid();
// Gives the folder dir an access list for this user alone, not inherited
// from its parent: on a new folder (create) or an existing one.
bool win_make_private(const std::wstring& dir, bool create);
