#include "host/host_reader.h"
#include "host/host_view.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const char *k_heading = "Filename\t\t\t\tType\t\tSize\t\tUsed\t\tPriority\n";

// A disk sdc (8:32) and its partitions sdc1 to sdc4 (8:33 to 8:36), with holders.
std::vector<BlockEntry> sdc(std::vector<std::string> sdc2_holders = {},
                            std::vector<std::string> sdc3_holders = {}) {
    return {{"sdc", 8, 32, {}},
            {"sdc1", 8, 33, {}},
            {"sdc2", 8, 34, sdc2_holders},
            {"sdc3", 8, 35, sdc3_holders},
            {"sdc4", 8, 36, {}}};
}

// What the host's stack says about a drive, as sysfs and /proc texts, and the reasons drawn.
TEST(HostView, ReasonsFromRecordedTexts) {
    struct Case {
        const char *what;
        HostReads reads;
        std::vector<std::string> reasons;
    };
    const std::string root = "21 1 254:0 / / rw,relatime shared:1 - ext4 /dev/mapper/vg0-root rw\n";
    const Case cases[] = {
        {"nothing", {sdc(), {}, root, k_heading, false}, {}},
        {"mounted partition, bind-mounted too, and the same mount twice",
         {sdc(),
          {},
          root + "30 21 8:33 / /var rw,relatime shared:9 - ext4 /dev/sdc1 rw\n"
                 "31 21 8:33 /www /srv/www rw shared:9 - ext4 /dev/sdc1 rw\n"
                 "32 21 8:33 / /var rw shared:9 - ext4 /dev/sdc1 rw\n",
          k_heading,
          true},
         {"/dev/sdc1 mounted at /var", "/dev/sdc1 mounted at /srv/www"}},
        {"escaped mount point",
         {sdc(),
          {},
          "40 1 8:32 / /mnt/a\\040b\\011c\\012d\\134e\\047\\089\\x rw - ext4 /dev/sdc rw\n"
          "41 1 8:33 / /cut\n41 1 8:34 /\n",
          k_heading,
          true},
         {"/dev/sdc mounted at /mnt/a b?c?d\\e'\\089\\x", "/dev/sdc1 mounted at /cut"}},
        {"md member, dm holder named and not",
         {sdc({"md0"}, {"dm-0", "dm-7"}), {{"dm-0", "vg0-root"}}, root, k_heading, true},
         {"/dev/sdc2 member of md0", "/dev/sdc3 held by dm-0 (vg0-root)",
          "/dev/sdc3 held by dm-7"}},
        {"swap, and a swap file elsewhere",
         {sdc(),
          {},
          root,
          std::string(k_heading) +
              "/dev/sdc4                               partition\t1048572\t0\t-2\n"
              "/swap\\040file                          file\t\t4096\t0\t-3\n",
          true},
         {"/dev/sdc4 used as swap"}},
        {"claimed and nothing else explains it",
         {sdc(), {}, root, k_heading, true},
         {"/dev/sdc held open exclusively"}},
        {"every kind, in the fixed order",
         {sdc({"md0"}),
          {},
          "30 21 8:33 / /var rw - ext4 /dev/sdc1 rw\n",
          std::string(k_heading) + "/dev/sdc4 partition 1 0 -2\n",
          true},
         {"/dev/sdc1 mounted at /var", "/dev/sdc2 member of md0", "/dev/sdc4 used as swap"}},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(in_use_reasons(c.reads), c.reasons) << c.what;
    }
    EXPECT_EQ(join_reasons({"/dev/sdc1 mounted at /var", "/dev/sdc2 member of md0"}),
              "/dev/sdc1 mounted at /var; /dev/sdc2 member of md0");
}

TEST(HostView, SysfsListingsAndNumbers) {
    EXPECT_EQ(
        partition_names("sdc", {"dev", "holders", "sdc", "sdc10", "sdc2", "sdc1", "sdcx1", "size"}),
        (std::vector<std::string>{"sdc1", "sdc2", "sdc10", "sdcx1"}));
    unsigned major = 0, minor = 0;
    EXPECT_TRUE(parse_device_number("259:7\n", &major, &minor));
    EXPECT_EQ(major * 1000 + minor, 259007u);
    // An escape cut at the field's end stays as it is, whatever follows the field.
    EXPECT_EQ(decode_octal_escapes(std::string_view("\\0123").substr(0, 3)), "\\01");
    for (const char *bad : {"", "8", "8:", ":3", "8:3x", "-8:3", "8:3\n\n"}) {
        EXPECT_FALSE(parse_device_number(bad, &major, &minor)) << bad;
    }
    // A node that sysfs does not know: the view cannot be read, and says where it stopped.
    HostView view = read_host_view("sg999999");
    EXPECT_FALSE(view.read);
    EXPECT_EQ(view.why, "/sys/class/scsi_generic/sg999999: No such file or directory");
}

} // namespace
