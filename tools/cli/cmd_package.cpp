// trevik-cli inspect / provinces / merge: what a package holds, its
// provinces, and the merged province image exactly as it would go to the
// unit.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <unistd.h>
#include <vector>

#include "update/failure_text.h"
#include "update/package_open.h"
#include "update/write_plan.h"
#include "support/date.h"
#include "package/package.h"
#include "package/package_check.h"
#include "support/archive.h"
#include "support/hex.h"
#include "support/stream.h"
#include "support/text.h"
#include "support/platform.h"
#include "tools/cli/cli.h"
#include "tools/cli/safety.h"
#include "tools/pkgbuild/pkgbuild.h"

namespace {

using Json = CliJson;

constexpr const char* OPEN_FAILED = "Open update file failed!";

const char* section_title(int number) {
    static const char* titles[] = {"",
                                   "boot image",
                                   "program table",
                                   "radar-mute data",
                                   "voice data",
                                   "GPS data",
                                   "update-tool image",
                                   "voice data, variant B",
                                   "province GPS table",
                                   "voice data, province mode",
                                   "voice data, province mode, variant B",
                                   "voice data, variant C",
                                   "voice data, variants C and B",
                                   "GPS data, variant D"};
    return number >= 1 && number <= SECTION_COUNT ? titles[number] : "";
}

// A package from a .dqv file, or from the package inside a zip archive
// (unpacked the way an update unpacks it, into the tool's private temporary
// directory, and removed again). Null when neither works; *why then says
// what is wrong with the file.
Package* load_package(const std::string& path, PackageDirectory* dir, PackageCheck* why) {
    std::u16string wpath = utf8_to_wtext(path);
    if (Package* p = package_load_with_directory(wpath.c_str(), dir))
        return p;
    if (!package_file_is_archive(wpath)) {
        *why = package_check(wpath.c_str(), nullptr, 0);
        return nullptr;
    }
    *why = package_check_archive(wpath.c_str());
    OpenedPackage opened;
    Package* p = nullptr;
    // A run directory of this process's own: another look at the same file
    // at the same time unpacks into one of its own.
    if (package_open(wpath, utf8_to_wtext("inspect-" + std::to_string(getpid()) + "-"), nullptr,
                     &opened)) {
        p = package_load_with_directory(opened.path.c_str(), dir);
        if (!p)
            *why = package_check(opened.path.c_str(), nullptr, 0);
    }
    package_close(&opened);
    return p;
}

// The failure of a package that could not be loaded.
int package_failure(const PackageCheck& why) {
    return cli_fail(CLI_BAD_PACKAGE, OPEN_FAILED, failure_text_package(why));
}

// GBK text (up to its terminator) as UTF-8.
std::string gbk_to_utf8(const char* text) {
    char16_t w[256] = {};
    if (ansi_to_wtext(w, 256, text, -1) < 0)
        return text;
    return wtext_to_utf8(w);
}

std::string board_text(const char id[4]) {
    size_t n = 4;
    while (n > 0 && id[n - 1] == 0)
        --n;
    return std::string(id, n);
}

Json sha_or_null(const uint8_t* data, size_t n) {
    return data ? Json(sha256_hex(data, n)) : Json(nullptr);
}

// Whether a section is present in the sense of the in-memory package.
bool present(const Package* p, int number) {
    if (number == SECTION_PROGRAMS)
        return p->program_count > 0;
    if (number == SECTION_PROVINCES)
        return p->province_count > 0;
    const PackageSection* s = package_section(p, number);
    return s && s->size > 0 && s->data;
}

// The date in the header of a data area as the unit shows it once written
// (the day, as info shows the unit's); null when the package has none.
Json data_date(const Package* p, int number, const char* area) {
    const PackageSection* s = package_section(p, number);
    uint32_t seconds =
        s && s->data ? write_plan_header_seconds(area, s->data, s->size) : 0xFFFFFFFFu;
    if (seconds == 0xFFFFFFFFu)
        return nullptr;
    DateStamp d;
    seconds_to_date(&d, seconds);
    return cli_date_json(d.year * 10000u + d.month * 100u + d.day);
}

// The data dates, to hold against the unit's (info).
Json data_dates(const Package* p) {
    return {{"voice", data_date(p, SECTION_VOICE, AREA_VOICE)},
            {"radar_mute", data_date(p, SECTION_RADAR, AREA_RADAR_MUTE)},
            {"gps", data_date(p, SECTION_GPS, AREA_GPS)}};
}

Json describe(const Package* p, const PackageDirectory& dir) {
    Json j;
    j["form"] = package_form_name(dir.form);
    j["version"] = directory_version(&dir);
    j["client_id_hex"] = hex_lower(p->client_id, CLIENT_ID_SIZE);
    j["program_layout"] = p->program_count == 0 ? Json(nullptr)
                          : p->program_layout   ? Json("extended")
                                                : Json("short");
    Json sections = Json::array();
    for (int n = 1; n <= SECTION_COUNT; ++n) {
        if (!present(p, n))
            continue;
        Json s;
        s["number"] = n;
        s["offset"] = directory_offset(&dir, n);
        s["size"] = directory_size(&dir, n);
        const PackageSection* sec = package_section(p, n);
        s["sha256"] = sec ? sha_or_null(sec->data, sec->size) : Json(nullptr);
        sections.push_back(s);
    }
    j["sections"] = sections;
    Json programs = Json::array();
    for (uint32_t i = 0; i < p->program_count; ++i) {
        const ProgramImage& img = p->programs[i];
        Json e;
        e["board_id"] = board_text(img.board_id);
        e["size"] = img.size;
        e["server_size"] = img.server_size;
        // The package's 0/1 words are flags: booleans, as in every object.
        e["variant_b"] = img.variant_b != 0;
        e["version"] = img.version;
        e["layout502"] = img.layout502 != 0;
        e["variant_c"] = img.variant_c != 0;
        e["variant_d"] = img.variant_d != 0;
        e["legacy"] = img.legacy != 0;
        e["track_size"] = img.track_size;
        e["server_reset"] = img.server_reset != 0;
        e["sha256"] = sha_or_null(img.data, img.size);
        programs.push_back(e);
    }
    j["programs"] = programs;
    j["data_dates"] = data_dates(p);
    // The stamp counts seconds since 1970 (UTC): a time like every other.
    j["province_stamp"] = p->province_count > 0 && p->province_stamp
                              ? Json(utc_time_text(std::time_t(p->province_stamp)))
                              : Json(nullptr);
    Json provinces = Json::array();
    for (uint32_t i = 0; i < p->province_count; ++i) {
        const ProvinceGps& prov = p->provinces[i];
        Json e;
        e["name"] = gbk_to_utf8(prov.name);
        e["records"] = prov.record_count;
        e["sha256"] = prov.records ? Json(sha256_hex(prov.records, size_t{prov.record_count} * 12))
                                   : Json(sha256_hex(nullptr, 0));
        provinces.push_back(e);
    }
    j["provinces"] = provinces;
    return j;
}

std::string printable(const uint8_t* data, size_t n) {
    std::string out;
    for (size_t i = 0; i < n && data[i]; ++i)
        out.push_back(data[i] >= 0x20 && data[i] < 0x7F ? static_cast<char>(data[i]) : '.');
    while (!out.empty() && out.back() == ' ')
        out.pop_back();
    return out;
}

void print_text(const Package* p, const PackageDirectory& dir) {
    std::printf("form %s, directory version %u\n", package_form_name(dir.form),
                directory_version(&dir));
    std::printf("client id: \"%s\"\n", printable(p->client_id, CLIENT_ID_SIZE).c_str());
    std::printf("sections:\n");
    for (int n = 1; n <= SECTION_COUNT; ++n) {
        if (!present(p, n))
            continue;
        std::printf("  %2d %-38s offset %10u  size %10u\n", n, section_title(n),
                    directory_offset(&dir, n), directory_size(&dir, n));
    }
    if (p->program_count > 0) {
        std::printf("programs (%s layout):\n", p->program_layout ? "extended" : "short");
        for (uint32_t i = 0; i < p->program_count; ++i) {
            const ProgramImage& m = p->programs[i];
            std::printf("  %-4s size %8u version %u server %u track %u%s%s%s%s%s%s%s\n",
                        board_text(m.board_id).c_str(), m.size, m.version, m.server_size,
                        m.track_size, m.variant_b ? " variant-B" : "",
                        m.variant_c ? " variant-C" : "", m.variant_d ? " variant-D" : "",
                        m.layout502 ? " layout502" : "", m.legacy ? " legacy" : "",
                        m.server_reset ? " server-reset" : "", m.data ? "" : " (image absent)");
        }
    }
    Json dates = data_dates(p);
    auto day = [&dates](const char* key) {
        return dates[key].is_string() ? dates[key].get<std::string>() : std::string("-");
    };
    std::printf("data dates: voice %s, radar mute %s, GPS %s\n", day("voice").c_str(),
                day("radar_mute").c_str(), day("gps").c_str());
    if (p->province_count > 0) {
        std::printf("provinces (stamp %u):\n", p->province_stamp);
        for (uint32_t i = 0; i < p->province_count; ++i)
            std::printf("  %s: %u records\n", cli_ansi_text(p->provinces[i].name).c_str(),
                        p->provinces[i].record_count);
    }
}

struct InspectArgs {
    std::string file;
};

void setup_inspect(CLI::App& root, int* exit_code) {
    static InspectArgs args;
    CLI::App* cmd = root.add_subcommand(
        "inspect", "Show what an update package (.dqv, or a zip holding one) contains");
    cmd->add_option("FILE", args.file, "Package or zip archive")->required();
    cli_add_json_flags(cmd);
    cmd->callback([exit_code] {
        if (int code = cli_refuse_special_package(args.file); code != CLI_OK) {
            *exit_code = code;
            return;
        }
        PackageDirectory dir;
        PackageCheck why;
        Package* p = load_package(args.file, &dir, &why);
        if (!p) {
            *exit_code = package_failure(why);
            return;
        }
        if (cli_json())
            cli_print_json(describe(p, dir));
        else
            print_text(p, dir);
        package_free(p);
        *exit_code = CLI_OK;
    });
}

// One item of the province list: an index 0..33 or a name (UTF-8).
int province_index(const std::string& item) {
    if (!item.empty() && item.find_first_not_of("0123456789") == std::string::npos) {
        int v = item.size() <= 2 ? std::atoi(item.c_str()) : -1;
        return v >= 0 && v < PROVINCE_COUNT ? v : -1;
    }
    std::u16string w = utf8_to_wtext(item);
    char gbk[64];
    if (wtext_to_ansi(gbk, sizeof gbk, w.c_str(), static_cast<int>(w.size())) < 0)
        return -1;
    for (int k = 0; k < PROVINCE_COUNT; ++k)
        if (std::strcmp(gbk, PROVINCE_NAMES[k]) == 0)
            return k;
    return -1;
}

struct MergeArgs {
    std::string file;
    std::string provinces;
    std::string out;
};

void setup_merge(CLI::App& root, int* exit_code) {
    static MergeArgs args;
    CLI::App* cmd =
        root.add_subcommand("merge", "Write the merged, scrambled GPS image of chosen provinces");
    cmd->add_option("FILE", args.file, "Package or zip archive")->required();
    cmd->add_option("--provinces", args.provinces,
                    "Comma-separated province indices 0..33 or names")
        ->required();
    cmd->add_option("-o,--output", args.out, "File to write the image to")->required();
    cli_add_json_flags(cmd);
    cmd->callback([exit_code] {
        int flags[PROVINCE_COUNT] = {};
        size_t start = 0;
        for (;;) {
            size_t comma = args.provinces.find(',', start);
            std::string item = args.provinces.substr(start, comma - start);
            while (!item.empty() && item.front() == ' ')
                item.erase(item.begin());
            while (!item.empty() && item.back() == ' ')
                item.pop_back();
            int k = province_index(item);
            if (k < 0) {
                *exit_code = cli_fail(CLI_USAGE, "unknown province \"" + item +
                                                     "\" (use 0..33 or a province name)");
                return;
            }
            flags[k] = 1;
            if (comma == std::string::npos)
                break;
            start = comma + 1;
        }
        if (int code = cli_refuse_special_package(args.file); code != CLI_OK) {
            *exit_code = code;
            return;
        }
        PackageDirectory dir;
        PackageCheck why;
        Package* p = load_package(args.file, &dir, &why);
        if (!p) {
            *exit_code = package_failure(why);
            return;
        }
        int code = CLI_OK;
        if (p->province_count == 0) {
            code = cli_fail(CLI_FAILED, args.file + " has no province table: nothing to merge");
        } else if (!package_merge_provinces(p, flags)) {
            code = cli_fail(CLI_FAILED, "cannot build the merged image (out of memory)");
        } else if (!pkg_write_file(args.out, Bytes(p->merged_gps.data,
                                                   p->merged_gps.data + p->merged_gps.size))) {
            code = cli_fail(CLI_FAILED, "cannot write " + args.out);
        } else if (cli_json()) {
            cli_print_json(Json{{"output", args.out}, {"size", p->merged_gps.size}});
        } else {
            std::printf("wrote %s: %u bytes\n", args.out.c_str(), p->merged_gps.size);
        }
        package_free(p);
        *exit_code = code;
    });
}

bool ascii_lower_equal(const char* a, const char* b) {
    for (;; ++a, ++b) {
        char x = *a >= 'A' && *a <= 'Z' ? char(*a - 'A' + 'a') : *a;
        char y = *b >= 'A' && *b <= 'Z' ? char(*b - 'A' + 'a') : *b;
        if (x != y)
            return false;
        if (!x)
            return true;
    }
}

// The number --provinces takes for a province of the package's table: the
// index of its name, when the table entry is the one a merge would take for
// that name (the first of its name). -1 otherwise.
int province_number(const Package* p, uint32_t entry) {
    for (int k = 0; k < PROVINCE_COUNT; ++k) {
        if (!ascii_lower_equal(p->provinces[entry].name, PROVINCE_NAMES[k]))
            continue;
        for (uint32_t i = 0; i < entry; ++i)
            if (ascii_lower_equal(p->provinces[i].name, PROVINCE_NAMES[k]))
                return -1;
        return k;
    }
    return -1;
}

struct ProvincesArgs {
    std::string file;
};

void setup_provinces(CLI::App& root, int* exit_code) {
    static ProvincesArgs args;
    CLI::App* cmd = root.add_subcommand(
        "provinces",
        "List the provinces of a per-province package with the numbers --provinces takes");
    cmd->add_option("FILE", args.file, "Package or zip archive")->required();
    cli_add_json_flags(cmd);
    cmd->callback([exit_code] {
        if (int code = cli_refuse_special_package(args.file); code != CLI_OK) {
            *exit_code = code;
            return;
        }
        PackageDirectory dir;
        PackageCheck why;
        Package* p = load_package(args.file, &dir, &why);
        if (!p) {
            *exit_code = package_failure(why);
            return;
        }
        Json list = Json::array();
        for (uint32_t i = 0; i < p->province_count; ++i) {
            int k = province_number(p, i);
            Json e;
            e["number"] = k >= 0 ? Json(k) : Json(nullptr);
            e["name"] = gbk_to_utf8(p->provinces[i].name);
            e["records"] = p->provinces[i].record_count;
            list.push_back(e);
        }
        if (cli_json()) {
            cli_print_json(Json{{"per_province", p->province_count > 0}, {"provinces", list}});
        } else if (p->province_count == 0) {
            cli_note(args.file + " has no province table: it is not a per-province package");
        } else {
            for (uint32_t i = 0; i < p->province_count; ++i) {
                int k = province_number(p, i);
                std::string number = k >= 0 ? std::to_string(k) : std::string("-");
                std::printf("%2s %s: %u records\n", number.c_str(),
                            cli_ansi_text(p->provinces[i].name).c_str(),
                            p->provinces[i].record_count);
            }
        }
        package_free(p);
        *exit_code = CLI_OK;
    });
}

const CliRegistrar inspect_registrar(setup_inspect);
const CliRegistrar provinces_registrar(setup_provinces);
const CliRegistrar merge_registrar(setup_merge);

} // namespace
