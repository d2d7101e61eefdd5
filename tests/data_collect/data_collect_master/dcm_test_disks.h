// Builders of well-formed agent answer members for the collection tests, one
// per message and disk type. Tests break one member at a time from these to
// exercise the checks. Also the record of an agent on a UNIX socket.
#pragma once

#include <cjson/cJSON.h>

#include <string>
#include <vector>

#include "data_collect/data_collect_master/dcm_rpc.h"

namespace dcmtest {

inline AgentInfo SockAgent(const std::string &name, const std::string &path)
{
    AgentInfo a{};
    name.copy(a.agentName, sizeof(a.agentName) - 1);
    a.agentType = AGENT_TYPE_SOCK_FILE;
    path.copy(a.addr.sockFile, sizeof(a.addr.sockFile) - 1);
    return a;
}

// Strings as an agent sends them (type "SSD_NVMe", "HDD_SAS", ...).
struct TestDisk {
    std::string type, vendor, model, sn, dev;
};

// `n` SAS HDDs: serial numbers prefix0.., device names prefixd0..
inline std::vector<TestDisk> Hdds(int n, const std::string &prefix, const std::string &vendor = "SEAGATE")
{
    std::vector<TestDisk> disks;
    for (int i = 0; i < n; ++i) {
        const std::string k = std::to_string(i);
        disks.push_back(TestDisk{"HDD_SAS", vendor, "ST", prefix + k, prefix + "d" + k});
    }
    return disks;
}

// Owns a parsed or built JSON value for the length of a test.
struct Json {
    explicit Json(cJSON *v) : value(v) {}
    explicit Json(const std::string &text) : value(cJSON_Parse(text.c_str())) {}
    ~Json() { cJSON_Delete(value); }
    Json(const Json &) = delete;
    Json &operator=(const Json &) = delete;
    cJSON *value;
};

inline std::string Print(const cJSON *json)
{
    char *text = cJSON_PrintUnformatted(json);
    std::string s = text == nullptr ? "" : text;
    cJSON_free(text);
    return s;
}

inline std::string Q(const std::string &s) { return "\"" + s + "\""; }

inline cJSON *BriefJson(const TestDisk &d)
{
    return cJSON_Parse(("{\"serial_number\":" + Q(d.sn) + ",\"device_name\":" + Q(d.dev) + "}").c_str());
}

inline cJSON *BaseJson(const TestDisk &d)
{
    std::string t = "{\"serial_number\":" + Q(d.sn) + ",\"device_name\":" + Q(d.dev) +
                    ",\"vendor_id\":" + Q(d.vendor) + ",\"disk_type\":" + Q(d.type) +
                    ",\"disk_media_type\":" + Q(d.type.rfind("HDD", 0) == 0 ? "MAGNET" : "TLC") +
                    ",\"model_number\":" + Q(d.model) +
                    R"(,"firmware_revision":"FW01","disk_capacity":"3840755982336","sector_size":512)";
    return cJSON_Parse((t + (d.type == "SSD_NVMe" ? R"(,"pci_address":"0000:81:00.0")" : "") + "}").c_str());
}

// Health members by type; SMART attribute i is {i+1, 10+i, 100-i, 90-i}.
inline cJSON *HealthJson(const TestDisk &d)
{
    std::string t = "{\"serial_number\":" + Q(d.sn) + R"(,"power_on_hours":12345,"wear":1234)" +
                    ",\"disk_type\":" + Q(d.type) + ",\"vendor_id\":" + Q(d.vendor);
    for (int i = 0; d.type == "SSD_SATA" && i < 30; ++i) {
        t += std::string(i == 0 ? ",\"SMART_list\":[" : ",") + "{\"id\":" + std::to_string(i + 1) +
             ",\"threshold\":" + std::to_string(10 + i) + ",\"current_value\":" +
             std::to_string(100 - i) + ",\"worst\":" + std::to_string(90 - i) + (i == 29 ? "}]" : "}");
    }
    t += d.type == "SSD_NVMe"  ? R"(,"critical_warning":4)"
         : d.type == "SSD_SAS" ? R"(,"capacitance_id":7,"capacitance_status":1,"ASC":93,"ASCQ":16)"
         : d.type != "SSD_SATA" ? R"(,"is_support_ie_log":true,"ASC":93,"ASCQ":16)"
                                : "";
    return cJSON_Parse((t + "}").c_str());
}

// IO counters as digit strings: io_time = base, bytes_read = 2 base, ...
inline cJSON *IoJson(const TestDisk &d, unsigned long long base = 1000)
{
    std::string t = "{\"serial_number\":" + Q(d.sn) + R"(,"queue_depth":32,"io_busy_num":3)";
    const char *keys[] = {"io_time",       "bytes_read",         "bytes_written",      "num_read_ops",
                          "num_write_ops", "read_latency_ticks", "write_latency_ticks"};
    for (int i = 0; i < 7; ++i) {
        t += ",\"" + std::string(keys[i]) + "\":" + Q(std::to_string(base * (i + 1)));
    }
    return cJSON_Parse((t + "}").c_str());
}

}  // namespace dcmtest
