// Faults the hostile drive found, one test each, named for what it guards. The script that
// found each is kept in tests/fuzz/corpus/hostile/ (named in the comment).
#include "sg/sg_io.h"
#include "sg/verdict.h"

#include <cstring>
#include <gtest/gtest.h>
#include <scsi/sg.h>

namespace {

// A WRITE BUFFER request as send_io leaves it after a CHECK CONDITION (masked status 01h,
// DRIVER_SENSE) that brought sense_len bytes of sense beginning with response code `code`;
// the bytes the driver did not write read as zero, so the key field reads NO SENSE.
SgRequest check_condition_with(uint8_t code, uint8_t sense_len) {
    SgRequest req{};
    req.data_len = 4096;
    sg_io_hdr_t hdr{};
    hdr.masked_status = 0x01;
    hdr.driver_status = 0x08;
    hdr.sb_len_wr = sense_len;
    uint8_t sense[SG_SENSE_LEN] = {code};
    apply_io_result(&req, &hdr, sense);
    return req;
}

// hostile-5bbe050eba7dc639.bin: a WRITE BUFFER answered with CHECK CONDITION and ILLEGAL
// REQUEST sense of which the driver delivered one byte was reported "Download SUCCESSFUL".
TEST(Regressions, WriteBufferCheckConditionWithSenseCutBeforeTheKeyFails) {
    struct Case {
        uint8_t code, len;
        bool fails;
    };
    const Case cases[] = {
        {0x70, 1, true}, {0x70, 2, true},  {0x71, 2, true},  {0x72, 1, true},
        {0x73, 1, true}, {0x70, 3, false}, {0x72, 2, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "response code " << std::hex << int{c.code} << ", "
                                        << std::dec << int{c.len} << " bytes");
        CommandVerdict v =
            judge_write_buffer_command(classify_command(0, check_condition_with(c.code, c.len)));
        EXPECT_EQ(v.failed, c.fails);
        if (c.fails) {
            EXPECT_TRUE(v.explained);
            EXPECT_STREQ(v.reason, ("CHECK CONDITION with " + std::to_string(c.len) +
                                    " bytes of sense data, too few for a sense key")
                                       .c_str());
        }
    }
}

} // namespace
