#include "ma/drm/feature/disk_prefail_routine/disk_prefail_routine.h"

#include <array>
#include <tuple>

#include "ma/drm/feature/drm_feature_fixture.h"

namespace {

class PrefailTest : public drmfeat::DrmFeatureFixture {
protected:
    void SetUp() override
    {
        SetUpFeature(DrmPrefailRoutineInit, DrmPrefailRoutineFin);
        DprSwitch on{0, 1};
        ASSERT_EQ(DrmDprSetSwitch(&on), 0);
        for (uint32_t t = 0; t < DRM_DISK_TYPE_NUM; ++t) {  // every group at every run
            DprCycleConfig c{0, t, 5};
            ASSERT_EQ(DrmDprSetCycleConfig(&c), 0);
        }
    }

    static void Run(int n = 1)
    {
        for (int i = 0; i < n; ++i) DrmPrefailAnalyse(0, 0);
    }

    // The health area from its first bytes; a SATA attribute goes last, after
    // a healthy one, so that the whole table is read.
    static DiskHealthInfo Health(uint32_t type, std::array<uint8_t, 4> b)
    {
        DiskHealthInfo h{};
        memcpy(h.area.raw, b.data(), b.size());
        if (type == DISK_TYPE_SSD_SATA) {
            h.area.sata[DISK_SMART_ATTR_NUM - 1] = h.area.sata[0];
            h.area.sata[0] = {1, 6, 100, 100};
        }
        return h;
    }
};

TEST_F(PrefailTest, EveryGroupFindsItsOwnPrediction)
{
    // Name, daemon type, vendor, first bytes of the health area (SATA: id,
    // threshold, current, worst), prefail.
    const std::tuple<const char *, uint32_t, const char *, std::array<uint8_t, 4>, bool> cases[] = {
        {"sata 194 at threshold", DISK_TYPE_SSD_SATA, "ATA", {194, 50, 40, 40}, false},
        {"sata 190 at threshold", DISK_TYPE_SSD_SATA, "ATA", {190, 50, 50, 50}, false},
        {"sata 5 current = threshold", DISK_TYPE_SSD_SATA, "ATA", {5, 10, 10, 100}, true},
        {"sata 5 worst only = threshold", DISK_TYPE_SSD_SATA, "ATA", {5, 10, 11, 10}, true},
        {"sata 5 one above", DISK_TYPE_SSD_SATA, "ATA", {5, 10, 11, 11}, false},
        {"sata no threshold", DISK_TYPE_SSD_SATA, "ATA", {5, 0, 0, 0}, false},
        {"sas ssd 5D/6D", DISK_TYPE_SSD_SAS, "TELMAR", {0x5D, 0x6D, 1}, false},  // asc, ascq, IE log
        {"sas ssd 5D/10", DISK_TYPE_SSD_SAS, "TELMAR", {0x5D, 0x10, 1}, true},
        {"sas ssd other asc", DISK_TYPE_SSD_SAS, "TELMAR", {0x5C, 0x10, 1}, false},
        {"kssd capacitance failed", DISK_TYPE_SSD_SAS, "0x1c7f", {0xF2, 0}, true},  // id, status
        {"kssd capacitance fine", DISK_TYPE_SSD_SAS, "0x1c7f", {0xF2, 1}, false},
        {"kssd other id", DISK_TYPE_SSD_SAS, "0x1c7f", {0xF1, 0}, false},
        {"nvme bit 0", DISK_TYPE_SSD_NVME, "KORVAN", {1u << 0}, true},  // critical warning
        {"nvme bit 1", DISK_TYPE_SSD_NVME, "KORVAN", {1u << 1}, false},
        {"nvme bit 2", DISK_TYPE_SSD_NVME, "KORVAN", {1u << 2}, false},
        {"nvme bit 3", DISK_TYPE_SSD_NVME, "KORVAN", {1u << 3}, true},
        {"nvme bit 4", DISK_TYPE_SSD_NVME, "0x1c7f", {1u << 4}, true},
        {"hdd no ie log, 5D/6D", DISK_TYPE_HDD_SAS, "SEAGATE", {0x5D, 0x6D, 0}, true},
        {"hdd ie log, 5D/6D", DISK_TYPE_HDD_SAS, "SEAGATE", {0x5D, 0x6D, 1}, false},
        {"hdd ie log, 5D/10", DISK_TYPE_HDD_SAS, "SEAGATE", {0x5D, 0x10, 1}, true},
        {"nl-sas ie log, 5D/00", DISK_TYPE_HDD_NL_SAS, "TOSHIBA", {0x5D, 0, 1}, true},
    };
    int n = 0;
    for (const auto &[name, type, vendor, health, prefail] : cases) {
        std::string sn = "SN-P" + std::to_string(n++);
        uint32_t id = AddDisk(sn, type, vendor);
        SetHealth(sn, Health(type, health));
        agent_->ClearRequests();
        Run();
        EXPECT_EQ(State(id), prefail ? DISK_STATE_PREFAIL : DISK_STATE_NORMAL) << name;
        EXPECT_EQ(Sent(), prefail ? "set_disk_state " + sn + " 3\nset_disk_handle_strategy " + sn +
                                        " Migrate data and replace the hard disk\n"
                                  : "") << name;
    }
}

// Off, nothing is judged; on, a group runs once per cycle, and a disk whose
// health was missing at a due run is judged at the next one.
TEST_F(PrefailTest, SwitchAndCycleDecideWhenAGroupRuns)
{
    DprSwitch off{0, 0}, on{0, 7};
    ASSERT_EQ(DrmDprSetSwitch(&off), 0);
    DprCycleConfig c{0, DRM_DISK_TYPE_SAS_HDD, 20};  // every 4th analyser run
    ASSERT_EQ(DrmDprSetCycleConfig(&c), 0);
    uint32_t nvme = AddDisk("SN-N", DISK_TYPE_SSD_NVME, "KORVAN");
    uint32_t hdd = AddDisk("SN-H", DISK_TYPE_HDD_SAS, "SEAGATE");
    SetHealth("SN-N", Health(DISK_TYPE_SSD_NVME, {1}));
    Run(3);
    EXPECT_EQ(State(nvme), DISK_STATE_NORMAL);
    ASSERT_EQ(DrmDprSetSwitch(&on), 0);
    EXPECT_EQ(DrmDprGetSwitch(), 1);
    Run(4);  // the HDD group's due run finds no health
    EXPECT_EQ(State(nvme), DISK_STATE_PREFAIL);
    SetHealth("SN-H", Health(DISK_TYPE_HDD_SAS, {0x5D, 0x10, 1}));
    Run(3);
    EXPECT_EQ(State(hdd), DISK_STATE_NORMAL);
    Run();
    EXPECT_EQ(State(hdd), DISK_STATE_PREFAIL);
}

TEST_F(PrefailTest, CycleSettingsAndTheirRanges)
{
    // 40 s for SAS SSDs and the longest cycle for SATA SSDs are taken; a cycle out
    // of its range, another start type and an unknown disk type are refused.
    const std::pair<DprCycleConfig, int> configs[] = {
        {{0, DRM_DISK_TYPE_SAS_SSD, 40}, 0}, {{0, DRM_DISK_TYPE_SATA_SSD, 2592000}, 0},
        {{0, 1, 0}, -1}, {{0, 1, 2592001}, -1}, {{1, 1, 40}, -1}, {{0, 4, 40}, -1}};
    for (auto [c, want] : configs) {
        EXPECT_EQ(DrmDprSetCycleConfig(&c), want) << c.startType << c.diskType << "/" << c.cycle;
    }
    // KSSDs follow the SAS SSD cycle; the refused settings changed nothing.
    EXPECT_EQ(std::pair(DrmDprGetCycle(DPR_GROUP_SAS_KSSD), DrmDprGetCycle(DPR_GROUP_SAS_SSD)),
              std::pair(40u, 40u));
    DprSwitch badSwitch{1, 1};
    EXPECT_EQ(DrmDprSetSwitch(&badSwitch), -1);
}

}  // namespace
