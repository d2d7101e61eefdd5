// The show-only commands over the data store: per-disk views and the
// slow-disk and summary lists.
#include <array>
#include <cmath>
#include <cstring>
#include <cstdio>
#include <memory>
#include <new>
#include <vector>

#include "cli/cmd/cli_cmds.h"
#include "cli/common/cli_codes.h"
#include "cli/common/cli_log.h"
#include "data_mgr/data_mgr_master/data_mgr_master.h"
#include "disk_mgr/disk_mgr.h"

namespace SPINDLEKEEP_CLI {

namespace {

constexpr uint32_t kDiskIdMax = 63;
constexpr uint32_t kHoursPerMonth = 720;
constexpr uint32_t kLifeMonthsMax = 60;
constexpr int32_t kStoreNoDisk = 1;

std::string Num(uint64_t v) { return std::to_string(v); }

// Hundredths travel as a separate number; 5 hundredths must read ".05", not ".5".
std::string Hundredths(uint32_t whole, uint32_t dec)
{
    char buf[32];
    (void)snprintf(buf, sizeof(buf), "%u.%02u%%", whole, dec);
    return buf;
}

std::string Slot(uint32_t slot) { return slot == DISK_LOCATION_UNKNOWN ? "NA" : Num(slot); }

// A fixed-size record field, up to its first NUL or its whole size.
template <size_t N>
std::string Field(const char (&f)[N])
{
    return std::string(f, strnlen(f, N));
}

int32_t DiskInfoView(uint32_t id, std::string &out)
{
    DiskBaseInfo b = {};
    int32_t ret = DiskBaseInfoGet(id, &b);
    if (ret != 0) {
        return ret;
    }
    constexpr int w = 16;
    out += CliLine("Diskid", w, Num(b.diskId));
    out += CliLine("DiskState", w, DiskStateDisplayText(b.diskState));
    out += CliLine("DiskCapacity", w, CliHumanSize(b.diskCapacity));
    out += CliLine("SectorSize", w, Num(b.sectorSize));
    out += CliLine("Vendor", w, Field(b.vendor));
    out += CliLine("Model", w, Field(b.model));
    out += CliLine("Firmware", w, Field(b.firmware));
    out += CliLine("Sn", w, Field(b.sn));
    out += CliLine("DeviceName", w, Field(b.deviceName));
    out += CliLine("PciAddr", w, Field(b.pciAddr));
    out += CliLine("IntfType", w, DiskTypeDisplayText(b.diskType));
    out += CliLine("SlotId", w, Slot(b.slotId));
    return 0;
}

int32_t IoStatView(uint32_t id, std::string &out)
{
    DiskIoStatInfo s = {};
    int32_t ret = DiskIoStatInfoGet(id, &s);
    if (ret != 0) {
        return ret;
    }
    constexpr int w = 14;
    out += CliLine("ReadIops", w, Num(s.readIops));
    out += CliLine("WriteIops", w, Num(s.writeIops));
    out += CliLine("ReadIoBand", w, Num(s.readIoBand) + "kb/s");
    out += CliLine("WriteIoBand", w, Num(s.writeIoBand) + "kb/s");
    out += CliLine("ReadIoDelay", w, Num(s.readIoDelay) + "us");
    out += CliLine("WriteIoDelay", w, Num(s.writeIoDelay) + "us");
    out += CliLine("QueueDepth", w, Num(s.queueDepth));
    out += CliLine("ioBusyNum", w, Num(s.ioBusyNum));
    out += CliLine("svctm", w, Num(s.avgServeTime));
    out += CliLine("utilization", w, Hundredths(s.utilization, s.utilizationDec));
    return 0;
}

int32_t SmartView(uint32_t id, std::string &out)
{
    DiskHealthInfo h = {};
    int32_t ret = DiskHealthInfoGet(id, &h);
    if (ret != 0) {
        return ret;
    }
    constexpr int w = 18;
    out += CliLine("PowerOnlineTime", w, Num(h.powerOnHours) + "h");
    out += CliLine("Degree of wear", w, Hundredths(h.wearInt, h.wearDec));
    return 0;
}

std::string LifeText(uint32_t hours)
{
    uint32_t months = hours / kHoursPerMonth;
    if (months < 1) {
        return "<1";
    }
    return months > kLifeMonthsMax ? ">60" : Num(months);
}

int32_t DrmView(uint32_t id, std::string &out)
{
    DiskBaseInfo b = {};
    DiskDrmInfo d = {};
    int32_t ret = DiskBaseInfoGet(id, &b);
    if (ret == 0) {
        ret = DiskDrmInfoGet(id, &d);
    }
    if (ret != 0) {
        return ret;
    }
    constexpr int w = 18;
    bool hdd = b.diskType == DISK_TYPE_HDD_SAS || b.diskType == DISK_TYPE_HDD_SATA ||
               b.diskType == DISK_TYPE_HDD_NL_SAS;
    if (hdd) {
        out += CliLine("DiskHealthScore", w, "N/A");
        out += CliLine("DiskLife", w, "N/A");
    } else if (d.remainingLife == DISK_REMAINING_LIFE_UNKNOWN) {
        out += CliLine("DiskHealthScore", w, "No predictions yet");
        out += CliLine("DiskLife", w, "No predictions yet");
    } else {
        out += CliLine("DiskHealthScore", w, Num(d.healthScore));
        out += CliLine("DiskLife", w, LifeText(d.remainingLife));
    }
    out += CliLine("DiskState", w, DiskStateDisplayText(b.diskState));
    const char *strategy = DiskStrategyStrGet(id);
    out += CliLine("Suggestions", w, strategy != nullptr ? strategy : "");
    return 0;
}

using View = int32_t (*)(uint32_t id, std::string &out);

struct ViewEntry {
    const char *name;
    View view;
};

constexpr ViewEntry kViews[] = {
    {"disk_info", DiskInfoView},
    {"iostat_info", IoStatView},
    {"smart_info", SmartView},
    {"drm_info", DrmView},
};

// Online disks with their serial numbers; false on a store failure.
bool OnlineDisks(std::vector<uint32_t> *ids, std::vector<std::string> *sns)
{
    ids->assign(MAX_DISK_NUM, 0);
    std::vector<std::array<char, DISK_SN_LEN + 1>> bufs(MAX_DISK_NUM);
    std::vector<KeeperStr> refs(MAX_DISK_NUM);
    for (uint32_t i = 0; i < MAX_DISK_NUM; ++i) {
        bufs[i].fill('\0');
        refs[i] = KeeperStr{DISK_SN_LEN + 1, bufs[i].data()};
    }
    uint32_t num = 0;
    int32_t ret = ListAllOnlineDisk(ids->data(), refs.data(), MAX_DISK_NUM, &num);
    if (ret != 0 || num > MAX_DISK_NUM) {
        CLI_LOG(CLI_LOG_INFO, "get online disk failed ret:%u, num:%u", ret, num);
        return false;
    }
    CLI_LOG(CLI_LOG_INFO, "get online disk num %u", num);
    ids->resize(num);
    sns->clear();
    for (uint32_t i = 0; i < num; ++i) {
        sns->emplace_back(bufs[i].data());
    }
    return true;
}

std::string Rule() { return std::string(63, '-') + "\n"; }

std::string Cols(const std::string &a, int wa, const std::string &b, int wb)
{
    char line[256];
    (void)snprintf(line, sizeof(line), "%-*s%-*s", wa, a.c_str(), wb, b.c_str());
    return line;
}

int32_t SlowDiskList(std::string &out)
{
    std::vector<uint32_t> ids;
    std::vector<std::string> sns;
    if (!OnlineDisks(&ids, &sns)) {
        return CLI_COMMAND_EXEC_FAILED;
    }
    out += "SlowDiskInfo:\n" + Cols("Sn", 42, "Slot", 6) + Cols("State", 10, "", 0) + "\n" + Rule();
    int32_t result = CLI_OK;
    for (uint32_t id : ids) {
        DiskBaseInfo b = {};
        if (DiskBaseInfoGet(id, &b) != 0) {
            CLI_LOG(CLI_LOG_ERROR, "get diskInfo failed: %u", id);
            result = CLI_COMMAND_EXEC_FAILED;
            break;
        }
        if (b.diskState == DISK_STATE_SLOW) {
            std::string sn = Field(b.sn);
            out += Cols(sn, 42, Slot(b.slotId), 6) + Cols("Slow", 10, "", 0) + "\n";
        }
    }
    out += Rule();
    CLI_LOG(CLI_LOG_INFO, "show result: %s", result == CLI_OK ? "successfully" : "failed");
    return result;
}

int32_t Summary(std::string &out)
{
    std::vector<uint32_t> ids;
    std::vector<std::string> sns;
    if (!OnlineDisks(&ids, &sns)) {
        return CLI_COMMAND_EXEC_FAILED;
    }
    out += "SummaryInfo:\n" + Cols("DiskId", 8, "DiskSn", 42) + "\n" + Rule();
    for (size_t i = 0; i < ids.size(); ++i) {
        out += Cols(Num(ids[i]), 8, sns[i], 42) + "\n";
    }
    out += Rule();
    return CLI_OK;
}

}  // namespace

std::string CliLine(const char *label, int width, const std::string &value)
{
    char head[128];
    (void)snprintf(head, sizeof(head), "%-*s: ", width, label);
    return head + value + "\n";
}

std::string CliHumanSize(uint64_t bytes)
{
    static const char *const kUnits[] = {"B", "KB", "MB", "GB", "TB"};
    double x = static_cast<double>(bytes);
    int div = 0;
    while (x >= 1024 && div < 4) {
        x /= 1024;
        ++div;
    }
    x = std::round(x * 10) / 10;
    char buf[64];
    (void)snprintf(buf, sizeof(buf), "%.1f%s", x, kUnits[div]);
    return buf;
}

int32_t QueryInfoCmd::Exec(const std::string &args, std::string &out)
{
    (void)ParseParam(args);
    if (Param("action") != "show") {
        CLI_LOG(CLI_LOG_ERROR, "only support 'show' command 0x%x.", CLI_COMMAND_FORMAT_ERROR);
        return CLI_COMMAND_FORMAT_ERROR;
    }
    uint32_t id = 0;
    if (!CliParseNumber(Param("disk_id"), &id)) {
        CLI_LOG(CLI_LOG_ERROR, "disk_id format is not correct 0x%x.", CLI_COMMAND_FORMAT_ERROR);
        return CLI_COMMAND_FORMAT_ERROR;
    }
    if (id > kDiskIdMax) {
        CLI_LOG(CLI_LOG_ERROR, "disk_id is not correct 0x%x.", CLI_COMMAND_FORMAT_ERROR);
        return CLI_DB_ID_NOT_EXIST;
    }
    const ViewEntry *entry = nullptr;
    for (const ViewEntry &v : kViews) {
        if (task_.cmdName == v.name) {
            entry = &v;
        }
    }
    if (entry == nullptr) {
        CLI_LOG(CLI_LOG_ERROR, "queried info is not correct 0x%x.", CLI_COMMAND_FORMAT_ERROR);
        return CLI_COMMAND_FORMAT_ERROR;
    }
    int32_t ret = entry->view(id, out);
    params_.clear();
    if (ret == kStoreNoDisk) {
        CLI_LOG(CLI_LOG_ERROR, "CLI_DB_ID_NOT_EXIST 0x%x.", CLI_DB_ID_NOT_EXIST);
        return CLI_DB_ID_NOT_EXIST;
    }
    if (ret != 0) {
        CLI_LOG(CLI_LOG_ERROR, "CLI_COMMAND_EXEC_FAILED 0x%x.", CLI_COMMAND_EXEC_FAILED);
        return CLI_COMMAND_EXEC_FAILED;
    }
    return CLI_OK;
}

int32_t SlowDiskCmd::Exec(const std::string &args, std::string &out)
{
    (void)ParseParam(args);
    std::string action = Param("action");
    if (action == "change") {
        CLI_LOG(CLI_LOG_ERROR, "CLI_COMMAND_FORMAT_ERROR not support change.");
        return CLI_COMMAND_FORMAT_ERROR;
    }
    if (action != "show") {
        CLI_LOG(CLI_LOG_ERROR, "CLI_COMMAND_FORMAT_ERROR 0x%x.", CLI_COMMAND_FORMAT_ERROR);
        return CLI_COMMAND_FORMAT_ERROR;
    }
    if (task_.cmdName == "summary") {
        return Summary(out);
    }
    if (task_.cmdName == "slowdisk") {
        return SlowDiskList(out);
    }
    CLI_LOG(CLI_LOG_INFO, "error cmd name: %s", task_.cmdName.c_str());
    return CLI_COMMAND_FORMAT_ERROR;
}

}  // namespace SPINDLEKEEP_CLI
