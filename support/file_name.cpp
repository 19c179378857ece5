#include "support/file_name.h"

namespace {

template <typename Char> bool has_extension(const std::basic_string<Char>& name, const char* ext) {
    size_t dot = name.rfind(Char('.'));
    size_t at = dot == std::basic_string<Char>::npos ? 0 : dot + 1;
    size_t i = 0;
    for (; ext[i]; ++i, ++at) {
        if (at >= name.size())
            return false;
        Char c = name[at];
        if (c >= Char('A') && c <= Char('Z'))
            c = Char(c - 'A' + 'a');
        if (c != Char(static_cast<unsigned char>(ext[i])))
            return false;
    }
    return at == name.size();
}

} // namespace

bool file_has_extension(const std::string& name, const char* ext) {
    return has_extension(name, ext);
}

bool file_has_extension(const std::u16string& name, const char* ext) {
    return has_extension(name, ext);
}
