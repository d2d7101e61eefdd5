#include "ma/drm/framework_adapter_spindlekeep/drm_featrue_adapter/drm_feature_adapter.h"

#include <string>
#include <tuple>
#include <vector>

#include "infrastructure/keeper_host/qxmm.h"
#include "ma/drm/feature/drm_feature_fixture.h"
#include "support/log_capture.h"

namespace {

class DrmAdapterTest : public drmfeat::DrmFeatureFixture {
protected:
    void SetUp() override { SetUpFeature([] { return 0; }, nullptr); }
};

// The reports move a disk only from Normal (slow) or Normal and Slow (prefail).
// The life monitor's result: fault up to a day, prefail and a lower score
// below a month, a warning below three months: the warning is the operator's
// only sign of a disk near its end.
TEST_F(DrmAdapterTest, StateWritersAndLifeMonitorResult)
{
    uint32_t id = AddDisk("SN-L", DISK_TYPE_SSD_NVME);
    const std::tuple<int (*)(uint32_t), uint32_t, uint32_t> reports[] = {
        {DrmReportSlowDisk, 3, 4}, {DrmReportSlowDisk, 1, 1}, {DrmReportDiskPrefail, 0, 3}, {DrmReportDiskPrefail, 4, 4}};
    for (auto [report, from, to] : reports) {
        ASSERT_EQ(DrmSetDiskStat(id, from), 0);
        EXPECT_EQ(report(id), 0);
        EXPECT_EQ(State(id), to) << (report == DrmReportSlowDisk) << " from " << from;
    }
    EXPECT_EQ(DrmReportSlowDisk(99) + DrmReportDiskPrefail(99) + DrmSetDiskStat(99, 0), -3);
    const std::tuple<uint64_t, uint32_t, uint32_t, const char *> results[] = {
        {24, 37, 1, "will be fault."},       {25, 37, 3, "will be prefail"},    {719, 37, 3, "will be prefail"},
        {720, 100, 0, "need be replaced."},  {2159, 100, 0, "need be replaced."}, {2160, 100, 0, ""},
        {(1ULL << 32) + 5000, 100, 0, ""}};
    for (auto [hours, score, state, warning] : results) {
        ASSERT_EQ(DrmSetDiskStat(id, 0), 0);
        LogCapture log;
        EXPECT_EQ(DrmSetLifeMonitorResult(id, hours), 0);
        EXPECT_EQ(log.Count(std::string(") sn(SN-L) ") + warning, KEEPER_LOG_WARN), *warning ? 1 : 0) << hours;
        DiskDrmInfo info{};
        ASSERT_EQ(DiskDrmInfoGet(id, &info), 0);
        EXPECT_EQ(std::vector<uint32_t>({info.healthScore, info.remainingLife, State(id)}),
                  std::vector<uint32_t>({score, static_cast<uint32_t>(hours), state})) << hours;
    }
}

TEST_F(DrmAdapterTest, ReadersCopyTheirPartOfTheRecords)
{
    uint32_t id = AddDisk("SN-R", DISK_TYPE_SSD_SATA, "0x1c7f");
    DrmDiskIoStat io{};
    EXPECT_EQ(DrmGetDiskIoStat(id, &io), -1) << "no statistics yet";
    for (uint64_t t : {1000, 2000}) {
        DiskIoInfoFrame f{0, 0, t / 4, 0, 0, 0, 0, 0, t, 1000, t * 300};
        ASSERT_EQ(DiskIoStatInfoSet(drmfeat::Sn("SN-R").Ref(), &f), 0);
    }
    DiskHealthInfo h{12345, 7, 25, {}};
    for (uint8_t i = 0; i < sizeof(h.area.raw); ++i) h.area.raw[i] = static_cast<uint8_t>(0x35 + i);
    SetHealth("SN-R", h);
    uint32_t kssd = AddDisk("SN-K", DISK_TYPE_SSD_SAS, "0x1c7f");
    uint32_t kind[2] = {};  // the KSSD's prefail group, the SATA SSD's disk type
    DrmHealthInfo hi{};
    uint8_t smart[120] = {}, sense[3] = {}, log[2] = {}, bits = 0;
    // A SATA SSD of that vendor has no prefail group; a short SMART buffer and
    // an unknown disk are refused.
    EXPECT_EQ(std::vector<int>({DrmGetPrefailDiskGroup(id, &kind[0]), DrmGetDiskType(id, &kind[1]),
                                DrmGetPrefailDiskGroup(kssd, &kind[0]), DrmGetDiskIoStat(id, &io),
                                DrmGetHealthInfo(id, &hi), DrmAtaGetSmartInfo(id, smart, 30),
                                DrmAtaGetSmartInfo(id, smart, 29), DrmSasHddGetSenseInfo(id, sense),
                                DrmSasKssdGetLogInfo(id, log), DrmNvmeGetICritWarning(99, &bits),
                                DrmNvmeGetICritWarning(id, &bits)}),
              std::vector<int>({-1, 0, 0, 0, 0, 0, -1, 0, 0, -1, 0}));
    EXPECT_EQ(memcmp(smart, h.area.raw, 120), 0);
    // A SAS SSD of that vendor reports its capacitor; warning bits 0 to 4 only.
    EXPECT_EQ(std::vector<uint64_t>({kind[0], kind[1], io.readIops, hi.wearDec, sense[0], sense[1],
                                     sense[2], log[1], bits}),
              std::vector<uint64_t>({DRM_PREFAIL_GROUP_SAS_KSSD, DRM_DISK_TYPE_SATA_SSD, 250, 25,
                                     0x35, 0x36, 0x37, 0x36, 0x15}));
}

// A feature that keeps the local-data contract: its disk event handler
// replaces the disk's block under the feature lock, its analyser reads under
// it. A disk that leaves while the analysis is queued leaves nothing
// dangling (ASan reports any use of the freed block).
constexpr uint32_t kFeat = 9;
std::string g_events;
std::vector<uint32_t> g_seenDisks;

void FeatEvent(uint32_t id, uint32_t ev)
{
    g_events += std::to_string(id) + ":" + std::to_string(ev) + " ";
    DrmLockFeatureData(kFeat);
    void *old = nullptr;
    if (getFeatureLocPrivateData(id, kFeat, &old) == 0 && old != nullptr) DRM_FREE_UMM(old, 8);
    EXPECT_EQ(setFeatureLocPrivateData(id, kFeat, ev == DRM_DISK_EVENT_IN ? DRM_MALLOC_UMM(8) : nullptr), 0);
    DrmUnlockFeatureData(kFeat);
    EXPECT_EQ(DrmTriggerAnalyser0(kFeat, DRM_EVENT_TRIGGER_KEY), 0);
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
    DrmRegisterDiskEventHandler(32, FeatEvent, nullptr);  // ignored
    uint32_t stay = AddDisk("SN-STAY", DISK_TYPE_SSD_SAS, "ATA", false);
    uint32_t leave = AddDisk("SN-LEAVE", DISK_TYPE_SSD_SAS, "ATA", false);
    DropDisk(leave, "SN-LEAVE", false);
    std::string s = std::to_string(stay), l = std::to_string(leave);
    EXPECT_EQ(g_events, s + ":0 " + l + ":0 " + l + ":1 ");
    EXPECT_EQ(drmtest::RunWorkers(), 1) << "three events, one coalesced analysis";
    EXPECT_EQ(g_seenDisks, std::vector<uint32_t>{stay});
    DropDisk(stay, "SN-STAY");
    DrmUnregisterDiskEventHandler(kFeat);
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
    static int seen;
    auto cb = [](void *, const DrmActionResponse *r) { seen = r->result; };
    EXPECT_EQ(DrmAsyncActionRequest(0x20f0001, nullptr, 0, cb, nullptr), 7);
    EXPECT_EQ(seen, 7) << "the callback hears failures too";
    seen = -5;
    EXPECT_EQ(DrmAsyncActionRequest(0x77, nullptr, 0, cb, nullptr), DRM_ACTION_NO_HANDLER);
    EXPECT_EQ(seen, -5) << "no callback without a handler";
    for (uint32_t op = 0x100; op < 0x100 + DRM_ACTION_SLOT_NUM - 1; ++op) {
        ASSERT_EQ(DrmRegisterActionHandler(op, Echo), 0) << op;
    }
    EXPECT_EQ(DrmRegisterActionHandler(0x500, Echo), -1) << "all 128 slots taken";
}

TEST(DrmThreadTest, WorkersGetACopyAndBadArgumentsStartNothing)
{
    DrmSetThreadStarter(drmtest::DeferStarter);
    EXPECT_EQ(DrmAsyncThreadCtxRun(0, [](const void *, uint32_t) {}, nullptr, 4), -1);
    static std::string got;
    char text[] = "copied";
    auto keep = [](const void *d, uint32_t n) { got.assign(static_cast<const char *>(d), n); };
    ASSERT_EQ(DrmAsyncThreadCtxRun(0, keep, text, sizeof(text)), 0);
    text[0] = 'X';  // the worker owns a copy
    EXPECT_EQ(drmtest::RunWorkers(), 1) << "nothing started for the bad arguments";
    EXPECT_EQ(got, std::string("copied", sizeof(text)));
    DrmSetThreadStarter([](void (*)(void *), void *) { return 11; });
    EXPECT_EQ(DrmAsyncThreadCtxRun(0, keep, nullptr, 0), -1);
    EXPECT_EQ(qxmm_module_usage(DRM_ADAPTER_MODULE_ID).count, 0u) << "contexts are freed";
    DrmSetThreadStarter(nullptr);
}

}  // namespace
