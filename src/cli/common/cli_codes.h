// Result codes of the operator CLI. They travel to the client in the reply's
// "error_code" element as decimal text; 0 is success and -1 a generic
// failure of a show or change operation.
#pragma once

#include <cstdint>

namespace SPINDLEKEEP_CLI {

inline constexpr int32_t CLI_OK = 0;
inline constexpr int32_t CLI_FAIL = -1;
inline constexpr int32_t CLI_USER_PERMISSION_ERROR = 0x40036901;
inline constexpr int32_t CLI_SEND_PEER_CLOSED = 0x40036903;
inline constexpr int32_t CLI_COMMAND_FORMAT_ERROR = 0x40036904;
inline constexpr int32_t CLI_SEND_DATA_EXCEED = 0x40036905;
inline constexpr int32_t CLI_RECV_TRANSMISSION_ERROR = 0x40036906;
inline constexpr int32_t CLI_COMMAND_PARAM_INVALID = 0x4003690b;
inline constexpr int32_t CLI_COMMAND_EXEC_FAILED = 0x4003690c;
inline constexpr int32_t CLI_TASK_MAX_ERROR = 0x4003690d;
inline constexpr int32_t CLI_SLOWDISK_DETECT_CONFIG_FORMAT_INVALID = 0x4003690e;
inline constexpr int32_t CLI_DB_ID_NOT_EXIST = 0x40036910;
inline constexpr int32_t CLI_DPR_SMART_CONFIG_PARAM_INVALID = 0x40036911;
inline constexpr int32_t CLI_DISKLIFE_PRE_PARAM_INVALID = 0x40036912;

// The name of a code as the messages write it ("CLI_DB_ID_NOT_EXIST"), or
// null for codes without a name. Never fails.
const char *CliCodeName(int32_t code);

}  // namespace SPINDLEKEEP_CLI
