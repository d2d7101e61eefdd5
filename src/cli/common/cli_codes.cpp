#include "cli/common/cli_codes.h"

namespace SPINDLEKEEP_CLI {

namespace {

struct CodeName {
    int32_t code;
    const char *name;
};

constexpr CodeName kNames[] = {
    {CLI_FAIL, "CLI_FAILED"},
    {CLI_USER_PERMISSION_ERROR, "CLI_USER_PERMISSION_ERROR"},
    {CLI_SEND_PEER_CLOSED, "CLI_SEND_PEER_CLOSED"},
    {CLI_COMMAND_FORMAT_ERROR, "CLI_COMMAND_FORMAT_ERROR"},
    {CLI_SEND_DATA_EXCEED, "CLI_SEND_DATA_EXCEED"},
    {CLI_RECV_TRANSMISSION_ERROR, "CLI_RECV_TRANSMISSION_ERROR"},
    {CLI_COMMAND_PARAM_INVALID, "CLI_COMMAND_PARAM_INVALID"},
    {CLI_COMMAND_EXEC_FAILED, "CLI_COMMAND_EXEC_FAILED"},
    {CLI_TASK_MAX_ERROR, "CLI_TASK_MAX_ERROR"},
    {CLI_SLOWDISK_DETECT_CONFIG_FORMAT_INVALID, "CLI_SLOWDISK_DETECT_CONFIG_FORMAT_INVALID"},
    {CLI_DB_ID_NOT_EXIST, "CLI_DB_ID_NOT_EXIST"},
    {CLI_DPR_SMART_CONFIG_PARAM_INVALID, "CLI_DPR_SMART_CONFIG_PARAM_INVALID"},
    {CLI_DISKLIFE_PRE_PARAM_INVALID, "CLI_DISKLIFE_PRE_PARAM_INVALID"},
};

}  // namespace

const char *CliCodeName(int32_t code)
{
    for (const CodeName &n : kNames) {
        if (n.code == code) {
            return n.name;
        }
    }
    return nullptr;
}

}  // namespace SPINDLEKEEP_CLI
