#include "ma/drm/framework_adapter_spindlekeep/drm_featrue_adapter/drm_feature_adapter.h"

#include <string>
#include <vector>

#include "data_mgr/data_mgr_master/data_mgr_fixture.h"
#include "infrastructure/keeper_host/qxmm.h"
#include "ma/drm/drm_test_env.h"
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
        {DISK_TYPE_SSD_NVME, DRM_DISK_TYPE_NVME_SSD, DRM_PREFAIL_GROUP_NVME,
         DRM_PREFAIL_GROUP_NVME},
        {DISK_TYPE_SSD_SAS, DRM_DISK_TYPE_SAS_SSD, DRM_PREFAIL_GROUP_SAS_SSD,
         DRM_PREFAIL_GROUP_SAS_KSSD},
        {DISK_TYPE_SSD_SATA, DRM_DISK_TYPE_SATA_SSD, DRM_PREFAIL_GROUP_SATA, kNo},
        {DISK_TYPE_HDD_SAS, DRM_DISK_TYPE_SAS_HDD, DRM_PREFAIL_GROUP_SAS_HDD, kNo},
        {DISK_TYPE_HDD_SATA, kNo, kNo, kNo},
        {DISK_TYPE_HDD_NL_SAS, DRM_DISK_TYPE_SAS_HDD, DRM_PREFAIL_GROUP_SAS_HDD, kNo},
        {DISK_TYPE_UNKNOWN, kNo, kNo, kNo},
        {0xFFFFFFFF, kNo, kNo, kNo},
    };
    for (const auto &c : cases) {
        LogCapture log;
        uint32_t out = 77;
        EXPECT_EQ(TransDiskType(c.diskType, &out), c.drmType == kNo ? -1 : 0) << c.diskType;
        EXPECT_EQ(out, c.drmType == kNo ? 77 : c.drmType) << c.diskType;
        out = 77;
        EXPECT_EQ(TransDiskGroup(c.diskType, "ATA", &out), c.group == kNo ? -1 : 0) << c.diskType;
        EXPECT_EQ(out, c.group == kNo ? 77 : c.group) << c.diskType;
        out = 77;
        EXPECT_EQ(TransDiskGroup(c.diskType, "0x1c7f", &out), c.korvanGroup == kNo ? -1 : 0);
        EXPECT_EQ(out, c.korvanGroup == kNo ? 77 : c.korvanGroup) << c.diskType;
        std::string t = "(" + std::to_string(c.diskType) + ")";
        EXPECT_EQ(log.Count("Drm featue didn't support disktype" + t, 3), c.drmType == kNo ? 1 : 0);
        EXPECT_EQ(log.Count("Drm featue didn't support korvan disktyepe" + t, 3),
                  c.korvanGroup == kNo ? 1 : 0);
    }
}

class DrmAdapterTest : public dmtest::DataMgrFixture {
  protected:
    void SetUp() override
    {
        dmtest::DataMgrFixture::SetUp();
        ASSERT_EQ(DrmDiskEventAdapterInit(), 0);
    }

    uint32_t Add(const std::string &sn, uint32_t type, const char *vendor = "ATA")
    {
        DiskBaseInfo d = dmtest::Disk(sn, DISK_STATE_NORMAL);
        d.diskType = type;
        strcpy(d.vendor, vendor);
        dmtest::Sn key(sn);
        EXPECT_EQ(DataMgrDiskInfoSet(DATA_MGR_FIND_BY_SN, key.Ref(), &d, DATA_INFO_BASE), 0);
        uint32_t id = DISK_ID_INVALID;
        EXPECT_EQ(GetDiskIdBySn(40, key.buf, &id), 0);
        return id;
    }

    static void Remove(uint32_t id, const std::string &sn)
    {
        dmtest::Sn key(sn);
        uint32_t off = DISK_STATE_OFFLINE;
        ASSERT_EQ(DataMgrDiskInfoSet(id, key.Ref(), &off, DATA_INFO_DISK_STATE), 0);
    }

    static uint32_t State(uint32_t id)
    {
        DiskBaseInfo b{};
        EXPECT_EQ(DiskBaseInfoGet(id, &b), 0);
        return b.diskState;
    }
};

TEST_F(DrmAdapterTest, StateWritersFollowTheCurrentState)
{
    uint32_t id = Add("SN-W", DISK_TYPE_SSD_SAS);
    struct Case {
        int (*report)(uint32_t);
        uint32_t from, to;
    };
    const Case cases[] = {
        {DrmReportSlowDisk, 0, 4},    {DrmReportSlowDisk, 3, 4},    {DrmReportSlowDisk, 1, 1},
        {DrmReportSlowDisk, 4, 4},    {DrmReportDiskPrefail, 0, 3}, {DrmReportDiskPrefail, 4, 4},
        {DrmReportDiskPrefail, 1, 1}, {DrmReportDiskPrefail, 3, 3},
    };
    for (const auto &c : cases) {
        ASSERT_EQ(DrmSetDiskStat(id, c.from), 0);
        EXPECT_EQ(c.report(id), 0);
        EXPECT_EQ(State(id), c.to)
            << (c.report == DrmReportSlowDisk ? "slow" : "prefail") << " from " << c.from;
    }
    LogCapture log;
    EXPECT_EQ(DrmReportSlowDisk(99), -1);
    EXPECT_EQ(DrmReportDiskPrefail(99), -1);
    EXPECT_EQ(DrmSetDiskStat(99, 0), -1);
    EXPECT_EQ(log.Count("Get disk(99) baseinfo fail, ret(1).", 3), 3) << log.Dump();
}

TEST_F(DrmAdapterTest, LifeMonitorResultSetsScoreAndState)
{
    uint32_t id = Add("SN-L", DISK_TYPE_SSD_NVME);
    struct Case {
        uint64_t hours;
        uint32_t score, state;
        const char *message;
    };
    const Case cases[] = {
        {0, 37, 1, "will be fault."},
        {24, 37, 1, "will be fault."},
        {25, 37, 3, "will be prefail, ret(0)."},
        {719, 37, 3, "will be prefail, ret(0)."},
        {720, 100, 0, "need be replaced."},
        {2159, 100, 0, "need be replaced."},
        {2160, 100, 0, nullptr},
        {(1ULL << 32) + 5000, 100, 0, nullptr},
    };
    for (const auto &c : cases) {
        ASSERT_EQ(DrmSetDiskStat(id, 0), 0);
        LogCapture log;
        EXPECT_EQ(DrmSetLifeMonitorResult(id, c.hours), 0);
        DiskDrmInfo info{};
        ASSERT_EQ(DiskDrmInfoGet(id, &info), 0);
        EXPECT_EQ(info.healthScore, c.score) << c.hours;
        EXPECT_EQ(info.remainingLife, static_cast<uint32_t>(c.hours)) << c.hours;
        EXPECT_EQ(State(id), c.state) << c.hours;
        int warns = 0;
        for (const auto &r : log.Records()) {
            warns += r.level == KEEPER_LOG_WARN && r.tag == "DRM_FEATURE";
        }
        EXPECT_EQ(warns, c.message ? 1 : 0) << c.hours << log.Dump();
        if (c.message != nullptr) {
            std::string want = "Disk(" + std::to_string(id) + ") sn(SN-L) " + c.message;
            EXPECT_TRUE(log.Contains(want, KEEPER_LOG_WARN)) << log.Dump();
        }
    }
}

TEST_F(DrmAdapterTest, ReadersCopyTheirPartOfTheRecords)
{
    uint32_t id = Add("SN-R", DISK_TYPE_SSD_SATA, "0x1c7f");
    uint32_t v = 0;
    LogCapture log;
    EXPECT_EQ(DrmGetPrefailDiskGroup(id, &v), -1) << "a SATA SSD of that vendor has no group";
    EXPECT_TRUE(log.Contains("type(2) not support, vender(0x1c7f), ret(-1).", 3)) << log.Dump();
    ASSERT_EQ(DrmGetDiskType(id, &v), 0);
    EXPECT_EQ(v, DRM_DISK_TYPE_SATA_SSD);
    uint32_t hdd = Add("SN-H", DISK_TYPE_HDD_SATA);
    EXPECT_EQ(DrmGetDiskType(hdd, &v), -1);
    EXPECT_TRUE(log.Contains("Disk(" + std::to_string(hdd) + ") type(4) not support, ret(-1).", 3));
    uint32_t nl = Add("SN-NL", DISK_TYPE_HDD_NL_SAS);
    ASSERT_EQ(DrmGetPrefailDiskGroup(nl, &v), 0);
    EXPECT_EQ(v, DRM_PREFAIL_GROUP_SAS_HDD);

    DrmDiskIoStat io{};
    EXPECT_EQ(DrmGetDiskIoStat(id, &io), -1) << "no statistics yet";
    EXPECT_TRUE(log.Contains("Get disk(" + std::to_string(id) + ") iostat info fail", 3));
    dmtest::Sn key("SN-R");
    DiskIoInfoFrame f{};
    f.tick_rate = 1000;
    f.ticks = 1000;
    ASSERT_EQ(DataMgrDiskInfoSet(DATA_MGR_FIND_BY_SN, key.Ref(), &f, DATA_INFO_IOSTAT), 0);
    f.ticks = 2000;
    f.num_read_ops = 250;
    f.num_write_ops = 50;
    f.io_time = 600000;
    ASSERT_EQ(DataMgrDiskInfoSet(DATA_MGR_FIND_BY_SN, key.Ref(), &f, DATA_INFO_IOSTAT), 0);
    DiskIoStatInfo stat{};
    ASSERT_EQ(DiskIoStatInfoGet(id, &stat), 0);
    ASSERT_EQ(DrmGetDiskIoStat(id, &io), 0);
    EXPECT_EQ(io.readIops, 250u);
    EXPECT_EQ(io.writeIops, 50u);
    EXPECT_EQ(io.avgServeTime, static_cast<uint32_t>(stat.avgServeTime));
    EXPECT_EQ(io.utilization, stat.utilization);
    EXPECT_EQ(io.ioBusyNum, stat.ioBusyNum);

    DiskHealthInfo h{};
    h.powerOnHours = 12345;
    h.wearInt = 7;
    h.wearDec = 25;
    for (uint8_t i = 0; i < sizeof(h.area.raw); ++i) {
        h.area.raw[i] = static_cast<uint8_t>(0x80 + i);
    }
    ASSERT_EQ(DiskHealthInfoSet(key.Ref(), &h), 0);
    DrmHealthInfo hi{};
    ASSERT_EQ(DrmGetHealthInfo(id, &hi), 0);
    EXPECT_EQ(hi.powerOnHours, 12345u);
    EXPECT_EQ(hi.wearInt, 7u);
    EXPECT_EQ(hi.wearDec, 25u);
    uint8_t smart[120] = {};
    ASSERT_EQ(DrmAtaGetSmartInfo(id, smart, 30), 0);
    EXPECT_EQ(memcmp(smart, h.area.raw, 120), 0);
    EXPECT_EQ(DrmAtaGetSmartInfo(id, smart, 29), -1);
    EXPECT_TRUE(log.Contains("expected size(120), actuality size(116)", 3));
    uint8_t three[3] = {}, two[2] = {}, bits = 0;
    ASSERT_EQ(DrmSasSsdGetIElogInfo(id, three), 0);
    EXPECT_EQ(std::vector<uint8_t>(three, three + 3), (std::vector<uint8_t>{0x80, 0x81, 0x82}));
    three[2] = 0;
    ASSERT_EQ(DrmSasHddGetSenseInfo(id, three), 0);
    EXPECT_EQ(three[2], 0x82);
    ASSERT_EQ(DrmSasKssdGetLogInfo(id, two), 0);
    EXPECT_EQ(std::vector<uint8_t>(two, two + 2), (std::vector<uint8_t>{0x80, 0x81}));
    ASSERT_EQ(DrmNvmeGetICritWarning(id, &bits), 0);
    EXPECT_EQ(bits, 0x80 & 0x1F);
    EXPECT_EQ(DrmNvmeGetICritWarning(99, &bits), -1);
    EXPECT_TRUE(log.Contains("Get disk(99) info fail, ret(-1).", 3)) << log.Dump();
}

std::vector<std::string> g_events;

void AllNodes(uint32_t id, uint32_t ev)
{
    g_events.push_back("all" + std::to_string(id) + ":" + std::to_string(ev));
}
void Master(uint32_t id, uint32_t ev)
{
    g_events.push_back("master" + std::to_string(id) + ":" + std::to_string(ev));
}

TEST_F(DrmAdapterTest, DiskEventsReachTheRegisteredHandlers)
{
    g_events.clear();
    DrmRegisterDiskEventHandler(3, AllNodes, nullptr);
    DrmRegisterDiskEventHandler(16, nullptr, Master);
    DrmRegisterDiskEventHandler(32, AllNodes, Master);  // ignored
    LogCapture log;
    uint32_t id = Add("SN-E", DISK_TYPE_SSD_SAS);
    std::string s = std::to_string(id);
    EXPECT_EQ(g_events, (std::vector<std::string>{"all" + s + ":0", "master" + s + ":0"}));
    g_events.clear();
    Remove(id, "SN-E");
    EXPECT_EQ(g_events, (std::vector<std::string>{"all" + s + ":1", "master" + s + ":1"}));
    EXPECT_FALSE(log.Contains("no notify func")) << log.Dump();
    DrmUnregisterDiskEventHandler(3);
    DrmUnregisterDiskEventHandler(16);
    g_events.clear();
    (void)Add("SN-F", DISK_TYPE_SSD_SAS);
    EXPECT_TRUE(g_events.empty());
    DrmDiskEventAdapterFin();
    (void)Add("SN-G", DISK_TYPE_SSD_SAS);
    EXPECT_TRUE(log.Contains("no notify func")) << "fini removes the hook";
}

// A feature that keeps the local-data contract: its disk-out handler clears
// and frees under the feature lock, its analyser reads under it. A disk that
// leaves while the analysis is queued leaves nothing dangling (ASan reports
// any use of the freed block).
constexpr uint32_t kFeat = 9;
std::vector<uint32_t> g_seenDisks;

void FeatEvent(uint32_t id, uint32_t ev)
{
    DrmLockFeatureData(kFeat);
    void *old = nullptr;
    if (getFeatureLocPrivateData(id, kFeat, &old) == 0 && old != nullptr) {
        DRM_FREE_UMM(old, 8);
    }
    void *fresh = ev == DRM_DISK_EVENT_IN ? DRM_MALLOC_UMM(8) : nullptr;
    EXPECT_EQ(setFeatureLocPrivateData(id, kFeat, fresh), 0);
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

class DrmFrameworkEnv : public drmtest::DrmFrameworkFixture {
  public:
    void TestBody() override {}
    void Up() { SetUp(); }
    void Down() { TearDown(); }
};

TEST_F(DrmAdapterTest, DiskLeavingWhileItsAnalysisIsQueued)
{
    DrmFrameworkEnv env;
    env.Up();
    ASSERT_EQ(DrmRegisterAnalyser(kFeat, nullptr, DRM_PERIOD_NONE, FeatAnalyse, DRM_PERIOD_NONE, 0),
              0);
    DrmRegisterDiskEventHandler(kFeat, FeatEvent, nullptr);
    g_seenDisks.clear();
    uint32_t stay = Add("SN-STAY", DISK_TYPE_SSD_SAS);
    uint32_t leave = Add("SN-LEAVE", DISK_TYPE_SSD_SAS);
    Remove(leave, "SN-LEAVE");
    EXPECT_EQ(DrmSchedPendingCount(kFeat, 0), 1u) << "three events, one coalesced analysis";
    EXPECT_EQ(drmtest::RunWorkers(), 1);
    EXPECT_EQ(g_seenDisks, std::vector<uint32_t>{stay});
    Remove(stay, "SN-STAY");
    drmtest::RunWorkers();
    DrmUnregisterDiskEventHandler(kFeat);
    env.Down();
}

int Echo(const void *in, uint32_t inLen, void **out, uint32_t *outLen)
{
    *out = const_cast<void *>(in);
    *outLen = inLen;
    return inLen == 0 ? 7 : 0;
}

TEST(DrmActionTest, RegistryAndRequests)
{
    LogCapture log;
    ASSERT_EQ(DrmFrameworkAdapterInitPhase1(), 0);
    EXPECT_EQ(DrmRegisterActionHandler(0x20f0001, nullptr), -1);
    EXPECT_TRUE(log.Contains("handler is NULL", 3));
    ASSERT_EQ(DrmRegisterActionHandler(0x20f0001, Echo), 0);
    EXPECT_EQ(DrmRegisterActionHandler(0x20f0001, Echo), -1);
    EXPECT_TRUE(log.Contains("OpCode(0x20f0001) has already been registered.", 3));
    DrmActionResponse resp{};
    EXPECT_EQ(DrmSyncActionRequest(0x20f0101, "x", 1, &resp), DRM_ACTION_NO_HANDLER);
    EXPECT_TRUE(log.Contains("Drm actionHandler is NULL, opcode(0x20f0101).", 3));
    EXPECT_EQ(DrmSyncActionRequest(0x20f0001, "abc", 3, &resp), 0);
    EXPECT_EQ(resp.outLen, 3u);
    static DrmActionResponse seen;
    seen = {nullptr, 0, -5};
    auto cb = [](void *, const DrmActionResponse *r) { seen = *r; };
    EXPECT_EQ(DrmAsyncActionRequest(0x20f0001, nullptr, 0, cb, nullptr), 7);
    EXPECT_EQ(seen.result, 7) << "the callback hears failures too";
    EXPECT_TRUE(log.Contains("Drm actionSubHandler handle failed, opcode(0x20f0001).", 3));
    seen.result = -5;
    EXPECT_EQ(DrmAsyncActionRequest(0x77, nullptr, 0, cb, nullptr), DRM_ACTION_NO_HANDLER);
    EXPECT_EQ(seen.result, -5) << "no callback without a handler";
    ASSERT_NE(DrmAddActionHandler(0x99, nullptr), nullptr);
    EXPECT_EQ(DrmSyncActionRequest(0x99, nullptr, 0, &resp), -1);
    EXPECT_TRUE(log.Contains("Drm sub actionSubHandler is NULL, opcode(0x99).", 3));
    for (uint32_t op = 0x100; op < 0x100 + DRM_ACTION_SLOT_NUM - 2; ++op) {
        ASSERT_EQ(DrmRegisterActionHandler(op, Echo), 0) << op;
    }
    EXPECT_EQ(DrmRegisterActionHandler(0x500, Echo), -1);
    EXPECT_TRUE(log.Contains("Add Handler failed due to lack of index resource,opcode(1280)", 5));
    ASSERT_EQ(DrmFrameworkAdapterInitPhase1(), 0);
    EXPECT_EQ(DrmRegisterActionHandler(0x500, Echo), 0) << "phase 1 clears the registry";
}

TEST(DrmThreadTest, WorkersGetACopyAndBadArgumentsStartNothing)
{
    LogCapture log;
    drmtest::Deferred().clear();
    DrmSetThreadStarter(drmtest::DeferStarter);
    EXPECT_EQ(DrmAsyncThreadCtxRun(0, nullptr, nullptr, 0), -1);
    EXPECT_TRUE(log.Contains("func is NULL.", 3));
    EXPECT_EQ(DrmAsyncThreadCtxRun(
                  0, [](const void *, uint32_t) {}, nullptr, 4),
              -1);
    EXPECT_TRUE(log.Contains("data is NULL but len is than 0.", 3));
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
    EXPECT_TRUE(log.Contains("Create pthread failed.", 3));
    EXPECT_EQ(qxmm_module_usage(DRM_ADAPTER_MODULE_ID).count, 0u) << "contexts are freed";
    DrmSetThreadStarter(nullptr);
}

}  // namespace
