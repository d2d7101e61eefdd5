#include "data_mgr/data_mgr_master/data_mgr_io_stat.h"

#include <cstdint>

#include "infrastructure/keeper_adapter_os/keeper_log.h"

namespace {

constexpr const char *kTag = "DATA_MGR_MASTER";
constexpr double kTwoPow64 = 18446744073709551616.0;
constexpr double kUsPerSecond = 1000000.0;
constexpr uint64_t kUtilScale = 10000;  // hundredths of a percent in a whole
constexpr uint32_t kIoBusyUnknown = 0xFFFFFFFFu;

// Differences between two frames, wrapping like the counters themselves.
struct IoFrameDiff {
    uint64_t ticks;
    double seconds;  // 0 when the tick rate is 0: no elapsed time can be derived
    uint64_t bytesRead;
    uint64_t bytesWritten;
    uint64_t readOps;
    uint64_t writeOps;
    uint64_t readLat;
    uint64_t writeLat;
    uint64_t ioTime;
};

// A quotient whose divisor is zero is meaningless here; it counts as 0.
double Quotient(double numerator, double divisor)
{
    return divisor == 0.0 ? 0.0 : numerator / divisor;
}

// Drops the fraction. NaN and non-positive values give 0; values past the
// u64 range (a tiny interval with a huge count) saturate instead of invoking
// an undefined conversion.
uint64_t Truncate(double v)
{
    if (!(v > 0.0)) {
        return 0;
    }
    if (v >= kTwoPow64) {
        return UINT64_MAX;
    }
    return static_cast<uint64_t>(v);
}

IoFrameDiff FrameDiff(const DiskIoInfoFrame &last, const DiskIoInfoFrame &now)
{
    IoFrameDiff d{};
    d.ticks = now.ticks - last.ticks;
    d.seconds = Quotient(static_cast<double>(d.ticks), static_cast<double>(now.tick_rate));
    d.bytesRead = now.bytes_read - last.bytes_read;
    d.bytesWritten = now.bytes_written - last.bytes_written;
    d.readOps = now.num_read_ops - last.num_read_ops;
    d.writeOps = now.num_write_ops - last.num_write_ops;
    d.readLat = now.read_latency_ticks - last.read_latency_ticks;
    d.writeLat = now.write_latency_ticks - last.write_latency_ticks;
    d.ioTime = now.io_time - last.io_time;
    return d;
}

// Microseconds per operation from latency ticks.
uint64_t LatencyPerOp(uint64_t latTicks, uint64_t ops, uint64_t tickRate)
{
    if (latTicks == 0) {
        return 0;
    }
    double ticksPerOp = Quotient(static_cast<double>(latTicks), static_cast<double>(ops));
    return Truncate(Quotient(ticksPerOp * kUsPerSecond, static_cast<double>(tickRate)));
}

void PrintIoCal(const IoFrameDiff &d, const DiskIoInfoFrame &last, const DiskIoInfoFrame &now,
                const DiskIoStatInfo &s)
{
    KLOG_DEBUG(kTag, "IO STAT CAL RESULT {");
    KLOG_DEBUG(kTag, "\tcpuTicksDiff    =%lu\ttimeDiff    =%f", d.ticks, d.seconds);
    KLOG_DEBUG(kTag, "\tioTimeDiff    =%lu(%lu -%lu)", d.ioTime, now.io_time, last.io_time);
    KLOG_DEBUG(kTag, "\tioBusyNum   =%u", s.ioBusyNum);
    KLOG_DEBUG(kTag, "\treadIops    =%lu(%lu / %f)", s.readIops, d.readOps, d.seconds);
    KLOG_DEBUG(kTag, "\twriteIops   =%lu(%lu / %f)", s.writeIops, d.writeOps, d.seconds);
    KLOG_DEBUG(kTag, "\treadIoBand  =%lu(%lu / %f / 1024)", s.readIoBand, d.bytesRead, d.seconds);
    KLOG_DEBUG(kTag, "\twriteIoBand =%lu(%lu / %f / 1024)", s.writeIoBand, d.bytesWritten,
               d.seconds);
    KLOG_DEBUG(kTag, "\treadIoDelay =%lu(%lu / %lu *1000000.0 /%lu)", s.readIoDelay, d.readLat,
               d.readOps, now.tick_rate);
    KLOG_DEBUG(kTag, "\twriteIoDelay =%lu(%lu / %lu *1000000.0 /%lu)", s.writeIoDelay, d.writeLat,
               d.writeOps, now.tick_rate);
    KLOG_DEBUG(kTag, "\tutilization = %d.%d%%(%lu / (%f * 1000000.0))",
               static_cast<int>(s.utilization), static_cast<int>(s.utilizationDec), d.ioTime,
               d.seconds);
    KLOG_DEBUG(kTag, "\tavgServeTime =%lu(%lu / %lu)", s.avgServeTime, d.ioTime,
               d.readOps + d.writeOps);
    KLOG_DEBUG(kTag, "}");
}

}  // namespace

int IoStatCheck(const DiskIoInfoFrame *lastFrame, const DiskIoInfoFrame *newFrame)
{
    const DiskIoInfoFrame &l = *lastFrame;
    const DiskIoInfoFrame &n = *newFrame;
    bool forward = n.ticks > l.ticks && n.bytes_read >= l.bytes_read &&
                   n.bytes_written >= l.bytes_written && n.num_read_ops >= l.num_read_ops &&
                   n.num_write_ops >= l.num_write_ops &&
                   n.read_latency_ticks >= l.read_latency_ticks &&
                   n.write_latency_ticks >= l.write_latency_ticks;
    if (!forward) {
        KLOG_WARN(kTag, "IoStatCheck failed newFrame->ticks:[%lu], lastFrame->ticks:[%lu]", n.ticks,
                  l.ticks);
        return -1;
    }
    return 0;
}

int IoStatCalculate(const DiskIoInfoFrame *lastFrame, const DiskIoInfoFrame *newFrame,
                    DiskIoStatInfo *out)
{
    const DiskIoInfoFrame &now = *newFrame;
    IoFrameDiff d = FrameDiff(*lastFrame, now);
    DiskIoStatInfo s{};

    // The product wraps like every other u64 step of the calculation.
    uint64_t util = Truncate(Quotient(static_cast<double>(d.ioTime * kUtilScale),
                                      d.seconds * kUsPerSecond));
    s.ioBusyNum = now.io_busy_num == kIoBusyUnknown ? 0 : now.io_busy_num;
    s.queueDepth = now.queue_depth;
    s.readIops = Truncate(Quotient(static_cast<double>(d.readOps), d.seconds));
    s.writeIops = Truncate(Quotient(static_cast<double>(d.writeOps), d.seconds));
    s.readIoBand = Truncate(Quotient(static_cast<double>(d.bytesRead), d.seconds) / 1024.0);
    s.writeIoBand = Truncate(Quotient(static_cast<double>(d.bytesWritten), d.seconds) / 1024.0);
    s.readIoDelay = LatencyPerOp(d.readLat, d.readOps, now.tick_rate);
    s.writeIoDelay = LatencyPerOp(d.writeLat, d.writeOps, now.tick_rate);
    if (util > kUtilScale) {
        s.utilization = 100;
        s.utilizationDec = 0;
    } else {
        s.utilization = static_cast<uint32_t>(util / 100);
        s.utilizationDec = static_cast<uint32_t>(util % 100);
    }
    uint64_t ops = d.readOps + d.writeOps;
    s.avgServeTime = ops == 0 ? 0 : d.ioTime / ops;

    PrintIoCal(d, *lastFrame, now, s);
    *out = s;
    return 0;
}
