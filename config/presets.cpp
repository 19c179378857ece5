#include "config/presets.h"

#include "config/records.h"
#include "support/text.h"

#include <cstdio>
#include <cstring>
#include <vector>

const CarrierPreset CARRIER_PRESETS[CARRIER_PRESET_COUNT] = {
    {u"Movistar", u"movistar.es", u"movistar", u"movistar", 1},
    {u"Vodafone", u"ac.vodafone.es", u"vodafone", u"vodafone", 1},
    {u"LOWI", u"lowi.private.omv.es", u"", u"", 1},
    {u"Orange/Amena", u"orangeworld", u"orange", u"orange", 1},
    {u"Eticom", u"internetmas", u"", u"", 1},
    {u"Yoigo", u"internet", u"", u"", 1},
    {u"Simyo", u"gprs-service.com", u"", u"", 1},
    {u"Jazztel", u"jazzinternet", u"", u"", 1},
    {u"Jetnet", u"jet.net", u"", u"", 1},
    {u"Másmovil", u"internetmas", u"", u"", 1},
    {u"Parlem", u"internetmas", u"", u"", 1},
    {u"Happy Móvil nuevo", u"internetmas", u"", u"", 1},
    {u"Happy Móvil", u"internettph", u"", u"", 1},
    {u"Pepephone", u"gprs.pepephone.com", u"", u"", 1},
    {u"Oceans", u"oceans.es", u"", u"", 1},
    {u"Euskaltel", u"internet.euskaltel.mobi", u"CLIENTE", u"EUSKALTEL", 1},
    {u"RACC Tel", u"internet.racc.com", u"RACCMOVILES", u"RACC", 0},
    {u"Telecable", u"internet.telecable.es", u"telecable", u"telecable", 1},
    {u"Ono", u"internet.ono.com", u"", u"", 1},
    {u"R", u"internet.mundo-r.com", u"", u"", 1},
    {u"Carrefour Móvil", u"CARREFOURINTERNET", u"", u"", 1},
    {u"Eroski", u"gprs.eroskimovil.es", u"eroskim", u"eroskim", 1},
    {u"Tuenti Móvil", u"tuenti.com", u"tuenti", u"tuenti", 1},
    {u"Lebara", u"gprsmov.lebaramobile.es", u"", u"", 1},
    {u"Llamaya", u"moreinternet", u"", u"", 1},
    {u"LycaMobile", u"data.lycamobile.es", u"lmes", u"plus", 1},
    {u"DigiMobil", u"internet.digimobil.es", u"digi", u"digi", 1},
    {u"YouMobile", u"youinternet", u"", u"", 1},
    {u"Hits Mobile", u"internet.hits.com", u"", u"", 1},
    {u"Others", u"", u"", u"", 1},
};

namespace {
char16_t fold(char16_t c) {
    if (c >= u'A' && c <= u'Z')
        return char16_t(c + 32);
    // Latin-1 capitals (carrier names and APNs are Western European).
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7)
        return char16_t(c + 32);
    return c;
}

bool equal_nocase(const char16_t* a, const char16_t* b) {
    for (;; ++a, ++b) {
        if (fold(*a) != fold(*b))
            return false;
        if (!*a)
            return true;
    }
}

std::u16string row_text(const char16_t (&t)[CARRIER_TEXT_UNITS]) {
    size_t n = 0;
    while (n < CARRIER_TEXT_UNITS && t[n])
        ++n;
    return std::u16string(t, n);
}

// Lenient decimal value: leading blanks, one sign, digits up to the first
// other character; 0 without digits.
uint32_t lenient_number(const std::u16string& s) {
    return uint32_t(wtext_to_int(s.c_str()));
}
} // namespace

int carrier_preset_match(const char16_t* apn) {
    int found = 0;
    if (!apn)
        return 0;
    for (int i = 0; i < CARRIER_PRESET_COUNT; ++i)
        if (equal_nocase(apn, CARRIER_PRESETS[i].apn))
            found = i; // the last equal row wins
    return found;
}

std::u16string ansi_field_text(const uint8_t* field, size_t width) {
    if (!field)
        return {};
    size_t n = 0;
    while (n < width && field[n])
        ++n;
    if (n == 0)
        return {};
    std::vector<char16_t> buf(n + 1);
    int units =
        ansi_to_wtext(buf.data(), int(buf.size()), reinterpret_cast<const char*>(field), int(n));
    if (units < 0) {
        // Not valid GBK: keep what is plain ASCII so the user still sees it.
        std::u16string out;
        for (size_t i = 0; i < n; ++i)
            out += field[i] < 0x80 ? char16_t(field[i]) : u'?';
        return out;
    }
    return std::u16string(buf.data(), size_t(units));
}

std::string ansi_from_u16(const std::u16string& text) {
    std::string out;
    char buf[16];
    for (size_t i = 0; i < text.size();) {
        size_t len = 1;
        if (text[i] >= 0xD800 && text[i] <= 0xDBFF && i + 1 < text.size())
            len = 2;
        int n = wtext_to_ansi(buf, sizeof buf, text.data() + i, int(len));
        if (n > 0)
            out.append(buf, size_t(n));
        else
            out += '?';
        i += len;
    }
    return out;
}

std::string ansi_cut(const std::string& ansi, size_t width) {
    size_t i = 0;
    while (i < ansi.size()) {
        size_t step = (uint8_t(ansi[i]) >= 0x81 && i + 1 < ansi.size()) ? 2 : 1;
        if (i + step > width)
            break;
        i += step;
    }
    return ansi.substr(0, i);
}

void gprs_select_row(GprsValues& values, int row) {
    if (row == GPRS_UNIT_ROW && values.unit_entry) {
        values.row = row;
        values.apn = values.unit_apn;
        values.user = values.unit_user;
        values.password = values.unit_password;
        values.row_editable = true;
        return;
    }
    if (row < 0 || row >= CARRIER_PRESET_COUNT)
        return;
    const CarrierPreset& p = CARRIER_PRESETS[row];
    values.row = row;
    values.apn = row_text(p.apn);
    values.user = row_text(p.user);
    values.password = row_text(p.password);
    values.row_editable = p.editable != 0;
}

int gprs_list_count(const GprsValues& values) {
    return CARRIER_PRESET_COUNT + (values.unit_entry ? 1 : 0);
}

int gprs_row_of_index(const GprsValues& values, int index) {
    if (values.unit_entry)
        return index == 0 ? GPRS_UNIT_ROW : index - 1;
    return index;
}

int gprs_index_of_row(const GprsValues& values, int row) {
    if (values.unit_entry)
        return row == GPRS_UNIT_ROW ? 0 : row + 1;
    return row;
}

std::u16string gprs_list_name(const GprsValues& values, int index) {
    int row = gprs_row_of_index(values, index);
    if (row == GPRS_UNIT_ROW)
        return values.unit_entry ? values.unit_apn : std::u16string();
    if (row < 0 || row >= CARRIER_PRESET_COUNT)
        return {};
    return row_text(CARRIER_PRESETS[row].name);
}

std::u16string gprs_selected_name(const GprsValues& values) {
    return gprs_list_name(values, gprs_index_of_row(values, values.row));
}

GprsTexts gprs_unit_texts(const GprsValues& v) {
    return GprsTexts{v.unit_apn, v.unit_user, v.unit_password, v.server, v.port};
}

GprsValues gprs_load(int kind, const uint8_t* param, const uint8_t* ss) {
    GprsValues v;
    if (kind == 3) {
        if (!param)
            return v;
        v.unit_apn = ansi_field_text(param + P3_OFF_APN, P3_APN_SIZE);
        v.unit_user = ansi_field_text(param + P3_OFF_USER, P3_USER_SIZE);
        v.unit_password = ansi_field_text(param + P3_OFF_PASSWORD, P3_PASSWORD_SIZE);
        v.server = ansi_field_text(param + P3_OFF_SERVER, P3_SERVER_SIZE);
        v.port = ansi_field_text(param + P3_OFF_PORT, P3_PORT_SIZE);
        v.server_port_editable = true;
    } else {
        if (!server_settings_present(ss))
            return v;
        v.unit_apn = ansi_field_text(ss + SS_OFF_APN, SS_APN_SIZE);
        v.unit_user = ansi_field_text(ss + SS_OFF_USER, SS_USER_SIZE);
        v.unit_password = ansi_field_text(ss + SS_OFF_PASSWORD, SS_PASSWORD_SIZE);
        v.server = ansi_field_text(ss + SS_OFF_SERVER, SS_SERVER_SIZE);
        char port[16];
        std::snprintf(port, sizeof port, "%d", int32_t(rec_u32(ss + SS_OFF_PORT)));
        v.port = std::u16string(port, port + std::strlen(port));
        v.server_port_editable = false;
    }
    v.present = true;
    // An APN that no carrier row has is the user's own access: offer it as
    // an entry of its own rather than a carrier row that would replace it.
    bool listed = false;
    for (int i = 0; i < CARRIER_PRESET_COUNT && !listed; ++i)
        listed = equal_nocase(v.unit_apn.c_str(), CARRIER_PRESETS[i].apn);
    v.unit_entry = !listed;
    gprs_select_row(v, listed ? carrier_preset_match(v.unit_apn.c_str()) : GPRS_UNIT_ROW);
    return v;
}

size_t gprs_text_max(int kind) {
    return kind == 3 ? 27 : 49;
}

size_t gprs_ansi_size(const std::u16string& text) {
    return ansi_from_u16(text).size();
}

GprsCheck gprs_check(int kind, const uint8_t* ss, const GprsTexts& t) {
    if (kind != 3 && !server_settings_present(ss))
        return GPRS_OK;
    // The unit counts bytes: a text of few characters beyond ASCII may not
    // fit, and would be cut short when stored.
    size_t text_max = gprs_text_max(kind);
    if (gprs_ansi_size(t.apn) > text_max)
        return GPRS_BAD_APN;
    if (gprs_ansi_size(t.user) > text_max)
        return GPRS_BAD_USER;
    if (gprs_ansi_size(t.password) > text_max)
        return GPRS_BAD_PASSWORD;
    if (gprs_ansi_size(t.server) > GPRS_SERVER_MAX)
        return GPRS_BAD_SERVER;
    if (gprs_ansi_size(t.port) > GPRS_PORT_MAX)
        return GPRS_BAD_PORT;
    return GPRS_OK;
}

const char* gprs_check_message(GprsCheck result) {
    switch (result) {
    case GPRS_BAD_APN:
        return "APN设置出错！";
    case GPRS_BAD_USER:
        return "用户名出错！";
    case GPRS_BAD_PASSWORD:
        return "密码出错！";
    case GPRS_BAD_SERVER:
        return "服务器出错！";
    case GPRS_BAD_PORT:
        return "端口出错！";
    default:
        return "";
    }
}

namespace {
void put_text(uint8_t* field, size_t width, const std::u16string& text) {
    std::string a = ansi_cut(ansi_from_u16(text), width);
    rec_set_text(field, width, a.data(), a.size());
}
} // namespace

GprsCheck gprs_store(int kind, uint8_t* param, uint8_t* ss, const GprsTexts& t,
                     const GprsTexts* as_loaded) {
    GprsCheck r = gprs_check(kind, ss, t);
    if (r != GPRS_OK)
        return r;
    // A text the user left as it was read keeps the field's bytes, so what
    // the text form cannot carry (bytes after the NUL, a port number beyond
    // what "%d" shows) is not lost by confirming.
    auto changed = [&](std::u16string GprsTexts::*field) {
        return !as_loaded || t.*field != as_loaded->*field;
    };
    if (kind == 3) {
        if (!param)
            return r;
        if (changed(&GprsTexts::apn))
            put_text(param + P3_OFF_APN, P3_APN_SIZE, t.apn);
        if (changed(&GprsTexts::server))
            put_text(param + P3_OFF_SERVER, P3_SERVER_SIZE, t.server);
        if (changed(&GprsTexts::port))
            put_text(param + P3_OFF_PORT, P3_PORT_SIZE, t.port);
        if (changed(&GprsTexts::user))
            put_text(param + P3_OFF_USER, P3_USER_SIZE, t.user);
        if (changed(&GprsTexts::password))
            put_text(param + P3_OFF_PASSWORD, P3_PASSWORD_SIZE, t.password);
    } else if (server_settings_present(ss)) {
        if (changed(&GprsTexts::apn))
            put_text(ss + SS_OFF_APN, SS_APN_SIZE, t.apn);
        if (changed(&GprsTexts::server))
            put_text(ss + SS_OFF_SERVER, SS_SERVER_SIZE, t.server);
        if (changed(&GprsTexts::port))
            rec_set_u32(ss + SS_OFF_PORT, lenient_number(t.port));
        if (changed(&GprsTexts::user))
            put_text(ss + SS_OFF_USER, SS_USER_SIZE, t.user);
        if (changed(&GprsTexts::password))
            put_text(ss + SS_OFF_PASSWORD, SS_PASSWORD_SIZE, t.password);
    }
    return r;
}
