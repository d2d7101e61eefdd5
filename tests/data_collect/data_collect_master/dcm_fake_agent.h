// A collecting agent for the collection tests: a real UNIX-socket server
// (support/unix_agent_server.h) answering the query methods from a small
// in-memory fleet, the slot query from a slot table, and recording every
// request. A per-method fault replaces the answer. Thread safe.
#pragma once

#include <cjson/cJSON.h>

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "data_collect/data_collect_master/dcm_rpc.h"
#include "data_collect/data_collect_master/dcm_test_disks.h"
#include "support/unix_agent_server.h"

namespace dcmtest {

enum class Fault {
    kNone,
    kGarbage,    // not JSON
    kBadResult,  // a "result" without "disks"
    kExtraDisk,  // one disk more than asked (65 in the device list)
    kOversize,   // a valid answer beyond 8191 bytes
};

class FakeAgent {
public:
    explicit FakeAgent(const std::string &name) : name_(name)
    {
        server_.SetResponder([this](const std::string &req) { return Respond(req); });
    }

    AgentInfo Info() const
    {
        AgentInfo a;
        memset(&a, 0, sizeof(a));
        strncpy(a.agentName, name_.c_str(), sizeof(a.agentName) - 1);
        a.agentType = AGENT_TYPE_SOCK_FILE;
        strncpy(a.addr.sockFile, server_.Path().c_str(), sizeof(a.addr.sockFile) - 1);
        return a;
    }
    const std::string &Path() const { return server_.Path(); }
    UnixAgentServer &Server() { return server_; }

    void SetDisks(const std::vector<TestDisk> &disks)
    {
        std::lock_guard<std::mutex> lock(mu_);
        disks_ = disks;
    }
    void SetSlot(const std::string &dev, double slot)
    {
        std::lock_guard<std::mutex> lock(mu_);
        slots_[dev] = slot;
    }
    void SetFault(const std::string &method, Fault fault)
    {
        std::lock_guard<std::mutex> lock(mu_);
        faults_[method] = fault;
    }
    // Fails only requests naming exactly `count` devices.
    void SetFaultForBatchSize(const std::string &method, size_t count)
    {
        std::lock_guard<std::mutex> lock(mu_);
        faultBatchSize_[method] = count;
    }

    // Requests of `method` as parsed JSON texts, in arrival order.
    std::vector<std::string> RequestsOf(const std::string &method) const
    {
        std::vector<std::string> out;
        for (const std::string &r : server_.Requests()) {
            cJSON *j = cJSON_Parse(r.c_str());
            const cJSON *m = cJSON_GetObjectItem(j, "method");
            if (cJSON_IsString(m) && method == m->valuestring) {
                out.push_back(r);
            }
            cJSON_Delete(j);
        }
        return out;
    }
    // Device-name counts of each request of `method`.
    std::vector<int> BatchSizesOf(const std::string &method) const
    {
        std::vector<int> sizes;
        for (const std::string &r : RequestsOf(method)) {
            cJSON *j = cJSON_Parse(r.c_str());
            sizes.push_back(cJSON_GetArraySize(
                cJSON_GetObjectItem(cJSON_GetObjectItem(j, "params"), "devices")));
            cJSON_Delete(j);
        }
        return sizes;
    }

private:
    const TestDisk *FindDev(const std::string &dev) const
    {
        for (const TestDisk &d : disks_) {
            if (d.dev == dev) {
                return &d;
            }
        }
        return nullptr;
    }

    std::string Respond(const std::string &text)
    {
        std::lock_guard<std::mutex> lock(mu_);
        cJSON *req = cJSON_Parse(text.c_str());
        const cJSON *m = cJSON_GetObjectItem(req, "method");
        std::string method = cJSON_IsString(m) ? m->valuestring : "";
        const cJSON *devices = cJSON_GetObjectItem(cJSON_GetObjectItem(req, "params"), "devices");
        Fault fault = faults_.count(method) ? faults_[method] : Fault::kNone;
        if (faultBatchSize_.count(method) &&
            static_cast<size_t>(cJSON_GetArraySize(devices)) == faultBatchSize_[method]) {
            fault = Fault::kGarbage;
        }
        std::string out = fault == Fault::kGarbage ? "this is {not json" : Build(method, devices, fault);
        cJSON_Delete(req);
        return out;
    }

    std::string Build(const std::string &method, const cJSON *devices, Fault fault)
    {
        cJSON *disks = cJSON_CreateArray();
        std::vector<std::string> asked;
        const cJSON *dev = nullptr;
        cJSON_ArrayForEach(dev, devices)
        {
            const cJSON *name = cJSON_IsString(dev) ? dev : cJSON_GetObjectItem(dev, "device_name");
            asked.push_back(cJSON_IsString(name) ? name->valuestring : "");
        }
        if (method == "dca_get_disks_brief_info") {
            for (const TestDisk &d : disks_) {
                cJSON_AddItemToArray(disks, BriefJson(d));
            }
            for (int i = 0; fault == Fault::kExtraDisk && i < 65; ++i) {
                cJSON_AddItemToArray(disks, BriefJson(Disk("HDD_SAS", "WD", "M",
                                                           "X" + std::to_string(i), "sdx")));
            }
        } else if (method == "dca_get_disks_slotid") {
            for (const std::string &name : asked) {
                if (slots_.count(name)) {
                    cJSON *o = cJSON_CreateObject();
                    cJSON_AddStringToObject(o, "device_name", name.c_str());
                    cJSON_AddNumberToObject(o, "slot_id", slots_[name]);
                    cJSON_AddItemToArray(disks, o);
                }
            }
        } else {
            for (const std::string &name : asked) {
                const TestDisk *d = FindDev(name);
                if (d == nullptr) {
                    continue;
                }
                if (method == "dca_get_disks_base_info") {
                    cJSON_AddItemToArray(disks, BaseJson(*d));
                } else if (method == "dca_get_disks_health_info") {
                    cJSON_AddItemToArray(disks, HealthJson(*d));
                } else if (method == "dca_get_disks_iostat") {
                    cJSON_AddItemToArray(disks, IoJson(*d, 1000 + ticks_ * 10));
                }
            }
            if (fault == Fault::kExtraDisk && !disks_.empty()) {
                cJSON_AddItemToArray(disks, BaseJson(disks_.front()));
            }
        }
        cJSON *answer = Answer(disks);
        cJSON *result = cJSON_GetObjectItem(answer, "result");
        if (method == "dca_get_disks_iostat") {
            ticks_ += 3000;
            cJSON_AddStringToObject(result, "tick_rate", "1000");
            cJSON_AddStringToObject(result, "ticks", std::to_string(ticks_).c_str());
        }
        if (fault == Fault::kBadResult) {
            cJSON_DeleteItemFromObject(result, "disks");
        }
        if (fault == Fault::kOversize) {
            cJSON_AddStringToObject(result, "padding", std::string(9000, 'p').c_str());
        }
        std::string out = Print(answer);
        cJSON_Delete(answer);
        return out;
    }

    std::string name_;
    mutable std::mutex mu_;
    std::vector<TestDisk> disks_;
    std::map<std::string, double> slots_;
    std::map<std::string, Fault> faults_;
    std::map<std::string, size_t> faultBatchSize_;
    unsigned long long ticks_ = 1000000;
    // Last, so that it is destroyed first: its connection threads call
    // Respond, which reads the members above.
    UnixAgentServer server_;
};

}  // namespace dcmtest
