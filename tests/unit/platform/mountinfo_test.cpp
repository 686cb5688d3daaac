#include <gtest/gtest.h>

#include "platform/linux/mountinfo.h"

namespace kvd::platform::linux_fs {
namespace {

TEST(MountInfo, BrowsableVolumesWithTypesAndLabels) {
    const std::string text =
        "22 1 0:21 / /proc rw,nosuid - proc proc rw\n"
        "23 1 0:22 / /sys rw - sysfs sysfs rw\n"
        "24 1 0:5 / /dev rw - devtmpfs udev rw\n"
        "25 23 0:23 / /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n"
        "26 1 8:2 / / rw,relatime - ext4 /dev/sda2 rw\n"
        "27 26 0:25 / /run rw - tmpfs tmpfs rw\n"
        "28 26 0:26 / /tmp rw - tmpfs tmpfs rw\n"
        "29 26 8:17 / /run/media/me/USB\\040STICK rw - vfat /dev/sdb1 rw\n"
        "30 26 0:40 / /mnt/share rw - cifs //srv/share rw\n"
        "31 26 11:0 / /media/cd ro - iso9660 /dev/sr0 ro\n"
        "32 26 0:41 / /home/me/remote rw - fuse.sshfs me@host: rw\n"
        "33 26 8:3 /hosts /etc/hosts rw - ext4 /dev/sda3 rw\n"
        "34 26 0:42 / /proc/sys/fs/binfmt_misc rw - binfmt_misc binfmt_misc rw\n"
        "35 26 8:4 / /tmp rw - xfs /dev/sda4 rw\n"
        "garbage line\n";
    MountProbes probes;
    probes.removable = [](unsigned major, unsigned minor) { return major == 8 && minor == 17; };
    probes.label = [](const std::string& dev) {
        return dev == "/dev/sda2" ? std::string("root") : std::string();
    };
    probes.isDirectory = [](const std::string& p) { return p != "/etc/hosts"; };
    const auto v = volumesFromMountInfo(text, probes);
    std::vector<std::tuple<std::string, std::string, VolumeType>> got;
    for (const auto& x : v) got.emplace_back(x.path, x.label, x.type);
    const std::vector<std::tuple<std::string, std::string, VolumeType>> want = {
        {"/", "root", VolumeType::Fixed},
        {"/run/media/me/USB STICK", "/dev/sdb1", VolumeType::Removable},
        {"/mnt/share", "//srv/share", VolumeType::Network},
        {"/media/cd", "/dev/sr0", VolumeType::Cdrom},
        {"/home/me/remote", "me@host:", VolumeType::Network},
        {"/tmp", "/dev/sda4", VolumeType::Fixed},  // mounted over the tmpfs
    };
    EXPECT_EQ(got, want);
}

TEST(MountInfo, Unescape) {
    EXPECT_EQ(unescapeMountField("a\\040b\\011c\\\\d"), "a b\tc\\\\d");
    EXPECT_EQ(unescapeMountField("My\\x20Disk"), "My Disk");
    EXPECT_EQ(unescapeMountField("end\\04"), "end\\04");
}

}  // namespace
}  // namespace kvd::platform::linux_fs
