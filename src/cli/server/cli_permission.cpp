#include "cli/server/cli_permission.h"

#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>

#include <cstring>
#include <string>
#include <vector>

#include "cli/common/cli_codes.h"
#include "cli/common/cli_log.h"

namespace SPINDLEKEEP_CLI {

namespace {

constexpr const char *kWhiteList[] = {"root", "spindlekeep_user"};
constexpr int kMaxGroups = 65536;
constexpr size_t kPwBufLen = 16384;

bool ReadOnlyAction(const char *action)
{
    return strcmp(action, "help") == 0 || strcmp(action, "show") == 0;
}

bool GroupIsService(gid_t gid)
{
    struct group gr = {};
    struct group *res = nullptr;
    std::vector<char> buf(kPwBufLen);
    return getgrgid_r(gid, &gr, buf.data(), buf.size(), &res) == 0 && res != nullptr &&
           strcmp(gr.gr_name, CLI_SERVICE_GROUP) == 0;
}

// Primary group first, then every group the user belongs to.
CliPermission GroupPermission(const struct passwd &pw, const char *action)
{
    if (!ReadOnlyAction(action)) {
        return CLI_PERMISSION_NONE;
    }
    if (GroupIsService(pw.pw_gid)) {
        return CLI_PERMISSION_READ_ONLY;
    }
    int n = kMaxGroups;
    std::vector<gid_t> groups(static_cast<size_t>(n));
    if (getgrouplist(pw.pw_name, pw.pw_gid, groups.data(), &n) < 0) {
        return CLI_PERMISSION_NONE;
    }
    for (int i = 0; i < n; ++i) {
        if (GroupIsService(groups[static_cast<size_t>(i)])) {
            return CLI_PERMISSION_READ_ONLY;
        }
    }
    return CLI_PERMISSION_NONE;
}

}  // namespace

int32_t GetUserinWhiteList(const char *user, CliPermission *perm, const char *action, int fd)
{
    *perm = CLI_PERMISSION_NONE;
    if (user == nullptr || user[0] == '\0') {
        CLI_LOG(CLI_LOG_ERROR, "Username is empty; 0x%x.", CLI_USER_PERMISSION_ERROR);
        return CLI_USER_PERMISSION_ERROR;
    }
    if (action == nullptr || action[0] == '\0') {
        CLI_LOG(CLI_LOG_ERROR, "ActionName is empty; 0x%x.", CLI_USER_PERMISSION_ERROR);
        return CLI_USER_PERMISSION_ERROR;
    }
    struct passwd pw = {};
    struct passwd *res = nullptr;
    std::vector<char> buf(kPwBufLen);
    if (fd != CLI_FD_BY_NAME) {
        struct ucred cred = {};
        socklen_t len = sizeof(cred);
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
            CLI_LOG(CLI_LOG_ERROR, "Getsockopt failed; 0x%x.", CLI_USER_PERMISSION_ERROR);
            return CLI_USER_PERMISSION_ERROR;
        }
        (void)getpwuid_r(cred.uid, &pw, buf.data(), buf.size(), &res);
    } else {
        (void)getpwnam_r(user, &pw, buf.data(), buf.size(), &res);
    }
    if (res == nullptr) {
        CLI_LOG(CLI_LOG_ERROR, "Get clientUserInfo failed; 0x%x.", CLI_USER_PERMISSION_ERROR);
        return CLI_USER_PERMISSION_ERROR;
    }
    for (const char *name : kWhiteList) {
        if (strcmp(pw.pw_name, name) == 0) {
            *perm = CLI_PERMISSION_FULL;
            return CLI_OK;
        }
    }
    *perm = GroupPermission(pw, action);
    return CLI_OK;
}

int32_t CheckUserPermission(void *, int fd, const char *user, const char *action)
{
    CliPermission perm = CLI_PERMISSION_NONE;
    if (GetUserinWhiteList(user, &perm, action, fd) != CLI_OK) {
        CLI_LOG(CLI_LOG_ERROR, "compare fail\n.");
        return CLI_USER_PERMISSION_ERROR;
    }
    if (perm == CLI_PERMISSION_NONE) {
        CLI_LOG(CLI_LOG_ERROR, "CLI_USER_PERMISSION_ERROR 0x%x.", CLI_USER_PERMISSION_ERROR);
        return CLI_USER_PERMISSION_ERROR;
    }
    return CLI_OK;
}

}  // namespace SPINDLEKEEP_CLI
