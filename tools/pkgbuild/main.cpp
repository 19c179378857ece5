// trevik-pkgbuild: writes test packages (and zips holding them) from options.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "package/package.h"
#include "trevik_version.h"
#include "tools/pkgbuild/pkgbuild.h"

namespace {

// "NAME:VALUE" split at the last ':'.
bool split_pair(const std::string& s, std::string* name, std::string* value) {
    auto at = s.rfind(':');
    if (at == std::string::npos || at == 0 || at + 1 == s.size())
        return false;
    *name = s.substr(0, at);
    *value = s.substr(at + 1);
    return true;
}

} // namespace

int build(const std::string& form, uint32_t version, const std::string& customer,
          bool short_programs, uint32_t seed, const std::vector<std::string>& programs,
          const std::vector<std::string>& sizes, const std::vector<std::string>& files,
          const std::vector<std::string>& provinces, uint32_t stamp, bool empty_province_table,
          const std::string& out, const std::string& zip_out, const std::string& zip_entry);

int main(int argc, char** argv) {
    CLI::App app{"Writes a test update package (.dqv) and optionally a zip holding it"};
    std::string out;
    std::string zip_out;
    std::string zip_entry = "update.dqv";
    std::string form = "C";
    uint32_t version = 5;
    std::string customer;
    uint32_t seed = 1;
    bool short_programs = false;
    std::vector<std::string> programs;
    std::vector<std::string> sizes;
    std::vector<std::string> files;
    std::vector<std::string> provinces;
    uint32_t stamp = 0;
    bool empty_province_table = false;

    app.set_version_flag("--version", std::string("trevik-pkgbuild ") + TREVIK_VERSION);
    app.add_option("-o,--output", out, "Package file to write")->required();
    app.add_option("--zip", zip_out, "Also write a zip archive holding the package");
    app.add_option("--zip-entry", zip_entry, "Name of the package inside the zip")
        ->capture_default_str();
    app.add_option("--form", form, "Trailer form")
        ->check(CLI::IsMember({"A", "B", "C"}))
        ->capture_default_str();
    app.add_option("--dir-version", version, "Directory version (form C)")->capture_default_str();
    app.add_option("--customer", customer,
                   "Customer name at the start of the client id "
                   "(default: this build's customer)");
    app.add_option("--seed", seed, "Seed of the generated payload bytes")->capture_default_str();
    app.add_flag("--short-programs", short_programs, "Short program-table layout");
    app.add_option("--program", programs,
                   "Program entry BOARD:SIZE[:VERSION[:FLAGS[:SERVER_SIZE[:TRACK_SIZE]]]]; "
                   "FLAGS letters b c d l g r (variant B, C, D, layout502, legacy, server "
                   "reset), '-' for none");
    app.add_option("--section", sizes, "Generated payload N:SIZE for section N (1, 3-7, 9-13)");
    app.add_option("--section-file", files, "Payload N:PATH taken from a file (plain bytes)");
    app.add_option("--province", provinces,
                   "Province INDEX:RECORDS (index 0..33 of the province names)");
    app.add_option("--stamp", stamp, "Province database stamp (seconds since 1970)");
    app.add_flag("--province-table", empty_province_table,
                 "Write a province table even without provinces");
    CLI11_PARSE(app, argc, argv);
    try {
        return build(form, version, customer, short_programs, seed, programs, sizes, files,
                     provinces, stamp, empty_province_table, out, zip_out, zip_entry);
    } catch (const std::exception&) {
        std::fprintf(stderr, "bad number in the options\n");
        return 2;
    }
}

int build(const std::string& form, uint32_t version, const std::string& customer,
          bool short_programs, uint32_t seed, const std::vector<std::string>& programs,
          const std::vector<std::string>& sizes, const std::vector<std::string>& files,
          const std::vector<std::string>& provinces, uint32_t stamp, bool empty_province_table,
          const std::string& out, const std::string& zip_out, const std::string& zip_entry) {

    PkgDescription d;
    d.form = form == "A" ? PACKAGE_FORM_A : form == "B" ? PACKAGE_FORM_B : PACKAGE_FORM_C;
    d.version = version;
    d.customer = customer;
    d.extended_programs = !short_programs;
    uint32_t next_seed = seed * 100;

    for (const std::string& p : programs) {
        std::vector<std::string> parts;
        size_t start = 0;
        for (size_t at; (at = p.find(':', start)) != std::string::npos; start = at + 1)
            parts.push_back(p.substr(start, at - start));
        parts.push_back(p.substr(start));
        if (parts.size() < 2 || parts.size() > 6 || parts[0].size() != 4) {
            std::fprintf(stderr, "bad --program %s\n", p.c_str());
            return 2;
        }
        PkgProgram prog;
        prog.board_id = parts[0];
        prog.image = pkg_pattern(std::stoul(parts[1], nullptr, 0), next_seed++);
        if (parts.size() > 2)
            prog.version = static_cast<uint32_t>(std::stoul(parts[2]));
        if (parts.size() > 3) {
            for (char c : parts[3]) {
                prog.variant_b |= c == 'b';
                prog.variant_c |= c == 'c';
                prog.variant_d |= c == 'd';
                prog.layout502 |= c == 'l';
                prog.legacy |= c == 'g';
                prog.server_reset |= c == 'r';
            }
        }
        if (parts.size() > 4)
            prog.server_size = static_cast<uint32_t>(std::stoul(parts[4], nullptr, 0));
        if (parts.size() > 5)
            prog.track_size = static_cast<uint32_t>(std::stoul(parts[5], nullptr, 0));
        d.programs.push_back(prog);
    }
    for (const std::string& s : sizes) {
        std::string n, v;
        if (!split_pair(s, &n, &v)) {
            std::fprintf(stderr, "bad --section %s\n", s.c_str());
            return 2;
        }
        d.sections[std::stoi(n)] = pkg_pattern(std::stoul(v, nullptr, 0), next_seed++);
    }
    for (const std::string& s : files) {
        std::string n, path;
        if (!split_pair(s, &n, &path)) {
            std::fprintf(stderr, "bad --section-file %s\n", s.c_str());
            return 2;
        }
        Bytes data = pkg_read_file(path);
        if (data.empty()) {
            std::fprintf(stderr, "cannot read %s\n", path.c_str());
            return 1;
        }
        d.sections[std::stoi(n)] = data;
    }
    for (const std::string& s : provinces) {
        std::string n, v;
        int index = -1;
        if (split_pair(s, &n, &v))
            index = std::stoi(n);
        if (index < 0 || index >= PROVINCE_COUNT) {
            std::fprintf(stderr, "bad --province %s\n", s.c_str());
            return 2;
        }
        PkgProvince prov;
        prov.name = PROVINCE_NAMES[index];
        prov.records = pkg_province_records(std::stoul(v), next_seed++);
        d.provinces.push_back(prov);
    }
    d.province_table = empty_province_table || !d.provinces.empty();
    d.province_stamp = stamp;

    Bytes file = pkgbuild_bytes(d);
    if (file.empty()) {
        std::fprintf(stderr, "the description cannot be written in form %s\n", form.c_str());
        return 1;
    }
    if (!pkg_write_file(out, file)) {
        std::fprintf(stderr, "cannot write %s\n", out.c_str());
        return 1;
    }
    if (!zip_out.empty() && !pkgbuild_zip(zip_out, {PkgZipEntry{zip_entry, file}})) {
        std::fprintf(stderr, "cannot write %s\n", zip_out.c_str());
        return 1;
    }
    return 0;
}
