// Builders of well-formed agent answer members for the collection tests, one
// per message and disk type, and of whole JSON-RPC answers. Tests break one
// member at a time from these to exercise the checks.
#pragma once

#include <cjson/cJSON.h>

#include <string>
#include <vector>

namespace dcmtest {

struct TestDisk {
    std::string type;  // agent string: "SSD_NVMe", "SSD_SAS", ...
    std::string vendor;
    std::string model;
    std::string sn;
    std::string dev;
    std::string pci;  // NVMe only
};

inline TestDisk Disk(const std::string &type, const std::string &vendor, const std::string &model,
                     const std::string &sn, const std::string &dev)
{
    return TestDisk{type, vendor, model, sn, dev, "0000:81:00.0"};
}

// `n` SAS HDDs: serial numbers prefix0.., device names prefixd0..
inline std::vector<TestDisk> Hdds(int n, const std::string &prefix, const std::string &vendor = "SEAGATE")
{
    std::vector<TestDisk> disks;
    for (int i = 0; i < n; ++i) {
        disks.push_back(Disk("HDD_SAS", vendor, "ST", prefix + std::to_string(i), prefix + "d" + std::to_string(i)));
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

inline cJSON *BriefJson(const TestDisk &d)
{
    cJSON *o = cJSON_CreateObject();
    cJSON_AddStringToObject(o, "serial_number", d.sn.c_str());
    cJSON_AddStringToObject(o, "device_name", d.dev.c_str());
    return o;
}

inline cJSON *BaseJson(const TestDisk &d)
{
    cJSON *o = BriefJson(d);
    cJSON_AddStringToObject(o, "vendor_id", d.vendor.c_str());
    cJSON_AddStringToObject(o, "disk_type", d.type.c_str());
    cJSON_AddStringToObject(o, "disk_media_type", d.type.rfind("HDD", 0) == 0 ? "MAGNET" : "TLC");
    cJSON_AddStringToObject(o, "model_number", d.model.c_str());
    cJSON_AddStringToObject(o, "firmware_revision", "FW01");
    cJSON_AddStringToObject(o, "disk_capacity", "3840755982336");
    cJSON_AddNumberToObject(o, "sector_size", 512);
    if (d.type == "SSD_NVMe") {
        cJSON_AddStringToObject(o, "pci_address", d.pci.c_str());
    }
    return o;
}

// Health members by type; SMART attribute i is {i+1, 10+i, 100-i, 90-i}.
inline cJSON *HealthJson(const TestDisk &d)
{
    cJSON *o = cJSON_CreateObject();
    cJSON_AddStringToObject(o, "serial_number", d.sn.c_str());
    cJSON_AddNumberToObject(o, "power_on_hours", 12345);
    cJSON_AddNumberToObject(o, "wear", 1234);
    cJSON_AddStringToObject(o, "disk_type", d.type.c_str());
    cJSON_AddStringToObject(o, "vendor_id", d.vendor.c_str());
    if (d.type == "SSD_NVMe") {
        cJSON_AddNumberToObject(o, "critical_warning", 4);
    } else if (d.type == "SSD_SATA") {
        cJSON *list = cJSON_AddArrayToObject(o, "SMART_list");
        for (int i = 0; i < 30; ++i) {
            cJSON *a = cJSON_CreateObject();
            cJSON_AddNumberToObject(a, "id", i + 1);
            cJSON_AddNumberToObject(a, "threshold", 10 + i);
            cJSON_AddNumberToObject(a, "current_value", 100 - i);
            cJSON_AddNumberToObject(a, "worst", 90 - i);
            cJSON_AddItemToArray(list, a);
        }
    } else if (d.type == "SSD_SAS") {
        cJSON_AddNumberToObject(o, "capacitance_id", 7);
        cJSON_AddNumberToObject(o, "capacitance_status", 1);
        cJSON_AddNumberToObject(o, "ASC", 0x5D);
        cJSON_AddNumberToObject(o, "ASCQ", 0x10);
    } else {
        cJSON_AddBoolToObject(o, "is_support_ie_log", 1);
        cJSON_AddNumberToObject(o, "ASC", 0x5D);
        cJSON_AddNumberToObject(o, "ASCQ", 0x10);
    }
    return o;
}

inline cJSON *IoJson(const TestDisk &d, unsigned long long base = 1000)
{
    cJSON *o = cJSON_CreateObject();
    cJSON_AddStringToObject(o, "serial_number", d.sn.c_str());
    cJSON_AddNumberToObject(o, "queue_depth", 32);
    cJSON_AddNumberToObject(o, "io_busy_num", 3);
    const char *keys[] = {"io_time",      "bytes_read",         "bytes_written",
                          "num_read_ops", "num_write_ops",      "read_latency_ticks",
                          "write_latency_ticks"};
    for (int i = 0; i < 7; ++i) {
        cJSON_AddStringToObject(o, keys[i], std::to_string(base * (i + 1)).c_str());
    }
    return o;
}

// {"jsonrpc":"2.0","id":1,"result":{"disks":[...]}} taking ownership of `disks`.
inline cJSON *Answer(cJSON *disks)
{
    cJSON *a = cJSON_CreateObject();
    cJSON_AddStringToObject(a, "jsonrpc", "2.0");
    cJSON_AddNumberToObject(a, "id", 1);
    cJSON *result = cJSON_AddObjectToObject(a, "result");
    cJSON_AddItemToObject(result, "disks", disks);
    return a;
}

template <typename F>
cJSON *DisksArray(const std::vector<TestDisk> &disks, F build)
{
    cJSON *arr = cJSON_CreateArray();
    for (const TestDisk &d : disks) {
        cJSON_AddItemToArray(arr, build(d));
    }
    return arr;
}

}  // namespace dcmtest
