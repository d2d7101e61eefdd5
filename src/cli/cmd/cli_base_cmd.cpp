#include "cli/cmd/cli_base_cmd.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace SPINDLEKEEP_CLI {

int32_t BaseCommand::ParseParam(const std::string &args)
{
    size_t start = 0;
    for (;;) {
        size_t blank = args.find(' ', start);
        std::string token = args.substr(start, blank == std::string::npos ? std::string::npos
                                                                            : blank - start);
        size_t eq = token.find('=');
        std::string key = token.substr(0, eq);
        std::string value = eq == std::string::npos ? "" : token.substr(eq + 1);
        (void)params_.emplace(std::move(key), std::move(value));
        if (blank == std::string::npos) {
            return 0;
        }
        start = blank + 1;
    }
}

std::string BaseCommand::Param(const std::string &key) const
{
    auto it = params_.find(key);
    return it == params_.end() ? "" : it->second;
}

bool CliParseNumber(const std::string &text, uint32_t *value)
{
    if (text.empty() || text.size() > 7 || (text[0] == '0' && text.size() > 1) ||
        !std::all_of(text.begin(), text.end(),
                     [](char c) { return isdigit(static_cast<unsigned char>(c)) != 0; })) {
        return false;
    }
    *value = static_cast<uint32_t>(strtoul(text.c_str(), nullptr, 10));
    return true;
}

}  // namespace SPINDLEKEEP_CLI
