// The manifests of a small data set, byte for byte: each phase written as
// part 1 of 1 (one thread, so a fixed order of lines) with a fixed inventory
// seed. Every CRC-32 and content sum below was checked apart from this code
// (Python's zlib.crc32 and xxhash.xxh3_64_intdigest over the files), so a
// change of either function, or of the manifest's text, fails here. A
// manifest of version 2 is read with the version-2 line hash.
#include "TestSupport.h"
#include "integrity/Manifest.h"
#include "part/PartRun.h"

using namespace qem;

namespace {

const char* const pinned[] = {
    "qem manifest 3\n"
    "program qempart\n"
    "channels 10\n"
    "density-code 2\n"
    "users 10\n"
    "seed 1718000000\n"
    "phase 1\n"
    "parts 1\n"
    "part 1\n"
    "file prodhier.qem 9000 657000 031e238f 6b03a2c4e49d7407 9000 657000 6b03a2c4e49d7407\n"
    "file prodtree.qem 10000 370000 5039d42e 0327c23cbb6eeaa5 10000 370000 0327c23cbb6eeaa5\n"
    "file custhier.qem 900 22500 6b822622 fc4a8a3c35e32f34 900 22500 fc4a8a3c35e32f34\n"
    "file custtree.qem 1000 37000 29f0635c a8023f371a0d4b6f 1000 37000 a8023f371a0d4b6f\n"
    "file chanhier.qem 9 117 9704134c 2004b11e9a2762f0 9 117 2004b11e9a2762f0\n"
    "file chantree.qem 10 370 6021617b e423638ef0f57045 10 370 e423638ef0f57045\n"
    "file timehier.qem 24 408 e14cf0b5 855652bb4133dc3f 24 408 855652bb4133dc3f\n"
    "file timetree.qem 34 680 accff141 42a7fad629210b98 34 680 42a7fad629210b98\n"
    "file histsale.qem 1239300 78075900 ce1ce687 580922214ca8582d 1239300 78075900 580922214ca8582d\n"
    "file histinv.qem 76050 14829750 9b41055b c5a24f7894dd2760 76050 14829750 c5a24f7894dd2760\n"
    "file custship.qem 27000 1107000 cd54de06 7ae4648379b51397 27000 1107000 7ae4648379b51397\n"
    "file prodcos.qem 270000 11070000 a38a4b51 13bd565f1ebe91f7 270000 11070000 13bd565f1ebe91f7\n"
    "files 12\n",
    "qem manifest 3\n"
    "program qempart\n"
    "channels 10\n"
    "density-code 2\n"
    "users 10\n"
    "seed 1718000000\n"
    "phase 2\n"
    "parts 1\n"
    "part 1\n"
    "file budget.qem 912600 46542600 2d339a59 4e65bcb3495d62eb 912600 46542600 4e65bcb3495d62eb\n"
    "file currsale.qem 72900 4155300 e26d90e8 ed429426b219707d 72900 4155300 ed429426b219707d\n"
    "file currinv.qem 76050 2661750 ee4fc9c7 bbc77a044a519b62 76050 2661750 bbc77a044a519b62\n"
    "files 3\n",
    "qem manifest 3\n"
    "program qempart\n"
    "channels 10\n"
    "density-code 2\n"
    "users 10\n"
    "seed 1718000000\n"
    "phase 3\n"
    "parts 1\n"
    "part 1\n"
    "file qry001.qem 2500 422500 ca01f16d abb97c07520ac933 2500 422500 abb97c07520ac933\n"
    "file qry002.qem 2500 422500 1a26bf82 e4597d55ddff57b1 2500 422500 e4597d55ddff57b1\n"
    "file qry003.qem 2500 422500 d824693f dcb0272a213ed704 2500 422500 dcb0272a213ed704\n"
    "file qry004.qem 2500 422500 31fc4f2c 22c8657f8de947e5 2500 422500 22c8657f8de947e5\n"
    "file qry005.qem 2500 422500 86c6acf5 60e476ba728360d5 2500 422500 60e476ba728360d5\n"
    "file qry006.qem 2500 422500 4ea1533b 38a0d52c6296b55c 2500 422500 38a0d52c6296b55c\n"
    "file qry007.qem 2500 422500 9eb39757 5174e698cd565efc 2500 422500 5174e698cd565efc\n"
    "file qry008.qem 2500 422500 6d65436b 47dbcad02ec7af7f 2500 422500 47dbcad02ec7af7f\n"
    "file qry009.qem 2500 422500 771ec334 e2b6ef091a32b548 2500 422500 e2b6ef091a32b548\n"
    "file qry010.qem 2500 422500 2711d321 722546d424557d06 2500 422500 722546d424557d06\n"
    "files 10\n",
};

}  // namespace

TEST(Manifest, SmallDataSetIsPinnedByteForByte) {
    qemtest::TempDir directory;
    for (int32_t phase = 1; phase <= 3; ++phase) {
        writePart(PartRequest{10, 2, 10, 1718000000, phase, 1, 1, 1718004242});
        const std::string text = qemtest::readFile(manifestName(phase, 1));
        EXPECT_EQ(text, pinned[phase - 1]) << "phase " << phase;
        std::string error;
        const std::optional<Manifest> m = Manifest::parse(text, error);
        ASSERT_TRUE(m) << error;
        EXPECT_EQ(m->version, 3);
        EXPECT_EQ(m->lineHash(), LineHash::xxh3);
        EXPECT_EQ(m->text(), text);
    }
    // The same text as version 2: read with the version-2 line hash, and written back as version 2.
    std::string two = pinned[1];
    two.replace(0, std::string("qem manifest 3").size(), "qem manifest 2");
    std::string error;
    const std::optional<Manifest> m = Manifest::parse(two, error);
    ASSERT_TRUE(m) << error;
    EXPECT_EQ(m->version, 2);
    EXPECT_EQ(m->lineHash(), LineHash::keyed);
    EXPECT_EQ(m->text(), two);
}
