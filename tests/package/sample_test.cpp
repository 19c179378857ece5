// The bundled sample package is what res/sample/README.md says it is.
#include <gtest/gtest.h>

#include <cstring>

#include "package/package.h"
#include "support/archive.h"
#include "support/stream.h"
#include "test_util.h"

namespace {

int choose(int kind, uintptr_t value, void*) {
    return kind == 0 ? archive_is_package_name(reinterpret_cast<const char16_t*>(value)) : 0;
}

TEST(SamplePackage, IsOursAndComplete) {
    std::u16string path = utf8_to_wtext(TREVIK_SAMPLE_DIR "/sample.dqv");
    PackageDirectory dir;
    Package* p = package_load_with_directory(path.c_str(), &dir);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(PACKAGE_FORM_C, dir.form);
    EXPECT_EQ(1, package_is_for_customer(p, TOOL_CUSTOMER_NAME, TOOL_CUSTOMER_NAME_LEN));
    ASSERT_EQ(1u, p->program_count);
    EXPECT_EQ(0, std::memcmp(p->programs[0].board_id, "T73A", 4));
    EXPECT_EQ(101u, p->programs[0].version);
    EXPECT_EQ(24576u, p->programs[0].size);
    EXPECT_EQ(8192u, p->boot.size);
    EXPECT_EQ(8192u, p->radar.size);
    EXPECT_EQ(49152u, p->voice.size);
    EXPECT_EQ(98304u, p->gps.size);
    EXPECT_EQ(32768u, p->province_voice.size);
    EXPECT_EQ(6u, p->province_count);
    EXPECT_EQ(1733011200u, p->province_stamp);
    package_free(p);

    // The zipped copy holds the same bytes.
    TempFile out;
    Stream* s = stream_open(out.w(), 1);
    std::u16string zip = utf8_to_wtext(TREVIK_SAMPLE_DIR "/sample.zip");
    ASSERT_EQ(1, archive_extract(zip.c_str(), s, nullptr, choose));
    stream_close(s);
    EXPECT_EQ(pkg_read_file(TREVIK_SAMPLE_DIR "/sample.dqv"), pkg_read_file(out.path()));
}

} // namespace
