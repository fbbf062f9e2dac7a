// The binding to the format library: the length that a header declares, in its 16-bit and
// 32-bit forms, and the ID text of the library's server ID.
#include "formats/library.h"

#include <gtest/gtest.h>

#include <string>

#include "velto.h"

using velto_test::from_hex;
using velto_test::representation;
using velto_test::server_id;

namespace {

TEST(DeclaredLength, BytesZeroAndOneAndWhenByteThreeIsSetSixAndSeven) {
    const struct {
        const char* header_hex;
        uint32_t declared;
    } cases[] = {
        {"0008000000000000", 8},
        {"1234000000000000", 0x1234},
        {"000800000000ffff", 8},          // byte 3 zero: bytes 6 and 7 are not read
        {"000a000100000000", 10},         // byte 3 set, bytes 6 and 7 zero
        {"0000000100000001", 0x10000},
        {"ffff00ffffffffff", 0xffffffff},
        {"0008aa00bbcc0000", 8},          // bytes 2, 4 and 5 are never read
        {"fff70001ffff004f", 0x4ffff7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.header_hex);
        const std::string header = from_hex(c.header_hex);
        EXPECT_EQ(declared_length(reinterpret_cast<const unsigned char*>(header.data())), c.declared);
    }
}

TEST(ServerIdText, IsTheLowercaseHexOfTheLibrarysId) {
    std::string zero_declared(8, '\0');
    for (const std::string& rep : {representation(16, 1), representation(300, 2),
                                   representation(70000, 3), zero_declared + "tail"}) {
        SCOPED_TRACE(rep.size());
        char id_text[ID_TEXT_BUFFER_SIZE];
        ASSERT_TRUE(server_id_text(reinterpret_cast<const unsigned char*>(rep.data()), id_text));
        EXPECT_EQ(id_text, server_id(rep));
    }
}

}  // namespace
