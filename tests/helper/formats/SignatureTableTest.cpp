#include <gtest/gtest.h>

#include "helper/formats/FormatDetector.h"

namespace vf {
namespace {

TEST(SignatureTable, RowsInTheirSignificantOrder) {
    using F = FileFormat;
    const std::vector<F> order = {F::crw, F::cr2, F::orf,  F::orf, F::orf,  F::mrw,  F::cr3, F::cr3, F::raf, F::x3f,
                                  F::rw2, F::fff, F::iiq,  F::braw, F::mxf, F::mts,  F::png, F::gif, F::gif, F::bmp,
                                  F::webp, F::avi, F::mp4, F::mov, F::mov,  F::jpeg, F::ppm, F::ppm, F::tiff, F::tiff};
    const auto& table = allSignatures();
    ASSERT_EQ(table.size(), order.size());
    for (std::size_t i = 0; i < table.size(); ++i) {
        const FormatSignature& s = table[i];
        EXPECT_EQ(s.format, order[i]) << "row " << i + 1;
        EXPECT_FALSE(s.magic.empty()) << "row " << i + 1;
        if (s.mask) {
            EXPECT_EQ(s.mask->size(), s.magic.size()) << "row " << i + 1;
        }
        const bool atFour = i == 7 || i == 22 || i == 23 || i == 24;
        EXPECT_EQ(s.offset, atFour ? 4 : 0) << "row " << i + 1;
    }
    EXPECT_EQ(table[8].magic.size(), 15u);                     // "FUJIFILMCCD-RAW"
    EXPECT_EQ(table[1].mask->at(4), 0x00);                     // cr2: four free bytes
    EXPECT_EQ(table[20].magic.size(), 12u);                    // "RIFF", size, "WEBP"
}

TEST(SignatureTable, TransportStreamRowHasThreeSyncBytes) {
    const FormatSignature& ts = allSignatures()[15];
    ASSERT_EQ(ts.magic.size(), 377u);
    ASSERT_TRUE(ts.mask);
    for (std::size_t i = 0; i < 377; ++i) {
        const bool sync = i == 0 || i == 188 || i == 376;
        EXPECT_EQ(ts.magic[i], sync ? 0x47 : 0x00) << i;
        EXPECT_EQ((*ts.mask)[i], sync ? 0xFF : 0x00) << i;
    }
}

}  // namespace
}  // namespace vf
