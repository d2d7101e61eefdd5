#include "ma/drm/framework_adapter_spindlekeep/drm_featrue_adapter/drm_feature_adapter.h"

#include <string>
#include <vector>

#include "infrastructure/keeper_host/qxmm.h"
#include "ma/drm/feature/drm_feature_fixture.h"
#include "support/log_capture.h"

namespace {

constexpr uint32_t kNo = 0xFFFFFFFFu;

TEST(DrmTypeTest, DiskTypesAndPrefailGroups)
{
    struct Case {
        uint32_t diskType;
        uint32_t drmType, group, korvanGroup;
    };
    const Case cases[] = {
        {DISK_TYPE_SSD_NVME, DRM_DISK_TYPE_NVME_SSD, DRM_PREFAIL_GROUP_NVME, DRM_PREFAIL_GROUP_NVME},
        {DISK_TYPE_SSD_SAS, DRM_DISK_TYPE_SAS_SSD, DRM_PREFAIL_GROUP_SAS_SSD, DRM_PREFAIL_GROUP_SAS_KSSD},
        {DISK_TYPE_HDD_NL_SAS, DRM_DISK_TYPE_SAS_HDD, DRM_PREFAIL_GROUP_SAS_HDD, kNo},
        {DISK_TYPE_HDD_SATA, kNo, kNo, kNo},
    };
    // A refused type answers -1 and leaves the output alone.
    auto check = [](int ret, const uint32_t &out, uint32_t want) {
        EXPECT_EQ(ret, want == kNo ? -1 : 0);
        EXPECT_EQ(out, want == kNo ? 77 : want);
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.diskType);
        uint32_t out[3] = {77, 77, 77};
        check(TransDiskType(c.diskType, &out[0]), out[0], c.drmType);
        check(TransDiskGroup(c.diskType, "ATA", &out[1]), out[1], c.group);
        check(TransDiskGroup(c.diskType, "0x1c7f", &out[2]), out[2], c.korvanGroup);
    }
}

class DrmAdapterTest : public drmfeat::DrmFeatureFixture {
protected:
    void SetUp() override { SetUpFeature([] { return 0; }, nullptr); }
};

TEST_F(DrmAdapterTest, StateWritersFollowTheCurrentState)
{
    uint32_t id = AddDisk("SN-W", DISK_TYPE_SSD_SAS);
    struct Case {
        int (*report)(uint32_t);
        uint32_t from, to;
    };
    const Case cases[] = {{DrmReportSlowDisk, 3, 4}, {DrmReportSlowDisk, 1, 1}, {DrmReportDiskPrefail, 0, 3},
                          {DrmReportDiskPrefail, 4, 4}};
    for (const auto &c : cases) {
        ASSERT_EQ(DrmSetDiskStat(id, c.from), 0);
        EXPECT_EQ(c.report(id), 0);
        EXPECT_EQ(State(id), c.to) << (c.report == DrmReportSlowDisk) << " from " << c.from;
    }
    EXPECT_EQ(DrmReportSlowDisk(99) + DrmReportDiskPrefail(99) + DrmSetDiskStat(99, 0), -3);
}

// Fault up to a day, prefail and a lower score below a month, a warning below
// three months: the warning is the operator's only sign of a disk near its end.
TEST_F(DrmAdapterTest, LifeMonitorResultSetsScoreAndState)
{
    uint32_t id = AddDisk("SN-L", DISK_TYPE_SSD_NVME);
    const struct {
        uint64_t hours;
        uint32_t score, state;
        const char *warning;
    } cases[] = {{24, 37, 1, "will be fault."},     {25, 37, 3, "will be prefail"},
                 {719, 37, 3, "will be prefail"},   {720, 100, 0, "need be replaced."},
                 {2159, 100, 0, "need be replaced."}, {2160, 100, 0, nullptr},
                 {(1ULL << 32) + 5000, 100, 0, nullptr}};
    for (const auto &c : cases) {
        ASSERT_EQ(DrmSetDiskStat(id, 0), 0);
        LogCapture log;
        EXPECT_EQ(DrmSetLifeMonitorResult(id, c.hours), 0);
        EXPECT_EQ(log.Count(std::string(") sn(SN-L) ") + (c.warning ? c.warning : ""), KEEPER_LOG_WARN),
                  c.warning ? 1 : 0) << c.hours;
        DiskDrmInfo info{};
        ASSERT_EQ(DiskDrmInfoGet(id, &info), 0);
        EXPECT_EQ(info.healthScore, c.score) << c.hours;
        EXPECT_EQ(info.remainingLife, static_cast<uint32_t>(c.hours)) << c.hours;
        EXPECT_EQ(State(id), c.state) << c.hours;
    }
}

TEST_F(DrmAdapterTest, ReadersCopyTheirPartOfTheRecords)
{
    uint32_t id = AddDisk("SN-R", DISK_TYPE_SSD_SATA, "0x1c7f");
    uint32_t v = 0;
    EXPECT_EQ(DrmGetPrefailDiskGroup(id, &v), -1) << "a SATA SSD of that vendor has no group";
    ASSERT_EQ(DrmGetDiskType(id, &v), 0);
    EXPECT_EQ(v, DRM_DISK_TYPE_SATA_SSD);
    DrmDiskIoStat io{};
    EXPECT_EQ(DrmGetDiskIoStat(id, &io), -1) << "no statistics yet";
    dmtest::Sn key("SN-R");
    DiskIoInfoFrame f{};
    f.tick_rate = 1000;
    for (uint64_t t : {1000, 2000}) {
        f.ticks = t;
        f.num_read_ops = t / 4;
        f.io_time = t * 300;
        ASSERT_EQ(DataMgrDiskInfoSet(DATA_MGR_FIND_BY_SN, key.Ref(), &f, DATA_INFO_IOSTAT), 0);
    }
    ASSERT_EQ(DrmGetDiskIoStat(id, &io), 0);
    EXPECT_EQ(io.readIops, 250u);

    DiskHealthInfo h{12345, 7, 25, {}};
    for (uint8_t i = 0; i < sizeof(h.area.raw); ++i) h.area.raw[i] = static_cast<uint8_t>(0x35 + i);
    ASSERT_EQ(DiskHealthInfoSet(key.Ref(), &h), 0);
    DrmHealthInfo hi{};
    ASSERT_EQ(DrmGetHealthInfo(id, &hi), 0);
    EXPECT_EQ(hi.wearDec, 25u);
    uint8_t smart[120] = {}, three[3] = {}, two[2] = {}, bits = 0;
    ASSERT_EQ(DrmAtaGetSmartInfo(id, smart, 30), 0);
    EXPECT_EQ(memcmp(smart, h.area.raw, 120), 0);
    EXPECT_EQ(DrmAtaGetSmartInfo(id, smart, 29), -1);
    ASSERT_EQ(DrmSasHddGetSenseInfo(id, three), 0);
    EXPECT_EQ(std::vector<uint8_t>(three, three + 3), (std::vector<uint8_t>{0x35, 0x36, 0x37}));
    ASSERT_EQ(DrmSasKssdGetLogInfo(id, two), 0);
    EXPECT_EQ(two[1], 0x36);
    ASSERT_EQ(DrmNvmeGetICritWarning(id, &bits), 0);
    EXPECT_EQ(bits, 0x15) << "bits 0 to 4 only";
    EXPECT_EQ(DrmNvmeGetICritWarning(99, &bits), -1);
}

// A feature that keeps the local-data contract: its disk-out handler clears
// and frees under the feature lock, its analyser reads under it. A disk that
// leaves while the analysis is queued leaves nothing dangling (ASan reports
// any use of the freed block).
constexpr uint32_t kFeat = 9;
std::vector<std::string> g_events;
std::vector<uint32_t> g_seenDisks;

void FeatEvent(uint32_t id, uint32_t ev)
{
    g_events.push_back("all" + std::to_string(id) + ":" + std::to_string(ev));
    DrmLockFeatureData(kFeat);
    void *old = nullptr;
    if (getFeatureLocPrivateData(id, kFeat, &old) == 0 && old != nullptr) DRM_FREE_UMM(old, 8);
    void *fresh = ev == DRM_DISK_EVENT_IN ? DRM_MALLOC_UMM(8) : nullptr;
    EXPECT_EQ(setFeatureLocPrivateData(id, kFeat, fresh), 0);
    DrmUnlockFeatureData(kFeat);
    EXPECT_EQ(DrmTriggerAnalyser0(kFeat, DRM_EVENT_TRIGGER_KEY), 0);
}

void Master(uint32_t id, uint32_t ev)
{
    g_events.push_back("master" + std::to_string(id) + ":" + std::to_string(ev));
}

void FeatAnalyse(uint32_t, uint32_t)
{
    DrmLockFeatureData(kFeat);
    for (uint32_t id = 0; id < 128; ++id) {
        void *p = nullptr;
        if (getFeatureLocPrivateData(id, kFeat, &p) == 0 && p != nullptr) {
            g_seenDisks.push_back(id + *static_cast<uint8_t *>(p));
        }
    }
    DrmUnlockFeatureData(kFeat);
}

TEST_F(DrmAdapterTest, DiskEventsAndADiskLeavingWhileItsAnalysisIsQueued)
{
    ASSERT_EQ(DrmRegisterAnalyser(kFeat, nullptr, 0, FeatAnalyse, DRM_PERIOD_NONE, 0), 0);
    DrmRegisterDiskEventHandler(kFeat, FeatEvent, nullptr);
    DrmRegisterDiskEventHandler(kFeat + 7, nullptr, Master);
    DrmRegisterDiskEventHandler(32, FeatEvent, Master);  // ignored
    g_seenDisks.clear();
    g_events.clear();
    uint32_t stay = AddDisk("SN-STAY", DISK_TYPE_SSD_SAS, "ATA", false);
    uint32_t leave = AddDisk("SN-LEAVE", DISK_TYPE_SSD_SAS, "ATA", false);
    DropDisk(leave, "SN-LEAVE", false);
    std::string s = std::to_string(stay), l = std::to_string(leave);
    EXPECT_EQ(g_events, (std::vector<std::string>{"all" + s + ":0", "master" + s + ":0",
                                                  "all" + l + ":0", "master" + l + ":0",
                                                  "all" + l + ":1", "master" + l + ":1"}));
    EXPECT_EQ(drmtest::RunWorkers(), 1) << "three events, one coalesced analysis";
    EXPECT_EQ(g_seenDisks, std::vector<uint32_t>{stay});
    DropDisk(stay, "SN-STAY");
    DrmUnregisterDiskEventHandler(kFeat);
    DrmUnregisterDiskEventHandler(kFeat + 7);
}

int Echo(const void *in, uint32_t inLen, void **out, uint32_t *outLen)
{
    *out = const_cast<void *>(in);
    *outLen = inLen;
    return inLen == 0 ? 7 : 0;
}

TEST(DrmActionTest, RegistryAndRequests)
{
    ASSERT_EQ(DrmFrameworkAdapterInitPhase1(), 0);
    ASSERT_EQ(DrmRegisterActionHandler(0x20f0001, Echo), 0);
    EXPECT_EQ(DrmRegisterActionHandler(0x20f0001, Echo), -1);
    static DrmActionResponse seen;
    seen = {nullptr, 0, -5};
    auto cb = [](void *, const DrmActionResponse *r) { seen = *r; };
    EXPECT_EQ(DrmAsyncActionRequest(0x20f0001, nullptr, 0, cb, nullptr), 7);
    EXPECT_EQ(seen.result, 7) << "the callback hears failures too";
    seen.result = -5;
    EXPECT_EQ(DrmAsyncActionRequest(0x77, nullptr, 0, cb, nullptr), DRM_ACTION_NO_HANDLER);
    EXPECT_EQ(seen.result, -5) << "no callback without a handler";
    for (uint32_t op = 0x100; op < 0x100 + DRM_ACTION_SLOT_NUM - 1; ++op) {
        ASSERT_EQ(DrmRegisterActionHandler(op, Echo), 0) << op;
    }
    EXPECT_EQ(DrmRegisterActionHandler(0x500, Echo), -1) << "all 128 slots taken";
}

TEST(DrmThreadTest, WorkersGetACopyAndBadArgumentsStartNothing)
{
    drmtest::Deferred().clear();
    DrmSetThreadStarter(drmtest::DeferStarter);
    EXPECT_EQ(DrmAsyncThreadCtxRun(0, [](const void *, uint32_t) {}, nullptr, 4), -1);
    EXPECT_EQ(drmtest::Deferred().size(), 0u);
    static std::string got;
    char text[] = "copied";
    auto keep = [](const void *d, uint32_t n) { got.assign(static_cast<const char *>(d), n); };
    ASSERT_EQ(DrmAsyncThreadCtxRun(0, keep, text, sizeof(text)), 0);
    text[0] = 'X';  // the worker owns a copy
    EXPECT_EQ(drmtest::RunWorkers(), 1);
    EXPECT_EQ(got, std::string("copied", sizeof(text)));
    DrmSetThreadStarter([](void (*)(void *), void *) { return 11; });
    EXPECT_EQ(DrmAsyncThreadCtxRun(0, keep, nullptr, 0), -1);
    EXPECT_EQ(qxmm_module_usage(DRM_ADAPTER_MODULE_ID).count, 0u) << "contexts are freed";
    DrmSetThreadStarter(nullptr);
}

}  // namespace
