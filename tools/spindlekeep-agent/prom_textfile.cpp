#include "prom_textfile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "disk_model.h"

namespace {

void Header(std::string *out, const char *name, const char *type, const char *help)
{
    *out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

std::string Number(double value)
{
    char text[64];
    snprintf(text, sizeof(text), "%.17g", value);
    return text;
}

std::string SnLabel(const std::string &sn) { return "sn=\"" + PromEscape(sn) + "\""; }

std::string TypeLabel(int64_t type)
{
    if (type >= 0 && type < static_cast<int64_t>(DiskType::kCount)) {
        return DiskTypeName(static_cast<DiskType>(type));
    }
    return "unknown";
}

void RenderInfo(const DmaState &state, std::string *out)
{
    Header(out, "spindlekeep_disk_info", "gauge",
           "Identity of a disk as last sent by the daemon (always 1).");
    for (const auto &[sn, disk] : state.disks) {
        if (disk.hasInfo) {
            *out += "spindlekeep_disk_info{" + SnLabel(sn) + ",device=\"" +
                    PromEscape(disk.device) + "\",vendor=\"" + PromEscape(disk.vendor) +
                    "\",model=\"" + PromEscape(disk.model) + "\",disk_type=\"" +
                    TypeLabel(disk.diskType) + "\"} 1\n";
        }
    }
    Header(out, "spindlekeep_disk_capacity", "gauge",
           "Disk capacity as the daemon reported it (the disk agent's unit, bytes).");
    for (const auto &[sn, disk] : state.disks) {
        if (disk.hasInfo) {
            *out += "spindlekeep_disk_capacity{" + SnLabel(sn) + "} " + Number(disk.capacity) + "\n";
        }
    }
}

void RenderState(const DmaState &state, std::string *out)
{
    Header(out, "spindlekeep_disk_state", "gauge",
           "Disk state: 0 normal, 1 fault, 2 off-line, 3 prefail, 4 slow, 5 unset (no finding yet).");
    for (const auto &[sn, disk] : state.disks) {
        if (disk.state >= 0) {
            *out += "spindlekeep_disk_state{" + SnLabel(sn) + "} " + std::to_string(disk.state) + "\n";
        }
    }
    Header(out, "spindlekeep_disk_handle_strategy", "gauge",
           "Handling strategy the daemon suggests for a disk (always 1).");
    for (const auto &[sn, disk] : state.disks) {
        if (disk.hasStrategy) {
            *out += "spindlekeep_disk_handle_strategy{" + SnLabel(sn) + ",strategy=\"" +
                    PromEscape(disk.strategy) + "\"} 1\n";
        }
    }
    Header(out, "spindlekeep_disk_powered_off", "gauge",
           "1 once the daemon asked to power the disk off.");
    for (const auto &[sn, disk] : state.disks) {
        *out += "spindlekeep_disk_powered_off{" + SnLabel(sn) + "} " +
                (disk.poweredOff ? "1" : "0") + "\n";
    }
    Header(out, "spindlekeep_disk_last_update_timestamp_seconds", "gauge",
           "Unix time of the daemon's last message about the disk.");
    for (const auto &[sn, disk] : state.disks) {
        *out += "spindlekeep_disk_last_update_timestamp_seconds{" + SnLabel(sn) + "} " +
                Number(disk.updated) + "\n";
    }
}

void RenderCounters(const std::map<std::string, uint64_t> &counts, const char *name,
                    const char *help, std::string *out)
{
    Header(out, name, "counter", help);
    for (const auto &[method, count] : counts) {
        *out += std::string(name) + "{method=\"" + PromEscape(method) + "\"} " +
                std::to_string(count) + "\n";
    }
}

}  // namespace

std::string PromEscape(const std::string &value)
{
    std::string out;
    for (char c : value) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

std::string PromRender(const DmaState &state)
{
    std::string out;
    RenderInfo(state, &out);
    RenderState(state, &out);
    RenderCounters(state.accepted, "spindlekeep_dma_messages_total",
                   "Messages the data agent accepted from the daemon, by method.", &out);
    RenderCounters(state.rejected, "spindlekeep_dma_rejected_messages_total",
                   "Messages the data agent refused (bad parameters), by method.", &out);
    return out;
}

int PromWriteAtomic(const std::string &dir, const std::string &text)
{
    std::string tmp = dir + "/.spindlekeep.prom.tmp";
    std::string path = dir + "/spindlekeep.prom";
    // A fresh file every time: nothing left at the name, link or not, is
    // ever written through.
    (void)unlink(tmp.c_str());
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        return errno;
    }
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            int err = n < 0 ? errno : EIO;
            close(fd);
            unlink(tmp.c_str());
            return err;
        }
        done += static_cast<size_t>(n);
    }
    int err = (fsync(fd) == 0) ? 0 : errno;
    if (close(fd) != 0 && err == 0) {
        err = errno;
    }
    if (err == 0 && rename(tmp.c_str(), path.c_str()) != 0) {
        err = errno;
    }
    if (err != 0) {
        unlink(tmp.c_str());
    }
    return err;
}
